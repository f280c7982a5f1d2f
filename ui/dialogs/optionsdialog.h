// The dialog "Download Options" (dialog 134) that changes the 0/1 options and the numbers
// (connections, rate limit) of the record.
//
// Contract:
// - User-interface thread only; one options dialog at a time (it is modal).
// - The caller owns the record and the drop target; the dialog reaches them through the
//   OptionsDialogArgs handed as the dialog's lParam, which must outlive the dialog.
// - OK writes every value to the store at once; a failed write is ignored and the new
//   value holds in memory until the program ends. Cancel changes and writes nothing.
#pragma once

#include "settings/options.h"
#include "window/window.h"

#include <cstdint>

constexpr int IDD_OPTIONS = 134;

// What the dialog changes: the record, and the drop target's own copy of allowHTML.
struct OptionsDialogArgs {
    DownloadOptions* options;
    void (*setAllowHTML)(int32_t allow);
};

extern const WinDialogTemplate optionsTemplate;

// Dialog procedure of dialog 134; lParam of WM_INITDIALOG is an OptionsDialogArgs*.
// Ends the dialog with 1 on OK, 2 on Cancel.
intptr_t OptionsDialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);

// Download options: the dialog "Download Options" (dialog 134) that changes the three 0/1
// options of the record, and the table of those options that the start-up reads them by.
//
// Contract:
// - User-interface thread only; one options dialog at a time (it is modal).
// - The caller owns the record and the drop target; the dialog reaches them through the
//   OptionsDialogArgs handed as the dialog's lParam, which must outlive the dialog.
// - OK writes the three values to the store at once; a failed write is ignored and the new
//   value holds in memory until the program ends. Cancel changes and writes nothing.
#pragma once

#include "registry.h"
#include "window.h"

#include <cstdint>

constexpr int IDD_OPTIONS = 134;
constexpr int IDC_ASK_EVERY = 1040, IDC_USE_EXTENSION = 1050, IDC_ALLOW_HTML = 1057;

// One of the three options: its check box, its stored value under Directories, its field, and
// the trace lines of the dialog's OK and of the start-up (which spell allowHTML differently).
struct DownloadOption {
    int controlId;
    const char* valueName;
    int32_t DownloadOptions::*field;
    const char* dialogTrace;
    const char* startTrace;
};

extern const DownloadOption DOWNLOAD_OPTIONS[3];

// What the dialog changes: the record, and the drop target's own copy of allowHTML.
struct OptionsDialogArgs {
    DownloadOptions* options;
    void (*setAllowHTML)(int32_t allow);
};

extern const WinDialogTemplate optionsTemplate;

// Dialog procedure of dialog 134; lParam of WM_INITDIALOG is an OptionsDialogArgs*.
// Ends the dialog with 1 on OK, 2 on Cancel.
intptr_t OptionsDialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);

#include "ui/dialogs/optionsdialog.h"

#include "diag/trace.h"
#include "settings/registry.h"

#include <iterator>

namespace {

constexpr WinControlTemplate OPTIONS_CONTROLS[] = {
    {IDC_ASK_EVERY, WinControl::CheckBox, "Ask for saved file name every time.",
     WS_GROUP | WS_TABSTOP, 7, 7, 266, 10},
    {IDC_USE_EXTENSION, WinControl::CheckBox,
     "Place in directories based on extension, eg. \"...\\mp3\\song.mp3\".", WS_TABSTOP, 7, 21,
     266, 10},
    {IDC_ALLOW_HTML, WinControl::CheckBox, "Allow HTML files to be downloaded.", WS_TABSTOP, 7,
     35, 266, 10},
    {IDOK, WinControl::DefPushButton, "OK", WS_GROUP | WS_TABSTOP, 169, 55, 50, 14},
    {IDCANCEL, WinControl::PushButton, "Cancel", WS_TABSTOP, 223, 55, 50, 14},
};

// The dialog is modal and there is one at a time: its arguments live here between
// WM_INITDIALOG and the button that ends it.
const OptionsDialogArgs* openArgs = nullptr;

bool isChecked(HWND dialog, int id)
{
    return Win_IsChecked(Win_GetDlgItem(dialog, id));
}

void applyChecks(HWND dialog)
{
    DownloadOptions* options = openArgs->options;
    for (const DownloadOption& option : DOWNLOAD_OPTIONS)
        options->*option.field = isChecked(dialog, option.controlId) ? 1 : 0;
    if (openArgs->setAllowHTML)
        openArgs->setAllowHTML(options->allowHTML);
    for (const DownloadOption& option : DOWNLOAD_OPTIONS)
        Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, option.valueName,
                       options->*option.field);
    for (const DownloadOption& option : DOWNLOAD_OPTIONS)
        Trace_PrintInt(TRACE_ALL, option.dialogTrace, options->*option.field);
}

}  // namespace

const WinDialogTemplate optionsTemplate = {
    IDD_OPTIONS, "Download Options", false, 20, 30, 280, 76, "MS Sans Serif", 8,
    OPTIONS_CONTROLS, std::size(OPTIONS_CONTROLS),
};

intptr_t OptionsDialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        openArgs = reinterpret_cast<const OptionsDialogArgs*>(lParam);
        for (const DownloadOption& option : DOWNLOAD_OPTIONS)
            Win_SetChecked(Win_GetDlgItem(dialog, option.controlId),
                           openArgs->options->*option.field != 0);
        return 1;
    }
    if (message != WM_COMMAND || openArgs == nullptr)
        return 0;
    int command = LOWORD(wParam);
    if (command == IDOK)
        applyChecks(dialog);
    if (command != IDOK && command != IDCANCEL)
        return 0;
    openArgs = nullptr;
    Win_EndDialog(dialog, command);
    return 1;
}

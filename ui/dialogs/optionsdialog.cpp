#include "ui/dialogs/optionsdialog.h"

#include "diag/trace.h"
#include "settings/registry.h"

#include <charconv>
#include <iterator>
#include <string>

namespace {

constexpr WinControlTemplate OPTIONS_CONTROLS[] = {
    {IDC_ASK_EVERY, WinControl::CheckBox, "Ask for saved file name every time.",
     WS_GROUP | WS_TABSTOP, 7, 7, 266, 10},
    {IDC_USE_EXTENSION, WinControl::CheckBox,
     "Place in directories based on extension, eg. \"...\\mp3\\song.mp3\".", WS_TABSTOP, 7, 21,
     266, 10},
    {IDC_ALLOW_HTML, WinControl::CheckBox, "Allow HTML files to be downloaded.", WS_TABSTOP, 7,
     35, 266, 10},
    {-1, WinControl::Static, "Connections per download (1-16):", 0, 7, 51, 180, 8},
    {IDC_CONNECTIONS, WinControl::Edit, "", WS_GROUP | WS_TABSTOP, 190, 49, 30, 12},
    {-1, WinControl::Static, "Rate limit for all connections, KB/s (0 = none):", 0, 7, 67, 180, 8},
    {IDC_RATE_LIMIT, WinControl::Edit, "", WS_GROUP | WS_TABSTOP, 190, 65, 40, 12},
    {IDC_SCHEDULE_FULL_RATE, WinControl::CheckBox, "Scheduled downloads ignore the rate limit.",
     WS_GROUP | WS_TABSTOP, 7, 81, 266, 10},
    {IDOK, WinControl::DefPushButton, "OK", WS_GROUP | WS_TABSTOP, 169, 99, 50, 14},
    {IDCANCEL, WinControl::PushButton, "Cancel", WS_TABSTOP, 223, 99, 50, 14},
};

// Digits enough for the largest number an edit box takes.
constexpr int NUMBER_DIGITS = 7;

// The dialog is modal and there is one at a time: its arguments live here between
// WM_INITDIALOG and the button that ends it.
const OptionsDialogArgs* openArgs = nullptr;

bool isChecked(HWND dialog, int id)
{
    return Win_IsChecked(Win_GetDlgItem(dialog, id));
}

void showNumbers(HWND dialog)
{
    for (const DownloadNumber& number : DOWNLOAD_NUMBERS) {
        HWND edit = Win_GetDlgItem(dialog, number.controlId);
        Win_LimitText(edit, NUMBER_DIGITS);
        Win_SetWindowText(edit, std::to_string(openArgs->options->*number.field).c_str());
    }
}

// A box that does not hold a number keeps the value it showed; one out of bounds gives the bound.
void readNumbers(HWND dialog)
{
    for (const DownloadNumber& number : DOWNLOAD_NUMBERS) {
        char text[NUMBER_DIGITS + 2] = "";
        const size_t length = Win_GetWindowText(Win_GetDlgItem(dialog, number.controlId), text, sizeof text);
        int64_t value = 0;
        const auto read = std::from_chars(text, text + length, value);
        if (length > 0 && read.ec == std::errc{} && read.ptr == text + length)
            openArgs->options->*number.field = Options_Bounded(number, value);
    }
}

void applyChecks(HWND dialog)
{
    DownloadOptions* options = openArgs->options;
    for (const DownloadOption& option : DOWNLOAD_OPTIONS)
        options->*option.field = isChecked(dialog, option.controlId) ? 1 : 0;
    readNumbers(dialog);
    if (openArgs->setAllowHTML)
        openArgs->setAllowHTML(options->allowHTML);
    for (const DownloadOption& option : DOWNLOAD_OPTIONS)
        Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, option.valueName,
                       options->*option.field);
    for (const DownloadNumber& number : DOWNLOAD_NUMBERS)
        Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, number.valueName,
                       options->*number.field);
    for (const DownloadOption& option : DOWNLOAD_OPTIONS)
        Trace_PrintInt(TRACE_ALL, option.dialogTrace, options->*option.field);
    for (const DownloadNumber& number : DOWNLOAD_NUMBERS)
        Trace_PrintInt(TRACE_ALL, number.trace, options->*number.field);
}

}  // namespace

const WinDialogTemplate optionsTemplate = {
    IDD_OPTIONS, "Download Options", false, 20, 30, 280, 120, "MS Sans Serif", 8,
    OPTIONS_CONTROLS, std::size(OPTIONS_CONTROLS),
};

intptr_t OptionsDialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        openArgs = reinterpret_cast<const OptionsDialogArgs*>(lParam);
        for (const DownloadOption& option : DOWNLOAD_OPTIONS)
            Win_SetChecked(Win_GetDlgItem(dialog, option.controlId),
                           openArgs->options->*option.field != 0);
        showNumbers(dialog);
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

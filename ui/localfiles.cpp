// The dialogs of the local file choice: the save dialog, the "Attention" dialog for a file that
// exists already, and the message for a name another pending link holds; and the question and
// message that follow a new link's query.
#include "ui/ui.h"

#include "core/checkback.h"
#include "ui/boxes.h"

#include <iterator>

namespace {

constexpr WinControlTemplate ATTENTION_CONTROLS[] = {
    {-1, WinControl::Static,
     "A file with that name already exists. Do you want to replace it, or pick a new name, or cancel?",
     WS_GROUP, 7, 7, 301, 18},
    {IDC_REPLACE, WinControl::DefPushButton, "Replace Existing File", WS_TABSTOP, 7, 29, 78, 14},
    {IDC_PICK_NEW, WinControl::PushButton, "Pick New Name", WS_TABSTOP, 125, 29, 65, 14},
    {IDC_ATTENTION_CANCEL, WinControl::PushButton, "Cancel", WS_TABSTOP, 255, 29, 50, 14},
};

constexpr WinDialogTemplate ATTENTION_DIALOG = {
    IDD_ATTENTION, "Attention", false, 20, 30, 315, 50, "MS Sans Serif", 8,
    ATTENTION_CONTROLS, std::size(ATTENTION_CONTROLS)};

// The dialog's result for each of its buttons.
struct AttentionButton {
    int id;
    intptr_t result;
};
// Its close box and Escape (IDCANCEL) are its Cancel: so the end of the session, which closes
// every dialog as the person would, closes it too.
constexpr AttentionButton ATTENTION_BUTTONS[] = {
    {IDC_REPLACE, 1}, {IDC_PICK_NEW, 2}, {IDC_ATTENTION_CANCEL, 0}, {IDCANCEL, 0}};

}  // namespace

int MQUI_AskSaveName(char* path, size_t size)
{
    if (!Win_SaveFileName(ui.hwndMain, path, size))
        return 0;
    MOONQ_RememberDownloadDir(path, &downloadOptions);
    MQUI_Refresh();
    return 1;
}

int MQUI_AskReplace()
{
    return int(Win_DialogBox(ATTENTION_DIALOG, ui.hwndMain, MQUI_AttentionProc, 0));
}

intptr_t MQUI_AttentionProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return 1;
    if (message != WM_COMMAND)
        return 0;
    for (const AttentionButton& button : ATTENTION_BUTTONS) {
        if (button.id == LOWORD(wParam)) {
            Win_EndDialog(dialog, button.result);
            return 1;
        }
    }
    return 0;
}

void MQUI_NameConflictBox()
{
    MQUI_AttentionBox("Local file name matches another name already in the list of URLs to be "
                      "downloaded. Please choose a new name.");
}

int MQUI_AskStartOver()
{
    constexpr const char* QUESTION =
        "The new link names another file than the one this item has begun to download. Start the file "
        "over from the new link? OK drops the part downloaded so far; Cancel keeps the item and its old link.";
    return Win_MessageBox(ui.hwndMain, QUESTION, "Replace Link", MB_OKCANCEL) == IDOK ? 1 : 0;
}

void MQUI_LinkNotTakenBox(const char* reason)
{
    MQUI_AttentionBox(reason);
}

void MQUI_InstallCheckBackDialogs()
{
    MOONQ_SetCheckBackDialogs({MQUI_AskSaveName, MQUI_AskReplace, MQUI_NameConflictBox,
                               MQUI_OpenDocument, MQUI_AskStartOver, MQUI_LinkNotTakenBox});
}

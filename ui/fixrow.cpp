// Mending a row the person double-clicks or picks "Replace Link" for: a refused link takes a new
// link, typed as into the "Add:" box; any other problem lies with the local file, chosen anew.
#include "ui/fixrow.h"

#include "ui/ui.h"

#include "core/checkback.h"
#include "core/pending.h"
#include "ui/texts.h"
#include "ui/worktimer.h"

#include <iterator>

namespace {

const WinControlTemplate REPLACE_LINK_CONTROLS[] = {
    {-1, WinControl::Static, "New link for this item:", 0, 7, 7, 300, 8},
    {IDC_NEW_LINK, WinControl::Edit, "", WS_TABSTOP, 7, 18, 300, 14},
    {IDOK, WinControl::DefPushButton, "OK", WS_TABSTOP | WS_GROUP, 197, 38, 50, 14},
    {IDCANCEL, WinControl::PushButton, "Cancel", WS_TABSTOP, 257, 38, 50, 14},
};

const WinDialogTemplate REPLACE_LINK_DIALOG = {
    IDD_REPLACE_LINK, "Replace Link", false, 20, 30, 315, 58, "MS Sans Serif", 8,
    REPLACE_LINK_CONTROLS, std::size(REPLACE_LINK_CONTROLS),
};

char replaceLinkText[LINK_BOX_CAPACITY];   // what the dialog read back; one dialog at a time

}  // namespace

void MQUI_FixRow(LPARAM lParam)
{
    MQUI_FixItemAt(MQUI_RowFromPoint(lParam));
}

void MQUI_FixItemAt(int32_t index)
{
    UrlItem* item = index < 0 ? nullptr : MOONQ_ItemAt(size_t(index));
    if (item == nullptr)
        return;
    // A refused link is mended by a new link; any other problem lies with the local file.
    const uint32_t flags = item->flags;
    if ((flags & ITEM_VALID) && (flags & ITEM_LINK_REFUSED)) {
        MQUI_ReplaceLink(item);
        return;
    }
    MOONQ_ChooseLocalFile(item, true, &downloadOptions);
    // The chosen name is what the saved list must carry from now on.
    MOONQ_SavePending();
    MQUI_Refresh();
}

void MQUI_ReplaceLink(UrlItem* item)
{
    if (ui.workTimerId != 0 || !(item->flags & ITEM_VALID))
        return;
    // A scheduled run that starts while the person types must leave the item alone.
    item->flags |= ITEM_NEW_LINK;
    replaceLinkText[0] = '\0';
    char link[URL_CAPACITY + 16];
    const bool typed = Win_DialogBox(REPLACE_LINK_DIALOG, ui.hwndMain, MQUI_ReplaceLinkProc, LPARAM(item->url)) ==
                           IDOK && replaceLinkText[0] != '\0';
    MQUI_TypedLink(replaceLinkText, link, sizeof link);
    // A link refused before its query leaves no trace, as a typed one does.
    if (!typed || MOONQ_ReplaceLink(item, link, &downloadOptions) != 0) {
        item->flags &= ~ITEM_NEW_LINK;
        return;
    }
    MQUI_StartWorkTimer();
}

intptr_t MQUI_ReplaceLinkProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    HWND edit = Win_GetDlgItem(dialog, IDC_NEW_LINK);
    if (message == WM_INITDIALOG) {
        Win_LimitText(edit, LINK_BOX_LIMIT);
        Win_SetWindowText(edit, reinterpret_cast<const char*>(lParam));
        Win_SetDefaultButton(dialog, IDOK);
        return 1;
    }
    const int id = message == WM_COMMAND ? LOWORD(wParam) : 0;
    if (id == IDOK)
        Win_GetWindowText(edit, replaceLinkText, sizeof replaceLinkText);
    if (id == IDOK || id == IDCANCEL) {
        Win_EndDialog(dialog, id);
        return 1;
    }
    return 0;
}

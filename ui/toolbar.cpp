#include "ui/ui.h"

#include "ui/boxes.h"
#include "ui/dialogs/scheduledialog.h"
#include "ui/texts.h"
#include "ui/worktimer.h"
#include "web/linkdrop.h"

#include <cstdio>
#include <iterator>

namespace {

// "Download At" is 16 units wider than the classic layout, and "Add:" and the URL box move
// right by 6: the Linux fonts are wider, and "Download at 12:59 PM" must not be cut off.
constexpr WinControlTemplate TOOLBAR_CONTROLS[] = {
    {IDC_DOWNLOAD_NOW, WinControl::PushButton, "Download Now", WS_DISABLED | WS_TABSTOP, 5, 2, 63, 14},
    {IDC_DOWNLOAD_AT, WinControl::CheckBox, "Download At 99:99", WS_DISABLED | WS_TABSTOP, 80, 0, 100, 18},
    {IDC_ADD, WinControl::DefPushButton, "Add:", WS_DISABLED | WS_TABSTOP, 182, 2, 38, 14},
    {IDC_URL, WinControl::Edit, "", WS_TABSTOP, 219, 2, 262, 14},
};

bool downloadNow(HWND)
{
    MQUI_StartDownloads();
    return true;
}

// The box has toggled itself already; the person arms and disarms the schedule with it.
bool downloadAt(HWND dialog)
{
    if (Win_IsChecked(Win_GetDlgItem(dialog, IDC_DOWNLOAD_AT)))
        ui.scheduleTimerId = Schedule_StartTimer(ui.hwndMain);
    else
        Schedule_StopTimer(ui.hwndMain);
    MQUI_UpdateTray();
    // A row whose link expires before the start is a problem only while the schedule is armed.
    Win_Invalidate(ui.hwndMain, false);
    return true;
}

// Setting the initial text happens before hwndToolbar is stored, so only the person's edits
// enable "Add:".
bool urlEdited(HWND)
{
    Win_EnableWindow(Win_GetDlgItem(ui.hwndToolbar, IDC_ADD), true);
    return true;
}

// Tells the person why a link of theirs was not added.
void tellNotAdded(const char* how, const char* why)
{
    char text[256];
    std::snprintf(text, sizeof text, "Moonfetch did not add the %s: %s.", how, why);
    MQUI_ErrorBox(text);
}

bool addTypedUrl(HWND dialog)
{
    char typed[LINK_BOX_CAPACITY];
    Win_GetWindowText(Win_GetDlgItem(dialog, IDC_URL), typed, sizeof typed);
    if (MQUI_TypedLinkLength(typed) > URL_LENGTH_LIMIT)
        tellNotAdded("link", LINK_TOO_LONG);
    else
        MQUI_AddTypedURL(typed);
    Win_EnableWindow(Win_GetDlgItem(dialog, IDC_ADD), false);
    return true;
}

constexpr uint32_t ANY_NOTIFICATION = 0xFFFFFFFFu;

struct ToolbarCommand {
    int id;
    uint32_t notification;
    bool (*run)(HWND dialog);
};

// Tried in this order: the first row that matches the command handles it.
constexpr ToolbarCommand TOOLBAR_COMMANDS[] = {
    {IDC_DOWNLOAD_NOW, ANY_NOTIFICATION, downloadNow},
    {IDC_DOWNLOAD_AT, ANY_NOTIFICATION, downloadAt},
    {IDC_URL, EN_CHANGE, urlEdited},
    {IDC_ADD, ANY_NOTIFICATION, addTypedUrl},
};

bool runToolbarCommand(HWND dialog, WPARAM wParam)
{
    const int id = LOWORD(wParam);
    const uint32_t notification = HIWORD(wParam);
    for (const auto& command : TOOLBAR_COMMANDS) {
        const bool anyNotification = command.notification == ANY_NOTIFICATION;
        if (command.id == id && (anyNotification || command.notification == notification))
            return command.run(dialog);
    }
    return false;
}

// The main window's drop target: a drag's answer is fixed when it enters, by the link test.
class UrlDropTarget : public WinDropTarget {
public:
    uint32_t DragEnter(const char* text, uint32_t allowed) override
    {
        effect_ = DROPEFFECT_NONE;
        if (text != nullptr && link_.IsAcceptableLink(text))
            effect_ = allowed;
        return effect_;
    }
    uint32_t DragOver() override { return effect_; }
    void DragLeave() override { effect_ = DROPEFFECT_NONE; }
    // A dropped link is added exactly as it came, when the text dropped passes the test too; a
    // drop that added nothing answers none, so that the source keeps its text, and says why.
    // The effect stays until the next drag.
    uint32_t Drop(const char* text) override
    {
        if (effect_ == DROPEFFECT_NONE || text == nullptr)
            return DROPEFFECT_NONE;
        const char* why = addDropped(text);
        if (why == nullptr)
            return effect_;
        tellNotAdded("dropped link", why);
        return DROPEFFECT_NONE;
    }
    void SetAllowHTML(int32_t allow) { link_.allowHTML = allow; }

private:
    // Adds text; why it was not added, or null.
    const char* addDropped(const char* text)
    {
        if (!link_.IsAcceptableLink(text)) {
            const char* why = MQUI_LinkRefusal(text);
            return why != nullptr ? why : "it is no link to a file over http, https or ftp";
        }
        return MQUI_AddURL(text) ? nullptr : "it could not be added to the list";
    }

    LinkDropTarget link_{};
    uint32_t effect_ = DROPEFFECT_NONE;
};

UrlDropTarget dropTarget;

}  // namespace

const WinDialogTemplate toolbarTemplate = {
    IDD_TOOLBAR, nullptr, true, 0, 0, 607, 18, "MS Sans Serif", 8,
    TOOLBAR_CONTROLS, std::size(TOOLBAR_CONTROLS),
};

intptr_t MQUI_ToolbarProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        HWND edit = Win_GetDlgItem(dialog, IDC_URL);
        Win_LimitText(edit, LINK_BOX_LIMIT);
        Win_SetWindowText(edit, URL_PREFIX);
        Win_SetDefaultButton(dialog, IDC_ADD);
        return true;
    }
    return message == WM_COMMAND && runToolbarCommand(dialog, wParam);
}

bool MQUI_AddTypedURL(const char* text, const char* handedCookies, const char* referrer)
{
    char link[URL_PREFIX_LENGTH + URL_CAPACITY];
    MQUI_TypedLink(text, link, sizeof link);
    return MQUI_AddURL(link, handedCookies, referrer);
}

bool MQUI_AddURL(const char* text, const char* handedCookies, const char* referrer)
{
    // A refused add leaves no trace; the timer stops itself at the next tick.
    const bool added = MOONQ_AddURL(text, &downloadOptions, handedCookies, referrer) != nullptr;
    MQUI_StartWorkTimer();
    return added;
}

WinDropTarget* MQUI_DropTarget()
{
    return &dropTarget;
}

void MQUI_SetAllowHTML(int32_t allow)
{
    dropTarget.SetAllowHTML(allow);
}

// A run on the desktop: the computer stays awake while a file downloads, and the notifications
// say how the run ended. Each file's hold names it, for the person who wonders why the
// computer does not suspend. The tray icon's tip tells what the program waits for or does.
#include "ui/ui.h"

#include "core/items.h"
#include "ui/dialogs/scheduledialog.h"
#include "ui/texts.h"
#include "window/desktop.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* APP_NAME = "Moonfetch";
// By whether the person pressed Cancel.
constexpr const char* RUN_END_SUMMARY[] = {"Downloads finished", "Downloads cancelled"};
constexpr size_t WHY_SIZE = 64 + URL_CAPACITY;

int runHold = -1;

constexpr const char* TRAY_NOTICE = "Moonfetch keeps running in the tray";
// By whether the schedule is armed: what goes on without the window.
constexpr const char* TRAY_NOTICE_BODY[] = {
    "The downloads go on. Use Exit in the tray menu to quit.",
    "The scheduled download will still happen. Use Exit in the tray menu to quit.",
};

}  // namespace

void MQUI_KeepAwakeFor(const UrlItem* item)
{
    char name[URL_CAPACITY];
    MQUI_ShownName(item, name, sizeof name);
    char why[WHY_SIZE];
    std::snprintf(why, sizeof why, "Downloading %s", name);
    // The next hold first, so that no moment between two files is left unheld.
    const int held = runHold;
    runHold = Win_HoldAwake(WinAwake::IdleAndSleep, APP_NAME, why);
    Win_ReleaseAwake(held);
}

void MQUI_LetSleep()
{
    Win_ReleaseAwake(runHold);
    runHold = -1;
}

void MQUI_RunEnded()
{
    MQUI_LetSleep();
    static char text[RUN_SUMMARY_CAPACITY];   // large, and only the user-interface thread tells it
    MQUI_DescribeRun(text, sizeof text);
    for (size_t end = std::strlen(text); end > 0 && text[end - 1] == '\n'; --end)
        text[end - 1] = '\0';   // a notification shows no empty last line
    MQUI_NotifyRunEnd(text);
}

void MQUI_NotifyRunEnd(const char* text)
{
    Win_Notify(APP_NAME, RUN_END_SUMMARY[ui.stopAfterCurrent ? 1 : 0], text);
}

// A start that came leaves the box checked with no start to come, unless "Every night" armed the next.
bool MQUI_ScheduleArmed()
{
    return Win_IsChecked(Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT)) && Schedule_TimerArmed();
}

void MQUI_TrayTip(char* text, size_t size)
{
    MQUI_TrayTipText(MQUI_ScheduleArmed(), text, size);
}

void MQUI_UpdateTray()
{
    if (!ui.trayShown)
        return;
    char tip[TRAY_TIP_CAPACITY];
    MQUI_TrayTip(tip, sizeof tip);
    Win_TraySetTip(tip);
}

void MQUI_HideToTray()
{
    Win_HideWindow(ui.hwndMain);
    if (ui.trayNoticeGiven)
        return;
    ui.trayNoticeGiven = true;
    Win_Notify(APP_NAME, TRAY_NOTICE, TRAY_NOTICE_BODY[MQUI_ScheduleArmed() ? 1 : 0]);
}

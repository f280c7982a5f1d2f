#include "ui/dialogs/scheduledialog.h"

#include "diag/trace.h"
#include "window/desktop.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr int HOURS_PER_DAY = 24;
constexpr size_t BUTTON_TEXT_SIZE = 32;
constexpr size_t HOUR_TEXT_SIZE = 16;

constexpr size_t NOTICE_SIZE = 256;
constexpr const char* APP_NAME = "Moonfetch";
constexpr const char* MISSED_SUMMARY = "Scheduled download missed";
constexpr const char* MISSED_BODY = "The computer was asleep at %s and woke after the download hours. "
                                    "Moonfetch will download at %s tomorrow.";
constexpr const char* WAITING_WHY = "Waiting to download at %s";

// A look at the clock this much after the timer was due tells that the computer slept.
constexpr int LATE_LOOK_SECONDS = 5;

uint32_t timerHandle = 0;
uint32_t armedPeriodMs = 0;
// The hold that keeps an idle computer from suspending while the timer waits; the person may
// still suspend it.
int idleHold = -1;
ScheduleDialogContext dialogContext{};

// A new start time (the dialog's OK while armed) takes a hold that names it.
void holdIdle()
{
    static char heldFor[NOTICE_SIZE];
    char why[NOTICE_SIZE];
    std::snprintf(why, sizeof why, WAITING_WHY, Schedule_StartText());
    if (idleHold >= 0 && std::strcmp(why, heldFor) == 0)
        return;
    const int earlier = idleHold;
    idleHold = Win_HoldAwake(WinAwake::Idle, APP_NAME, why);
    Win_ReleaseAwake(earlier);
    std::snprintf(heldFor, sizeof heldFor, "%s", why);
}

void killTimer(HWND window)
{
    if (timerHandle != 0)
        Win_KillTimer(window, SCHEDULE_TIMER_ID);
    timerHandle = 0;
}

void armTimer(HWND window)
{
    killTimer(window);
    armedPeriodMs = Schedule_TimerPeriodMs(Schedule_Arm());
    timerHandle = Win_SetTimer(window, SCHEDULE_TIMER_ID, armedPeriodMs);
    holdIdle();
}

void traceLateLook()
{
    const int late = Schedule_SecondsArmed() - int(armedPeriodMs / 1000);
    if (late > LATE_LOOK_SECONDS)
        Trace_PrintInt(TRACE_ALL, "Schedule: %d seconds past the timer's period; the computer slept\n", late);
}

// The start passed while the computer slept, and so did the window: the same time tomorrow,
// with the toolbar's text as it is.
void tellMissed()
{
    char body[NOTICE_SIZE];
    std::snprintf(body, sizeof body, MISSED_BODY, Schedule_StartText(), Schedule_StartText());
    Trace_PrintString(TRACE_ALL, "Schedule: the computer slept through the start at %s; the run waits for tomorrow\n",
                      Schedule_StartText());
    Win_Notify(APP_NAME, MISSED_SUMMARY, body);
}

void fillHourLists(HWND dialog)
{
    HWND begin = Win_GetDlgItem(dialog, IDC_SCHEDULE_BEGIN);
    HWND end = Win_GetDlgItem(dialog, IDC_SCHEDULE_END);
    char text[HOUR_TEXT_SIZE];
    for (int hour = 0; hour < HOURS_PER_DAY; ++hour) {
        Schedule_HourText(hour, text, sizeof text);
        Win_ListAddString(begin, text);
        Win_ListAddString(end, text);
    }
    Win_ListSetTopIndex(begin, Schedule_GetBeginHour());
    Win_ListSetTopIndex(end, Schedule_GetEndHour());
    Win_SetChecked(Win_GetDlgItem(dialog, IDC_SCHEDULE_EVERY_NIGHT), Schedule_GetEveryNight());
}

// The second draw, by the end hour's setter, is the start time that stays.
void acceptHours(HWND dialog)
{
    Schedule_SetBeginHour(Win_ListGetTopIndex(Win_GetDlgItem(dialog, IDC_SCHEDULE_BEGIN)));
    Schedule_SetEndHour(Win_ListGetTopIndex(Win_GetDlgItem(dialog, IDC_SCHEDULE_END)));
    Schedule_SetEveryNight(Win_IsChecked(Win_GetDlgItem(dialog, IDC_SCHEDULE_EVERY_NIGHT)));
    Schedule_UpdateDownloadAtButton(dialogContext.toolbar);
    HWND downloadAt = Win_GetDlgItem(dialogContext.toolbar, IDC_SCHEDULE_DOWNLOAD_AT);
    if (Win_IsChecked(downloadAt) && dialogContext.timerId != nullptr)
        *dialogContext.timerId = Schedule_StartTimer(dialogContext.mainWindow);
}

constexpr WinControlTemplate SCHEDULE_CONTROLS[] = {
    {-1, WinControl::Static, "Downloading will start at a random time between:", 0, 7, 7, 218, 9},
    {IDC_SCHEDULE_BEGIN, WinControl::ListBox, "", WS_TABSTOP, 30, 21, 60, 10},
    {-1, WinControl::Static, "and", 0, 102, 22, 18, 8},
    {IDC_SCHEDULE_END, WinControl::ListBox, "", WS_TABSTOP, 128, 21, 60, 10},
    {IDC_SCHEDULE_EVERY_NIGHT, WinControl::CheckBox, "Every night", WS_TABSTOP | WS_GROUP, 30, 37, 100, 10},
    {IDOK, WinControl::DefPushButton, "OK", WS_TABSTOP | WS_GROUP, 56, 53, 50, 14},
    {IDCANCEL, WinControl::PushButton, "Cancel", WS_TABSTOP, 126, 53, 50, 14},
};

}  // namespace

const WinDialogTemplate scheduleTemplate = {
    IDD_SCHEDULE, "Schedule Download", false, 0, 0, 232, 75, "MS Sans Serif", 8,
    SCHEDULE_CONTROLS, std::size(SCHEDULE_CONTROLS),
};

// The person's arming waits for the next occurrence of the start, even after a run tonight.
uint32_t Schedule_StartTimer(HWND window)
{
    Schedule_EndRest();
    armTimer(window);
    return SCHEDULE_TIMER_ID;
}

void Schedule_StopTimer(HWND window)
{
    Schedule_EndRest();
    killTimer(window);
    Win_ReleaseAwake(idleHold);
    idleHold = -1;
}

// Every arming is one-shot: a tick disarms, and re-arms only while the start is not due.
int Schedule_OnTimer(HWND window, HWND toolbar)
{
    if (timerHandle == 0)
        return 0;
    traceLateLook();
    const ScheduleCheck check = Schedule_CheckNow();
    if (check == ScheduleCheck::RUN) {
        Schedule_StopTimer(window);
        if (Schedule_GetEveryNight()) {
            Schedule_NextNight();
            Schedule_UpdateDownloadAtButton(toolbar);
            Trace_PrintString(TRACE_ALL, "Schedule: every night, the next start is at %s\n", Schedule_StartText());
            armTimer(window);
        }
        return 1;
    }
    if (check == ScheduleCheck::MISSED)
        tellMissed();
    armTimer(window);
    return 0;
}

bool Schedule_TimerArmed()
{
    return timerHandle != 0;
}

void Schedule_UpdateDownloadAtButton(HWND toolbar)
{
    char text[BUTTON_TEXT_SIZE];
    std::snprintf(text, sizeof text, "Download at %s", Schedule_GetTimeText());
    Win_SetWindowText(Win_GetDlgItem(toolbar, IDC_SCHEDULE_DOWNLOAD_AT), text);
}

intptr_t ScheduleDialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        const auto* context = reinterpret_cast<const ScheduleDialogContext*>(lParam);
        dialogContext = context != nullptr ? *context : ScheduleDialogContext{};
        fillHourLists(dialog);
        return 1;
    }
    const int command = LOWORD(wParam);
    if (message != WM_COMMAND || (command != IDOK && command != IDCANCEL))
        return 0;
    if (command == IDOK)
        acceptHours(dialog);
    Win_EndDialog(dialog, command);
    return 1;
}

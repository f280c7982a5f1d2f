#include "ui/dialogs/scheduledialog.h"

#include <cstdio>
#include <iterator>

namespace {

constexpr int HOURS_PER_DAY = 24;
constexpr size_t BUTTON_TEXT_SIZE = 32;
constexpr size_t HOUR_TEXT_SIZE = 16;

uint32_t timerHandle = 0;
ScheduleDialogContext dialogContext{};

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
}

// The second draw, by the end hour's setter, is the start time that stays.
void acceptHours(HWND dialog)
{
    Schedule_SetBeginHour(Win_ListGetTopIndex(Win_GetDlgItem(dialog, IDC_SCHEDULE_BEGIN)));
    Schedule_SetEndHour(Win_ListGetTopIndex(Win_GetDlgItem(dialog, IDC_SCHEDULE_END)));
    UpdateDownloadAtButton(dialogContext.toolbar);
    HWND downloadAt = Win_GetDlgItem(dialogContext.toolbar, IDC_SCHEDULE_DOWNLOAD_AT);
    if (Win_IsChecked(downloadAt) && dialogContext.timerId != nullptr)
        *dialogContext.timerId = Schedule_StartTimer(dialogContext.mainWindow);
}

constexpr WinControlTemplate SCHEDULE_CONTROLS[] = {
    {-1, WinControl::Static, "Downloading will start at a random time between:", 0, 7, 7, 218, 9},
    {IDC_SCHEDULE_BEGIN, WinControl::ListBox, "", WS_TABSTOP, 30, 21, 60, 10},
    {-1, WinControl::Static, "and", 0, 102, 22, 18, 8},
    {IDC_SCHEDULE_END, WinControl::ListBox, "", WS_TABSTOP, 128, 21, 60, 10},
    {IDOK, WinControl::DefPushButton, "OK", WS_TABSTOP | WS_GROUP, 56, 38, 50, 14},
    {IDCANCEL, WinControl::PushButton, "Cancel", WS_TABSTOP, 126, 38, 50, 14},
};

}  // namespace

const WinDialogTemplate scheduleTemplate = {
    IDD_SCHEDULE, "Schedule Download", false, 0, 0, 232, 60, "MS Sans Serif", 8,
    SCHEDULE_CONTROLS, std::size(SCHEDULE_CONTROLS),
};

uint32_t Schedule_StartTimer(HWND window)
{
    const int left = Schedule_SecondsLeft();
    Schedule_StopTimer(window);
    timerHandle = Win_SetTimer(window, SCHEDULE_TIMER_ID, Schedule_TimerPeriodMs(left));
    return SCHEDULE_TIMER_ID;
}

void Schedule_StopTimer(HWND window)
{
    if (timerHandle != 0)
        Win_KillTimer(window, SCHEDULE_TIMER_ID);
    timerHandle = 0;
}

// Every arming is one-shot: a tick disarms, and re-arms only while the start is not due.
int Schedule_OnTimer(HWND window)
{
    Schedule_StopTimer(window);
    if (Schedule_IsDue(Schedule_SecondsLeft()))
        return 1;
    Schedule_StartTimer(window);
    return 0;
}

void UpdateDownloadAtButton(HWND toolbar)
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

// The schedule's windows: the "Schedule Download" dialog that chooses the hour window, the
// one-shot timer 23 on the main window that waits for the start time, and the toolbar's
// "Download At" text.
//
// Contract:
// - User-interface thread only. This module owns the timer handle; the hours, the start time
//   and the timer's arithmetic are the schedule's (schedule.h).
// - It knows no window of its own: the caller hands in the main window (which owns timer 23)
//   and the toolbar (whose check box 1004 the person arms and disarms with). A start that came
//   leaves the box checked; only with "Every night" is another start to come then.
// - A failed SetTimer is not reported.
// - While the timer is armed, the computer does not suspend for being idle (window/desktop.h).
#pragma once

#include "settings/schedule.h"
#include "window/window.h"

#include <cstdint>

constexpr uint32_t SCHEDULE_TIMER_ID = 23;
constexpr int IDD_SCHEDULE = 132;
constexpr int IDC_SCHEDULE_BEGIN = 1017, IDC_SCHEDULE_END = 1018, IDC_SCHEDULE_EVERY_NIGHT = 1019;
// The toolbar's "Download At" check box.
constexpr int IDC_SCHEDULE_DOWNLOAD_AT = 1004;

// What the dialog acts on; handed to it as the lParam of the dialog box.
struct ScheduleDialogContext {
    HWND toolbar;
    HWND mainWindow;
    uint32_t* timerId;   // receives 23 when OK re-arms
};

// Dialog 132 "Schedule Download".
extern const WinDialogTemplate scheduleTemplate;

// Arms timer 23 on window for half of the time left (500 ms when none is left); returns 23.
uint32_t Schedule_StartTimer(HWND window);
// Disarms timer 23; the idle computer may suspend again.
void Schedule_StopTimer(HWND window);
// Timer 23 ticked, or the computer woke: 1 when the start time has come, or passed during a
// sleep that ended inside the window (the timer stays off; with "Every night" the next night's
// start is drawn, shown on the toolbar and armed); 0 after re-arming, when the timer was not
// armed, or when a sleep outlasted the window: then the notifications and the trace say that
// the run was missed, and the timer waits for the same time tomorrow.
int Schedule_OnTimer(HWND window, HWND toolbar);
// Whether a start is still to come: the timer is armed.
bool Schedule_TimerArmed();
// Shows "Download at <start time>" on the toolbar's check box.
void Schedule_UpdateDownloadAtButton(HWND toolbar);
intptr_t ScheduleDialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);

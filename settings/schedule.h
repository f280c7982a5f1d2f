// Download schedule: the hour window of a "Download At" run, the random start time drawn inside
// it, the self-shortening one-shot timer that watches the local clock for it, and the
// "Schedule Download" dialog that chooses the window.
//
// Contract:
// - User-interface thread only. This module owns the two hours, the start time and its text and
//   the timer handle; the hours are written to the store whenever they are set, never at exit.
// - It knows no window of its own: the caller hands in the main window (which owns timer 23)
//   and the toolbar (whose check box 1004 is the only record of being armed).
// - The start time is drawn with the program's own 15-bit generator, seeded once at start-up.
// - A failed SetTimer or store write is not reported; a setter returns the store's result.
#pragma once

#include "window.h"

#include <cstddef>
#include <cstdint>

constexpr uint32_t SCHEDULE_TIMER_ID = 23;
constexpr int IDD_SCHEDULE = 132;
constexpr int IDC_SCHEDULE_BEGIN = 1017, IDC_SCHEDULE_END = 1018;
// The toolbar's "Download At" check box.
constexpr int IDC_SCHEDULE_DOWNLOAD_AT = 1004;
constexpr size_t SCHEDULE_TEXT_SIZE = 16;
constexpr int SCHEDULE_RANDOM_MAX = 32767;
constexpr int SECONDS_PER_DAY = 86400;

// What the dialog acts on; handed to it as the lParam of the dialog box.
struct ScheduleDialogContext {
    HWND toolbar;
    HWND mainWindow;
    uint32_t* timerId;   // receives 23 when OK re-arms
};

// Dialog 132 "Schedule Download".
extern const WinDialogTemplate scheduleTemplate;

// Seeds the generator; done once at start-up, before the first draw.
void Schedule_Seed(uint32_t seed);
// The next number of the generator, 0..32767.
int Schedule_Random();
// Reads both hours from the store (a missing value keeps the current hour) and draws a start time.
int Schedule_Load();
int32_t Schedule_SetBeginHour(int hour);
int32_t Schedule_SetEndHour(int hour);
int Schedule_GetBeginHour();
int Schedule_GetEndHour();
// The current start time in seconds since local midnight.
int Schedule_GetStartTime();
const char* Schedule_GetTimeText();
// Draws a new start time inside the window and formats its text.
void Schedule_PickStartTime();
// The start time that two draws give for a window, 0..86399 (hours outside 0..23 count as 0).
int Schedule_StartFromDraws(int beginHour, int endHour, int r1, int r2);
// Formats secondOfDay as the start-time text, e.g. " 1:07 PM".
void Schedule_FormatTime(int secondOfDay);
// Local time now in seconds since midnight, from the clock set below.
int Schedule_SecondOfDay();
// Seconds until the next occurrence of the start time, 0..86399.
int Schedule_SecondsLeft();
// Replaces the local clock (tests); null restores the real one.
void Schedule_SetClock(int (*secondOfDay)());
// Arms timer 23 on window for half of the time left (500 ms when none is left); returns 23.
uint32_t Schedule_StartTimer(HWND window);
void Schedule_StopTimer(HWND window);
// The period of the armed timer in milliseconds; 0 when it is not armed.
uint32_t Schedule_ArmedPeriodMs();
// Timer 23 ticked: 1 when the start time has come (the timer stays off), 0 after re-arming.
int Schedule_OnTimer(HWND window);
// Shows "Download at <start time>" on the toolbar's check box.
void UpdateDownloadAtButton(HWND toolbar);
intptr_t ScheduleDialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);

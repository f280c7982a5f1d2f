// Download schedule: the hour window of a "Download At" run, the random start time drawn inside
// it with its text, and the arithmetic of the self-shortening timer that watches the local clock
// for it. The dialog that chooses the window and the arming of the window timer are the user
// interface's (scheduledialog.h).
//
// Contract:
// - User-interface thread only. This module owns the two hours, the start time and its text;
//   the hours are written to the store whenever they are set, never at exit.
// - The time left is measured against the clock kept in its state, the local time of day
//   unless another was put in its place (a test's fixed time).
// - It knows no window.
// - The start time is drawn with the program's own 15-bit generator, seeded once at start-up.
// - A failed store write is not reported; a setter returns the store's result.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SCHEDULE_TEXT_SIZE = 16;
constexpr int SCHEDULE_RANDOM_MAX = 32767;
constexpr int SECONDS_PER_DAY = 86400;

// The module's state; the program reads and changes it through the calls below.
struct ScheduleState {
    uint32_t randomState;
    int beginHour, endHour;
    int startTime;          // seconds since local midnight
    char startText[SCHEDULE_TEXT_SIZE];
    int (*secondOfDay)();   // the clock: the time now in seconds since local midnight
};
extern ScheduleState schedule;

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
const char* Schedule_GetTimeText();
// Draws a new start time inside the window and formats its text.
void Schedule_PickStartTime();
// The start time that two draws give for a window, 0..86399 (hours outside 0..23 count as 0).
int Schedule_StartFromDraws(int beginHour, int endHour, int r1, int r2);
// Formats secondOfDay as the start-time text, e.g. " 1:07 PM".
void Schedule_FormatTime(int secondOfDay);
// The name of an hour of the day in the dialog's lists: "Midnight", " 1 AM", ..., "Noon", "11 PM".
void Schedule_HourText(int hour, char* text, size_t size);
// Seconds until the next occurrence of the start time, 0..86399.
int Schedule_SecondsLeft();
// The period to arm the timer with when secondsLeft remain: half of it, 500 ms when none.
uint32_t Schedule_TimerPeriodMs(int secondsLeft);
// Whether a tick with secondsLeft to go starts the run: the start is less than 2 seconds ahead,
// or it passed less than 5 seconds ago because the tick came late.
bool Schedule_IsDue(int secondsLeft);

// Download schedule: the hour window of a "Download At" run, the random start time drawn inside
// it with its text, and the arithmetic of the self-shortening timer that watches the local clock
// for it. The dialog that chooses the window and the arming of the window timer are the user
// interface's (scheduledialog.h).
//
// Contract:
// - User-interface thread only. This module owns the two hours, the start time and its text;
//   the hours are written to the store whenever they are set, never at exit.
// - The time left is measured against the clock kept in its state, the local time of day
//   unless another was put in its place (a test's fixed time); its time of day follows its
//   Unix time unless that one alone was replaced. The timer's own time stops while
//   the computer sleeps, so each tick and each wake-up asks the clock whether the start passed
//   since the timer was armed.
// - Every night (stored beside the hours, off unless set): a start that came draws the next
//   night's start time, which waits until the next window opens, so that no second run comes
//   inside the window that just ran. A new arming by the person waits for the next occurrence
//   of the start time, as ever.
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
    int64_t (*now)();       // the same clock in Unix seconds; secondOfDay follows it unless replaced
    int armedAt;            // when the timer was last armed, by that clock
    bool everyNight;        // a start that came is followed by one the next night
    int64_t restUntil;      // Unix seconds: until then the start waits for the next window; 0: none
};

// What a tick of the timer, or the computer's waking, finds: the start is still ahead; it has
// come, or passed while the computer slept and the window is still open; or it passed while the
// computer slept and the window has closed since.
enum class ScheduleCheck { WAIT, RUN, MISSED };
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
int32_t Schedule_SetEveryNight(bool on);
bool Schedule_GetEveryNight();
// The start has come: draws the next night's start time, which waits until the window after
// the one that ran opens.
void Schedule_NextNight();
// Forgets a wait for the next window: a new arming waits for the next occurrence of the start.
void Schedule_EndRest();
const char* Schedule_GetTimeText();
// The start time as a sentence names it, without the padding the toolbar keeps.
const char* Schedule_StartText();
// Draws a new start time inside the window and formats its text.
void Schedule_PickStartTime();
// The start time that two draws give for a window, 0..86399 (hours outside 0..23 count as 0).
int Schedule_StartFromDraws(int beginHour, int endHour, int r1, int r2);
// Formats secondOfDay as the start-time text, e.g. " 1:07 PM".
void Schedule_FormatTime(int secondOfDay);
// Writes secondOfDay as a time of day in the start-time text's form, e.g. " 1:07 PM".
void Schedule_ClockText(int secondOfDay, char* text, size_t size);
// The name of an hour of the day in the dialog's lists: "Midnight", " 1 AM", ..., "Noon", "11 PM".
void Schedule_HourText(int hour, char* text, size_t size);
// Seconds until the next occurrence of the start time, 0..86399.
int Schedule_SecondsLeft();
// When the armed start comes, in Unix seconds by the clock: the next occurrence of the start
// time, or the one in the next window while the start waits for it.
int64_t Schedule_StartsAt();
// The period to arm the timer with when secondsLeft remain: half of it, 500 ms when none.
uint32_t Schedule_TimerPeriodMs(int secondsLeft);
// Notes that the timer is armed now; returns the seconds left until the start (Schedule_StartsAt).
int Schedule_Arm();
// Seconds since the timer was last armed, by the clock, 0..86399.
int Schedule_SecondsArmed();
// What the clock says now of the arming: WAIT while the start waits for the next window;
// after that wait, the arming counts from the window's begin hour; then Schedule_Check with the
// state's hours, start and clock.
ScheduleCheck Schedule_CheckNow();
// For a timer armed at armedAt (seconds since midnight, as start and now): WAIT while the start
// is 2 seconds or more ahead. Once it has come (the timer's monotonic time stops while the
// computer sleeps, so it may have passed long ago): RUN until the end hour of the window, or
// within 5 seconds of the start, whichever is later; MISSED after that. A sleep of a day or
// more is taken for its part beyond whole days.
ScheduleCheck Schedule_Check(int beginHour, int endHour, int start, int armedAt, int now);

#include "settings/schedule.h"

#include "settings/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr int SECONDS_PER_HOUR = 3600;
constexpr int HOURS_PER_DAY = 24;
// A tick that comes less than this late still starts the run, even past the window's end; an
// earlier one this close needs no re-arming.
constexpr int LATE_TICK_SECONDS = 5;
constexpr int DUE_AHEAD_SECONDS = 2;
constexpr uint32_t SHORTEST_PERIOD_MS = 500;

int64_t unixNow()
{
    return int64_t(std::time(nullptr));
}

int localSecondOfDay()
{
    std::time_t now = std::time_t(schedule.now());
    std::tm local{};
    localtime_r(&now, &local);
    return (local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec;
}

// The store never holds an hour outside the day unless someone edited it; such an hour is
// Midnight, as the setters treat it.
int validHour(int hour)
{
    return hour >= 0 && hour < HOURS_PER_DAY ? hour : 0;
}

// The seconds from one time of day to the next occurrence of another, 0..86399.
int secondsUntil(int from, int to)
{
    const int span = (to - from) % SECONDS_PER_DAY;
    return span < 0 ? span + SECONDS_PER_DAY : span;
}

// How long after start a run may still begin: until the end hour (the end of the hour when the
// window is a single hour), and never less than a tick's lateness.
int lateAllowed(int begin, int end, int start)
{
    begin = validHour(begin);
    const int hours = secondsUntil(begin * SECONDS_PER_HOUR, validHour(end) * SECONDS_PER_HOUR) / SECONDS_PER_HOUR;
    const int windowEnd = (hours == 0 ? 1 : hours) * SECONDS_PER_HOUR;
    const int allowed = windowEnd - secondsUntil(begin * SECONDS_PER_HOUR, start);
    return allowed > LATE_TICK_SECONDS ? allowed : LATE_TICK_SECONDS;
}

int32_t storeHour(int* target, const char* name, int hour)
{
    *target = validHour(hour);
    Schedule_PickStartTime();
    return Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, name, *target);
}

// The seconds from the window's begin hour to the start time.
int intoWindow(int start)
{
    return secondsUntil(validHour(schedule.beginHour) * SECONDS_PER_HOUR, start);
}

}  // namespace

ScheduleState schedule = {1, 1, 5, 0, "", localSecondOfDay, unixNow, 0, false, 0};

void Schedule_Seed(uint32_t seed)
{
    schedule.randomState = seed;
}

int Schedule_Random()
{
    schedule.randomState = schedule.randomState * 214013u + 2531011u;
    return int((schedule.randomState >> 16) & 0x7FFF);
}

int Schedule_Load()
{
    Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_BEGIN_HOUR, &schedule.beginHour);
    Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_END_HOUR, &schedule.endHour);
    int32_t everyNight = schedule.everyNight ? 1 : 0;
    Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_EVERY_NIGHT, &everyNight);
    schedule.everyNight = everyNight != 0;
    Schedule_PickStartTime();
    return 0;
}

int32_t Schedule_SetBeginHour(int hour)
{
    return storeHour(&schedule.beginHour, REG_VAL_BEGIN_HOUR, hour);
}

int32_t Schedule_SetEndHour(int hour)
{
    return storeHour(&schedule.endHour, REG_VAL_END_HOUR, hour);
}

int Schedule_GetBeginHour()
{
    return schedule.beginHour;
}

int Schedule_GetEndHour()
{
    return schedule.endHour;
}

int32_t Schedule_SetEveryNight(bool on)
{
    schedule.everyNight = on;
    return Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_EVERY_NIGHT, on ? 1 : 0);
}

bool Schedule_GetEveryNight()
{
    return schedule.everyNight;
}

// The start that came is counted from where it was due, not from the tick that found it (up to 2 s
// early, or late after a sleep), so the next window is the one after it, whatever the draw.
void Schedule_NextNight()
{
    const int ahead = secondsUntil(schedule.secondOfDay(), schedule.startTime);
    const int64_t cameAt = schedule.now() + (ahead <= DUE_AHEAD_SECONDS ? ahead : ahead - SECONDS_PER_DAY);
    schedule.restUntil = cameAt - intoWindow(schedule.startTime) + SECONDS_PER_DAY;
    Schedule_PickStartTime();
}

void Schedule_EndRest()
{
    schedule.restUntil = 0;
}

const char* Schedule_GetTimeText()
{
    return schedule.startText;
}

const char* Schedule_StartText()
{
    return schedule.startText + std::strspn(schedule.startText, " ");
}

void Schedule_PickStartTime()
{
    const int r1 = Schedule_Random();
    const int r2 = Schedule_Random();
    schedule.startTime = Schedule_StartFromDraws(schedule.beginHour, schedule.endHour, r1, r2);
    Schedule_FormatTime(schedule.startTime);
}

// The divisor is the largest draw, so only that extreme draw reaches the end of the window.
int Schedule_StartFromDraws(int begin, int end, int r1, int r2)
{
    begin = validHour(begin);
    int span = validHour(end) - begin;
    if (span < 0)
        span += HOURS_PER_DAY;
    const int hourOffset = r1 * span / SCHEDULE_RANDOM_MAX;
    const int secondOffset = r2 * SECONDS_PER_HOUR / SCHEDULE_RANDOM_MAX;
    const int start = (begin + hourOffset) * SECONDS_PER_HOUR + secondOffset;
    return start >= SECONDS_PER_DAY ? start - SECONDS_PER_DAY : start;
}

void Schedule_FormatTime(int secondOfDay)
{
    Schedule_ClockText(secondOfDay, schedule.startText, sizeof schedule.startText);
}

void Schedule_ClockText(int secondOfDay, char* text, size_t size)
{
    const unsigned hours = unsigned(secondOfDay / SECONDS_PER_HOUR) % HOURS_PER_DAY;
    const unsigned minutes = unsigned(secondOfDay % SECONDS_PER_HOUR / 60) % 60;
    const unsigned hour12 = hours % 12 == 0 ? 12 : hours % 12;
    std::snprintf(text, size, "%2u:%02u %cM", hour12, minutes,
                  hours < 12 ? 'A' : 'P');
}

void Schedule_HourText(int hour, char* text, size_t size)
{
    if (hour % 12 == 0)
        std::snprintf(text, size, "%s", hour == 0 ? "Midnight" : "Noon");
    else
        std::snprintf(text, size, "%2d %cM", hour % 12, hour < 12 ? 'A' : 'P');
}

int Schedule_SecondsLeft()
{
    return secondsUntil(schedule.secondOfDay(), schedule.startTime);
}

int64_t Schedule_StartsAt()
{
    if (schedule.restUntil != 0)
        return schedule.restUntil + intoWindow(schedule.startTime);
    return schedule.now() + Schedule_SecondsLeft();
}

uint32_t Schedule_TimerPeriodMs(int secondsLeft)
{
    const uint32_t period = uint32_t(secondsLeft) * (1000 / 2);
    return period == 0 ? SHORTEST_PERIOD_MS : period;
}

int Schedule_Arm()
{
    schedule.armedAt = schedule.secondOfDay();
    if (schedule.restUntil != 0)
        return int(std::max<int64_t>(Schedule_StartsAt() - schedule.now(), 0));
    return secondsUntil(schedule.armedAt, schedule.startTime);
}

int Schedule_SecondsArmed()
{
    return secondsUntil(schedule.armedAt, schedule.secondOfDay());
}

ScheduleCheck Schedule_CheckNow()
{
    if (schedule.restUntil != 0 && schedule.now() < schedule.restUntil)
        return ScheduleCheck::WAIT;
    if (schedule.restUntil != 0) {
        schedule.armedAt = validHour(schedule.beginHour) * SECONDS_PER_HOUR;
        schedule.restUntil = 0;
    }
    return Schedule_Check(schedule.beginHour, schedule.endHour, schedule.startTime, schedule.armedAt,
                          schedule.secondOfDay());
}

ScheduleCheck Schedule_Check(int beginHour, int endHour, int start, int armedAt, int now)
{
    const int leftAtArming = secondsUntil(armedAt, start);
    const int elapsed = secondsUntil(armedAt, now);
    if (leftAtArming - elapsed >= DUE_AHEAD_SECONDS)
        return ScheduleCheck::WAIT;
    const int late = elapsed - leftAtArming;
    return late < lateAllowed(beginHour, endHour, start) ? ScheduleCheck::RUN : ScheduleCheck::MISSED;
}

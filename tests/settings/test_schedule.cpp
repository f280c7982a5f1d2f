#include "settings/schedule.h"

#include "settings/registry.h"

#include "tests/support/fixtures.h"

#include <filesystem>
#include <string>
#include <tuple>
#include <utility>

namespace {

TEST(ScheduleArithmetic, GeneratorDrawsTextsAndALateTickOrAWakeUpRunningUntilTheWindowEnds)
{
    Schedule_Seed(1);
    for (int expected : {41, 18467, 6334, 26500, 19169})
        EXPECT_EQ(Schedule_Random(), expected);
    const struct { int begin, end, r1, r2, start; } draws[] = {
        {3, 3, 32767, 0, 3 * 3600}, {3, 3, 32766, 32766, 3 * 3600 + 3599}, {3, 3, 0, 32767, 4 * 3600},
        {22, 2, 0, 0, 22 * 3600}, {22, 2, 32766, 32766, 3600 + 3599}, {22, 2, 16384, 16384, 1800},
        {5, 1, 0, 0, 5 * 3600}, {5, 1, 32766, 32766, 3599}, {5, 1, 32767, 0, 3600},
        {1, 5, 32767, 32767, 6 * 3600}, {23, 22, 32767, 32767, 23 * 3600}, {23, 23, 0, 32767, 0},
        {30, 2, 32767, 0, 2 * 3600},   // an hour outside the day counts as Midnight
    };
    for (const auto& d : draws)
        EXPECT_EQ(Schedule_StartFromDraws(d.begin, d.end, d.r1, d.r2), d.start) << d.begin << "-" << d.end;
    for (auto [second, text] : {std::pair{0, "12:00 AM"}, {1800, "12:30 AM"}, {43230, "12:00 PM"}, {47220, " 1:07 PM"},
                                {86399, "11:59 PM"}}) {
        Schedule_FormatTime(second);
        EXPECT_STREQ(Schedule_GetTimeText(), text) << second;
    }
    // A tick 2 s ahead, a late one (5 s at least) or a wake-up after the start run until the end hour.
    using enum ScheduleCheck;
    constexpr int H = 3600, AT_0217 = 2 * H + 17 * 60, AT_1400 = 14 * H;
    const struct { int begin, end, start, armedAt, now; ScheduleCheck check; } ticks[] = {
        {1, 5, AT_0217, AT_1400, AT_0217 - 2, WAIT}, {1, 5, AT_0217, AT_1400, AT_0217 - 1, RUN},
        {1, 5, AT_0217, AT_1400, 5 * H - 1, RUN},    {1, 5, AT_0217, AT_1400, 5 * H, MISSED},
        {1, 5, AT_0217, AT_0217 + 1, AT_0217 + 60, WAIT}, {1, 5, 6 * H, AT_1400, 6 * H + 4, RUN},
        {22, 2, 23 * H, AT_1400, 2 * H - 1, RUN},    {3, 3, 3 * H + 600, AT_1400, 4 * H, MISSED},
    };
    for (const auto& t : ticks)
        EXPECT_EQ(Schedule_Check(t.begin, t.end, t.start, t.armedAt, t.now), t.check) << t.start << " " << t.now;
}

using Schedule = moontest::Sandbox;

int fakeNow = 0;

TEST_F(Schedule, StartIsDrawnInTheStoredHoursAndTheTimeLeftWrapsAtMidnight)
{
    Schedule_SetBeginHour(1);
    Schedule_SetEndHour(5);
    Schedule_Seed(1);
    Schedule_PickStartTime();   // 1 AM + 18467 * 3600 / 32767 seconds
    EXPECT_EQ(std::to_string(schedule.startTime) + Schedule_GetTimeText(), std::to_string(3600 + 2028) + " 1:33 AM");
    const auto clock = std::exchange(schedule.secondOfDay, [] { return fakeNow; });
    for (auto [now, left] : {std::pair{5628, 0}, {5629, 86399}, {0, 5628}}) {
        fakeNow = now;
        EXPECT_EQ(Schedule_SecondsLeft(), left) << now;
    }
    schedule.secondOfDay = clock;
    // Stored hours are taken as they are; a missing one keeps the hour before; a bad one is Midnight.
    std::filesystem::remove(RegStore_FilePath(REG_ROOT_CURRENT_USER));
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_BEGIN_HOUR, 22);
    EXPECT_EQ(Schedule_Load(), 0);
    EXPECT_EQ(std::pair(Schedule_GetBeginHour(), Schedule_GetEndHour()), std::pair(22, 5));
    EXPECT_EQ(Schedule_SetEndHour(-1), 0);
    int32_t stored = -1;
    Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_END_HOUR, &stored);
    EXPECT_EQ(std::pair(stored, Schedule_GetEveryNight()), std::pair(0, false));
    Schedule_SetEveryNight(true);
    schedule.everyNight = false;
    Schedule_Load();
    EXPECT_TRUE(Schedule_GetEveryNight());
}

int64_t fakeUnix = 0;

// Whatever the next draw, and however early or late the start was found, the next start comes in
// the next window, not later in the one that ran.
TEST_F(Schedule, EveryNightsNextStartWaitsForTheNextWindow)
{
    using enum ScheduleCheck;
    constexpr int64_t H = 3600, DAY = 86400, D = 20000 * DAY;
    const struct { int begin, end; int64_t start, foundAt, next, nextAt; } nights[] = {
        {1, 5, 2 * H + 1020, D + 2 * H + 1020, 3 * H + 2400, D + DAY + 3 * H + 2400},
        {1, 5, 1 * H, D + 1 * H - 2, 1 * H + 30, D + DAY + 1 * H + 30},   // found 2 s early
        {1, 5, 2 * H + 1020, D + 4 * H + 1800, 3 * H, D + DAY + 3 * H},   // found on waking
        {22, 2, 1 * H + 1800, D + 1 * H + 1800, 23 * H, D + 23 * H},
        {3, 3, 3 * H, D + 3 * H, 3 * H + 3599, D + DAY + 3 * H + 3599},
    };
    const auto clocks = std::pair(schedule.now, schedule.secondOfDay);
    schedule.now = [] { return fakeUnix; };
    schedule.secondOfDay = [] { return int(fakeUnix % 86400); };
    for (const auto& n : nights) {
        schedule.beginHour = n.begin;
        schedule.endHour = n.end;
        schedule.startTime = int(n.start);
        fakeUnix = n.foundAt;
        Schedule_NextNight();
        schedule.startTime = int(n.next);   // as if drawn
        EXPECT_EQ(Schedule_StartsAt(), n.nextAt) << n.start;
        EXPECT_EQ(Schedule_Arm(), n.nextAt - n.foundAt) << n.start;
        for (auto [at, check] : {std::pair{n.nextAt - DAY, WAIT}, {n.nextAt - 2, WAIT}, {n.nextAt, RUN}}) {
            if (at <= n.foundAt)
                continue;
            fakeUnix = at;
            EXPECT_EQ(Schedule_CheckNow(), check) << n.start << " at " << at - D;
        }
    }
    std::tie(schedule.now, schedule.secondOfDay) = clocks;
}

}  // namespace

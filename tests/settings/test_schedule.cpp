#include "schedule.h"

#include "registry.h"

#include "fixtures.h"

#include <filesystem>
#include <string>

namespace {

std::string textAt(int second)
{
    Schedule_FormatTime(second);
    return Schedule_GetTimeText();
}

void forgetStore()
{
    std::filesystem::remove(RegStore_FilePath(REG_ROOT_CURRENT_USER));
}

int32_t storedHour(const char* name)
{
    int32_t value = -1;
    Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, name, &value);
    return value;
}

class Schedule : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        Schedule_SetBeginHour(1);
        Schedule_SetEndHour(5);
    }
};

TEST_F(Schedule, GeneratorDrawAndTexts)
{
    Schedule_Seed(1);
    for (int expected : {41, 18467, 6334, 26500, 19169})
        EXPECT_EQ(Schedule_Random(), expected);
    Schedule_Seed(1);
    Schedule_PickStartTime();   // 1 AM + 18467 * 3600 / 32767 seconds
    EXPECT_EQ(Schedule_GetStartTime(), 3600 + 2028);
    EXPECT_STREQ(Schedule_GetTimeText(), " 1:33 AM");

    const struct { int begin, end, r1, r2, start; } draws[] = {
        {3, 3, 32767, 0, 3 * 3600}, {3, 3, 32766, 32766, 3 * 3600 + 3599}, {3, 3, 0, 32767, 4 * 3600},
        {22, 2, 0, 0, 22 * 3600}, {22, 2, 32766, 32766, 3600 + 3599}, {22, 2, 16384, 16384, 1800},
        {5, 1, 0, 0, 5 * 3600}, {5, 1, 32766, 32766, 3599}, {5, 1, 32767, 0, 3600},
        {1, 5, 32767, 32767, 6 * 3600}, {23, 22, 32767, 32767, 23 * 3600}, {23, 23, 0, 32767, 0},
        {30, 2, 32767, 0, 2 * 3600},   // an hour outside the day counts as Midnight
    };
    for (const auto& d : draws)
        EXPECT_EQ(Schedule_StartFromDraws(d.begin, d.end, d.r1, d.r2), d.start) << d.begin << "-" << d.end;

    EXPECT_EQ(textAt(0), "12:00 AM");
    EXPECT_EQ(textAt(1800), "12:30 AM");
    EXPECT_EQ(textAt(43230), "12:00 PM");
    EXPECT_EQ(textAt(47220), " 1:07 PM");
    EXPECT_EQ(textAt(86399), "11:59 PM");

    // Stored hours are taken as they are; a missing one keeps the hour before; a bad one is Midnight.
    forgetStore();
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_BEGIN_HOUR, 22);
    EXPECT_EQ(Schedule_Load(), 0);
    EXPECT_EQ(Schedule_GetBeginHour(), 22);
    EXPECT_EQ(Schedule_GetEndHour(), 5);
    EXPECT_EQ(Schedule_SetEndHour(-1), 0);
    EXPECT_EQ(storedHour(REG_VAL_END_HOUR), 0);
}

}  // namespace

#include "ui_fixture.h"

#include "scheduledialog.h"

#include <filesystem>
#include <string>

namespace {

int fakeNow = 0;
int fakeClock() { return fakeNow; }
// Puts the clock offset seconds after the drawn start time.
void nowFromStart(int offset) { fakeNow = ((Schedule_GetStartTime() + offset) % 86400 + 86400) % 86400; }

std::string windowText(HWND window)
{
    char text[64];
    Win_GetWindowText(window, text, sizeof text);
    return text;
}

HWND downloadAt() { return Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT); }

int32_t storedHour(const char* name)
{
    int32_t value = -1;
    Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, name, &value);
    return value;
}

class Schedule : public moontest::DownloadSandbox {
protected:
    void SetUp() override
    {
        DownloadSandbox::SetUp();
        Schedule_SetClock(fakeClock);
        Schedule_SetBeginHour(1);
        Schedule_SetEndHour(5);
    }
    void TearDown() override
    {
        Schedule_StopTimer(ui.hwndMain);
        Schedule_SetClock(nullptr);
        DownloadSandbox::TearDown();
    }
    // One validated link, waiting for a run.
    void addReadyItem(const char* name)
    {
        MQUI_AddURL(nginx->url(name).c_str());
        ASSERT_TRUE(waitForUi([] { return ui.workTimerId == 0 && Win_IsWindowEnabled(downloadAt()); }));
    }
};

TEST_F(Schedule, EachTickDisarmsAndRearmsForHalfTheTimeLeftUntilTheStartIsDue)
{
    nowFromStart(-19020);
    EXPECT_EQ(Schedule_StartTimer(ui.hwndMain), SCHEDULE_TIMER_ID);
    EXPECT_EQ(Schedule_ArmedPeriodMs(), 9510000u);
    nowFromStart(-9510);
    EXPECT_EQ(Schedule_OnTimer(ui.hwndMain), 0);
    EXPECT_EQ(Schedule_ArmedPeriodMs(), 4755000u);
    nowFromStart(3);   // a late tick
    EXPECT_EQ(Schedule_OnTimer(ui.hwndMain), 1);
    EXPECT_EQ(Schedule_ArmedPeriodMs(), 0u);
}

TEST_F(Schedule, CheckedBoxStartsTheRunOncePerArmingAndUncheckingDisarms)
{
    for (const char* name : {"one.zip", "two.zip"})
        nginx->makeFile(name, 5000);
    ASSERT_TRUE(nginx->start());
    addReadyItem("one.zip");
    nowFromStart(0);

    Win_Click(downloadAt());
    EXPECT_EQ(ui.scheduleTimerId, SCHEDULE_TIMER_ID);
    EXPECT_EQ(Schedule_ArmedPeriodMs(), 500u);
    ASSERT_TRUE(waitForUi([] { return ui.hwndProgress != nullptr; }, std::chrono::seconds(3)));
    ASSERT_TRUE(waitForUi([] { return MOONQ_CountItems() == 0 && ui.workTimerId == 0; }));
    EXPECT_TRUE(moontest::isPatternFile(path("dl/one.zip"), 5000));
    EXPECT_TRUE(Win_IsChecked(downloadAt()));

    addReadyItem("two.zip");
    pump(1200);
    EXPECT_EQ(MOONQ_CountItems(), 1u);
    EXPECT_EQ(ui.currentDownload, nullptr);

    Win_Click(downloadAt());   // unchecked after firing,
    Win_Click(downloadAt());   // armed again,
    Win_Click(downloadAt());   // and unchecked before its tick: nothing starts
    EXPECT_EQ(Schedule_ArmedPeriodMs(), 0u);
    pump(1200);
    EXPECT_EQ(MOONQ_CountItems(), 1u);

    Win_Click(downloadAt());   // a new arming fires again
    ASSERT_TRUE(waitForUi([] { return MOONQ_CountItems() == 0 && ui.workTimerId == 0; }));
}

TEST_F(Schedule, DialogShowsTheHoursStoresBothOnOkAndRearmsOnlyWhenChecked)
{
    Schedule_SetBeginHour(22);
    Schedule_SetEndHour(23);
    const int start = Schedule_GetStartTime();

    std::string rows[2];
    int tops[2] = {-1, -1};
    bool ok = false;
    int scrollTo[2] = {-1, -1};
    Win_SetModalScript([&](const WinModal& modal) {
        for (int list = 0; list < 2; ++list) {
            HWND box = Win_GetDlgItem(modal.dialog, IDC_SCHEDULE_BEGIN + list);
            for (int row = 0; row < Win_ListCount(box); ++row)
                rows[list] += Win_ListText(box, row) + ",";
            tops[list] = Win_ListGetTopIndex(box);
            if (scrollTo[list] >= 0)
                Win_ListSetTopIndex(box, scrollTo[list]);
        }
        Win_Click(Win_GetDlgItem(modal.dialog, ok ? IDOK : IDCANCEL));
        return WinModalAnswer{};
    });
    EXPECT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_SCHEDULE));
    EXPECT_EQ(tops[0], 22);
    EXPECT_EQ(tops[1], 23);
    const char* hours = "Midnight, 1 AM, 2 AM, 3 AM, 4 AM, 5 AM, 6 AM, 7 AM, 8 AM, 9 AM,10 AM,11 AM,"
                        "Noon, 1 PM, 2 PM, 3 PM, 4 PM, 5 PM, 6 PM, 7 PM, 8 PM, 9 PM,10 PM,11 PM,";
    EXPECT_EQ(rows[0], hours);
    EXPECT_EQ(rows[1], hours);
    EXPECT_EQ(Schedule_GetStartTime(), start);   // Cancel changes nothing

    // OK with the same hours still stores both and draws twice; the second draw stays.
    Schedule_Seed(7);
    Schedule_SetBeginHour(22);
    Schedule_SetEndHour(23);
    const int expected = Schedule_GetStartTime();
    Schedule_PickStartTime();
    ASSERT_NE(Schedule_GetStartTime(), expected);
    std::filesystem::remove(RegStore_FilePath(REG_ROOT_CURRENT_USER));
    Schedule_Seed(7);
    ok = true;
    EXPECT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_SCHEDULE));
    EXPECT_EQ(Schedule_GetStartTime(), expected);
    EXPECT_EQ(storedHour(REG_VAL_BEGIN_HOUR), 22);
    EXPECT_EQ(storedHour(REG_VAL_END_HOUR), 23);
    EXPECT_EQ(windowText(downloadAt()), std::string("Download at ") + Schedule_GetTimeText());
    EXPECT_EQ(Schedule_ArmedPeriodMs(), 0u);
    EXPECT_EQ(ui.scheduleTimerId, 0u);

    Win_SetChecked(downloadAt(), true);
    fakeNow = 12 * 3600;   // outside the new window, so the time left is hours
    scrollTo[0] = 20;
    scrollTo[1] = 3;
    EXPECT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_SCHEDULE));
    EXPECT_EQ(storedHour(REG_VAL_BEGIN_HOUR), 20);
    EXPECT_EQ(storedHour(REG_VAL_END_HOUR), 3);
    EXPECT_EQ(ui.scheduleTimerId, SCHEDULE_TIMER_ID);
    EXPECT_EQ(Schedule_ArmedPeriodMs(), uint32_t(Schedule_SecondsLeft()) * 500);
}

}  // namespace

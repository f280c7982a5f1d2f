#include "tests/ui/ui_fixture.h"

#include "settings/registry.h"
#include "tests/support/servers.h"
#include "ui/dialogs/scheduledialog.h"
#include "window/desktop.h"

#include <array>
#include <filesystem>
#include <numeric>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

int fakeNow = 0;
int fakeClock() { return fakeNow; }
// Puts the clock offset seconds after the drawn start time.
void nowFromStart(int offset) { fakeNow = ((schedule.startTime + offset) % 86400 + 86400) % 86400; }
uint32_t armedPeriod() { return Win_TimerPeriod(ui.hwndMain, SCHEDULE_TIMER_ID); }

HWND downloadAt() { return Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT); }

// The stored begin and end hours (-1: none), the button's text, the armed period and timer, and
// "Every night" as stored (-1: not) and held.
std::string scheduleState()
{
    int32_t stored[3] = {-1, -1, -1};
    for (int i = 0; const char* name : {REG_VAL_BEGIN_HOUR, REG_VAL_END_HOUR, REG_VAL_EVERY_NIGHT})
        Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, name, &stored[i++]);
    return std::to_string(stored[0]) + "-" + std::to_string(stored[1]) + "|" + Win_TextOf(downloadAt()) + "|" +
           std::to_string(armedPeriod()) + "|" + std::to_string(ui.scheduleTimerId) + "|" + std::to_string(stored[2]) +
           (Schedule_GetEveryNight() ? " every night" : "");
}

class Schedule : public moontest::DownloadSandbox {
protected:
    void SetUp() override
    {
        DownloadSandbox::SetUp();
        realClock = std::exchange(schedule.secondOfDay, fakeClock);
        Schedule_SetBeginHour(1);
        Schedule_SetEndHour(5);
    }
    void TearDown() override
    {
        Schedule_StopTimer(ui.hwndMain);
        schedule.secondOfDay = realClock;
        schedule.now = realUnixClock;
        schedule.everyNight = false;
        DownloadSandbox::TearDown();
    }
    // One validated link, waiting for a run.
    void addReadyItem(const char* name)
    {
        MQUI_AddURL(nginx->url(name).c_str());
        ASSERT_TRUE(waitForUi([] { return ui.workTimerId == 0 && Win_IsWindowEnabled(downloadAt()); }));
    }
    int (*realClock)() = nullptr;
    int64_t (*realUnixClock)() = schedule.now;
};

TEST_F(Schedule, CheckedBoxStartsTheRunOncePerArmingAndUncheckingDisarms)
{
    for (const char* name : {"one.zip", "two.zip"})
        nginx->makeFile(name, 5000);
    ASSERT_TRUE(nginx->start());
    addReadyItem("one.zip");
    nowFromStart(0);

    Win_Click(downloadAt());
    EXPECT_EQ(std::tuple(ui.scheduleTimerId, armedPeriod()), std::tuple(SCHEDULE_TIMER_ID, 500u));
    ASSERT_TRUE(waitForUi([] { return ui.hwndProgress != nullptr; }, std::chrono::seconds(3)));
    ASSERT_TRUE(waitForUi([] { return MOONQ_CountItems() == 0 && ui.workTimerId == 0; }));   // downloaded

    addReadyItem("two.zip");
    pump(1200);
    EXPECT_TRUE(MOONQ_CountItems() == 1 && ui.currentDownload == nullptr);

    Win_Click(downloadAt());   // unchecked after firing,
    Win_Click(downloadAt());   // armed again,
    Win_Click(downloadAt());   // and unchecked before its tick: nothing starts
    EXPECT_EQ(armedPeriod(), 0u);
    pump(1200);
    EXPECT_EQ(MOONQ_CountItems(), 1u);

    Win_Click(downloadAt());   // a new arming fires again
    ASSERT_TRUE(waitForUi([] { return MOONQ_CountItems() == 0 && ui.workTimerId == 0; }));
}

// The box stays checked after a start came; only with "Every night" is another to come, the next
// night's, shown on the box: the quit warning (answered Cancel) and the tray's tip follow that, not
// the check mark.
TEST_F(Schedule, AfterAStartCameOnlyEveryNightLeavesAStartToCome)
{
    schedule.now = [] { return int64_t(1700000000); };
    Schedule_Seed(1);
    addItem("http://h/a.zip");
    MQUI_Refresh();
    modals.answers = {Win_Answer(IDCANCEL)};
    for (bool everyNight : {false, true}) {
        Schedule_SetEveryNight(everyNight);
        const int came = schedule.startTime;
        const std::string shown = Win_TextOf(downloadAt());
        nowFromStart(0);
        Win_Click(downloadAt());
        ASSERT_EQ(Schedule_OnTimer(ui.hwndMain, ui.hwndToolbar), 1);
        char tip[TRAY_TIP_CAPACITY];
        MQUI_TrayTip(tip, sizeof tip);
        const std::string next = everyNight ? std::string("\nDownloads at ") + Schedule_StartText() : "";
        // 1-5: the next start is the next night's, however early tonight's new draw lies.
        const uint32_t nextNight = everyNight ? uint32_t(86400 - came + schedule.startTime) * 500 : 0;
        EXPECT_EQ(std::tuple(Win_IsChecked(downloadAt()), Win_TextOf(downloadAt()) == shown, MQUI_ConfirmQuit(),
                             std::string(tip), armedPeriod()),
                  std::tuple(true, !everyNight, !everyNight, "Moonfetch: 1 link waiting" + next, nextNight));
        Win_Click(downloadAt());
    }
    EXPECT_EQ(modals.seen.size(), 1u);
}

// login1 (scripted: logind cannot run in a test) tells of the wake. Armed at 14:00 for 2:17 AM in
// 1-5 and woken at 6:30, the run is missed and told; at 2:30 it runs, holding off sleep meanwhile.
TEST_F(Schedule, AWakeAfterTheStartRunsInsideTheWindowAndTellsOfAMissedRunAfterIt)
{
    moontest::DesktopBus bus(path("bus"));
    ASSERT_TRUE(bus.start());
    Win_ListenForWake(ui.hwndMain);
    nginx->addConfig("location /slow/ { limit_rate 1m; }");
    nginx->makeFile("slow/one.bin", 1500000);
    ASSERT_TRUE(nginx->start());
    addReadyItem("slow/one.bin");
    schedule.startTime = 2 * 3600 + 17 * 60;
    Schedule_FormatTime(schedule.startTime);
    Schedule_UpdateDownloadAtButton(ui.hwndToolbar);
    const std::string idle = "Waiting to download at 2:17 AM", file = "Downloading one.bin";
    const struct { int wokeAt; std::string state; std::vector<std::string> woken, after; } wakes[] = {
        {6 * 3600 + 1800, "35610000|23", {"inhibit idle|Moonfetch|" + idle + "|block",
          "notify Moonfetch|Scheduled download missed|The computer was asleep at 2:17 AM and woke after the "
          "download hours. Moonfetch will download at 2:17 AM tomorrow."}, {"release " + idle}},
        {2 * 3600 + 1800, "0|23", {"inhibit idle|Moonfetch|" + idle + "|block", "release " + idle,
          "inhibit sleep:idle|Moonfetch|" + file + "|block"}, {"release " + file,
          "notify Moonfetch|Downloads finished|Download run finished: 1 downloaded (1,500,000 bytes), 0 failed."}},
    };
    std::multiset<std::string> heard;
    auto lines = [&] {   // as the services write them: sorted
        auto add = [](std::string all, const std::string& one) { return all + one + "\n"; };
        return std::accumulate(heard.begin(), heard.end(), std::string(), add);
    };
    for (const auto& [wokeAt, state, woken, after] : wakes) {
        fakeNow = 14 * 3600;
        Win_Click(downloadAt());
        fakeNow = wokeAt;
        bus.announceWakeFromSleep();
        heard.insert(woken.begin(), woken.end());
        EXPECT_TRUE(waitForUi([&] { return bus.events() == lines(); })) << wokeAt;
        EXPECT_EQ(scheduleState(), "1-5|Download at  2:17 AM|" + state + "|-1");   // the text stays
        Win_Click(downloadAt());   // unchecked
        heard.insert(after.begin(), after.end());
        EXPECT_TRUE(waitForUi([&] { return bus.events() == lines(); })) << wokeAt;
    }
}

TEST_F(Schedule, DialogShowsTheHoursStoresBothOnOkAndRearmsOnlyWhenChecked)
{
    Schedule_SetBeginHour(22);
    Schedule_SetEndHour(23);
    const int start = schedule.startTime;
    std::string shown;   // each list's rows, then its top row
    // Notes what the lists show, scrolls them to begin and end (-1: left as they are), presses buttons.
    auto answer = [&shown](int begin, int end, std::vector<int> buttons) -> WinAnswer {
        return [&shown, scrollTo = std::array{begin, end}, buttons](const WinModal& modal) {
            for (int list = 0; list < 2; ++list) {
                HWND box = Win_GetDlgItem(modal.dialog, IDC_SCHEDULE_BEGIN + list);
                for (int row = 0; row < Win_ListCount(box); ++row)
                    shown += Win_ListText(box, row) + ",";
                shown += std::to_string(Win_ListGetTopIndex(box)) + "\n";
                if (scrollTo[list] >= 0)
                    Win_ListSetTopIndex(box, scrollTo[list]);
            }
            return Win_Press(buttons)(modal);
        };
    };
    // "Every night" is stored on OK only.
    modals.answers = {answer(-1, -1, {IDC_SCHEDULE_EVERY_NIGHT, IDCANCEL}), answer(-1, -1, {IDOK}),
                      answer(20, 3, {IDC_SCHEDULE_EVERY_NIGHT, IDOK})};
    EXPECT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_SCHEDULE));
    const std::string hours = "Midnight, 1 AM, 2 AM, 3 AM, 4 AM, 5 AM, 6 AM, 7 AM, 8 AM, 9 AM,10 AM,11 AM,"
                              "Noon, 1 PM, 2 PM, 3 PM, 4 PM, 5 PM, 6 PM, 7 PM, 8 PM, 9 PM,10 PM,11 PM,";
    EXPECT_EQ(shown, hours + "22\n" + hours + "23\n");
    EXPECT_EQ(std::pair(schedule.startTime, scheduleState()),   // Cancel changes nothing, the button's text neither
              std::pair(start, std::string("22-23|Download At 99:99|0|0|-1")));

    // OK with the same hours still stores both and draws twice; the second draw stays.
    Schedule_Seed(7);
    Schedule_SetBeginHour(22);
    Schedule_SetEndHour(23);
    const int expected = schedule.startTime;
    Schedule_PickStartTime();
    ASSERT_NE(schedule.startTime, expected);
    std::filesystem::remove(RegStore_FilePath(REG_ROOT_CURRENT_USER));
    Schedule_Seed(7);
    EXPECT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_SCHEDULE));
    EXPECT_EQ(std::pair(schedule.startTime, scheduleState()),
              std::pair(expected, std::string("22-23|Download at ") + Schedule_GetTimeText() + "|0|0|0"));

    Win_SetChecked(downloadAt(), true);
    fakeNow = 12 * 3600;   // outside the new window, so the time left is hours
    EXPECT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_SCHEDULE));
    const std::string armed = std::to_string(Schedule_SecondsLeft() * 500) + "|" + std::to_string(SCHEDULE_TIMER_ID);
    EXPECT_EQ(scheduleState(), std::string("20-3|Download at ") + Schedule_GetTimeText() + "|" + armed + "|1 every night");
}

}  // namespace

// The program's own shell on Win32, in the test's process (run under Wine on a display).
#include "core/items.h"
#include "core/start.h"
#include "tests/support/fixtures.h"
#include "ui/dialogs/scheduledialog.h"
#include "ui/ui.h"

#include <windows.h>

#include <string>

namespace {

int fakeSecond = 0;

using WinSchedule = moontest::Sandbox;

// After a start came the box stays checked, and only "Every night" leaves a start to come, the tray's
// tip telling it; the next night's is shown on the box.
TEST_F(WinSchedule, AfterAStartCameTheBoxStaysCheckedAndOnlyEveryNightArmsTheNext)
{
    ASSERT_TRUE(Win_Init(nullptr, nullptr) && MOONQ_Start() == 0 && MQUI_CreateMainWindow());
    const auto clock = schedule.secondOfDay;
    schedule.secondOfDay = [] { return fakeSecond; };
    MOONQ_NewItem("http://h/a.zip")->flags = ITEM_VALID;
    MQUI_Refresh();
    HWND box = GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT);
    for (bool everyNight : {false, true}) {
        Schedule_SetEveryNight(everyNight);
        Schedule_UpdateDownloadAtButton(ui.hwndToolbar);
        const std::string before = "Download at " + std::string(Schedule_GetTimeText());
        fakeSecond = schedule.startTime;
        SendMessageW(box, BM_CLICK, 0, 0);
        ASSERT_EQ(Schedule_OnTimer(ui.hwndMain, ui.hwndToolbar), 1);
        char text[64] = "", tip[TRAY_TIP_CAPACITY];
        GetWindowTextA(box, text, sizeof text);
        MQUI_TrayTip(tip, sizeof tip);
        EXPECT_EQ(std::tuple(IsDlgButtonChecked(ui.hwndToolbar, IDC_DOWNLOAD_AT), text == before, MQUI_ScheduleArmed(),
                             std::string(tip).find("Downloads at") != std::string::npos),
                  std::tuple(UINT(BST_CHECKED), !everyNight, everyNight, everyNight)) << everyNight;
        SendMessageW(box, BM_CLICK, 0, 0);
    }
    schedule.secondOfDay = clock;
    schedule.everyNight = false;
    // Its end saves the list and posts the quit message, which is taken here, not by the next loop.
    DestroyWindow(ui.hwndMain);
    Win_RunMessageLoop();
}

}  // namespace

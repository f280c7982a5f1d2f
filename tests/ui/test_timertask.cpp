#include "ui_fixture.h"

#include "pending.h"
#include "servers.h"
#include "trace.h"

#include <filesystem>
#include <memory>
#include <string>
#include <tuple>

namespace {

using moontest::isPatternFile;
using moontest::readFile;

// Where the screenshots go: the build folder, else the folder the tests were started in.
const std::filesystem::path startDir = std::filesystem::current_path();
std::filesystem::path screenshotDir()
{
#ifdef MOON_SCREENSHOT_DIR
    std::filesystem::path dir = MOON_SCREENSHOT_DIR;
#else
    std::filesystem::path dir = startDir;
#endif
    std::filesystem::create_directories(dir);
    return dir;
}

std::string dialogText(int id)
{
    char text[URL_CAPACITY];
    Win_GetWindowText(Win_GetDlgItem(ui.hwndProgress, id), text, sizeof text);
    return text;
}

// The pending list as the saves handed off so far leave it.
std::string savedList()
{
    MOONQ_FinishSaves();
    return readFile(PENDING_FILE);
}

// A fresh rate clock that began seconds ago.
void clockStartedAgo(double seconds)
{
    RateClock_Free(ui.rateClock);
    ui.rateClock = RateClock_Start();
    ASSERT_NE(ui.rateClock, nullptr);
    ui.rateClock->start -= int64_t(seconds * ui.rateClock->frequency);
}

class TimerTask : public moontest::DownloadSandbox {
protected:
    // A valid item at the end of the list, as a harvested query leaves it.
    UrlItem* validItem(const std::string& url, const std::string& name, int64_t size)
    {
        UrlItem* item = MOONQ_NewItem(url.c_str());
        item->flags = ITEM_VALID;
        item->size = size;
        CopyBounded(item->localPath, path(name).c_str());
        return item;
    }
    bool waitForRunEnd() { return waitForUi([] { return ui.currentDownload == nullptr; }); }
};

TEST_F(TimerTask, RunDownloadsTheReadyItemsStopsAtAValidatingOneAndKeepsTheTimerForIt)
{
    const int64_t sizes[] = {9999, 10000, 300000};
    const char* names[] = {"a.bin", "b.bin", "c.bin"};
    for (int i = 0; i < 3; ++i)
        nginx->makeFile(names[i], uint64_t(sizes[i]));
    ASSERT_TRUE(nginx->start());
    for (const char* name : names)
        MQUI_AddURL(nginx->url(name).c_str());
    ASSERT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));
    for (UrlItem* item = MOONQ_FirstItem(); item; item = MOONQ_NextItem(item))
        ASSERT_EQ(item->flags.load(), ITEM_VALID) << item->url;
    EXPECT_NE(savedList().find(nginx->url("c.bin")), std::string::npos);

    auto silent = std::make_unique<moontest::ScriptedServer>(
        std::vector<moontest::Script>{{moontest::readRequest(), moontest::staySilent()}});
    MQUI_AddURL(silent->url("later.bin").c_str());

    MQUI_StartDownloads();
    ASSERT_NE(ui.currentDownload, nullptr);
    ASSERT_NE(ui.hwndProgress, nullptr);
    EXPECT_EQ(dialogText(IDC_PROGRESS_URL), nginx->url("a.bin"));

    // "Download Now" while a run is on changes nothing of it.
    ASSERT_TRUE(waitForUi([] { return ui.runFileCount == 1 && ui.currentDownload != nullptr; }));
    UrlRequest* running = ui.currentDownload;
    HWND dialog = ui.hwndProgress;
    EXPECT_TRUE(MQUI_ToolbarProc(ui.hwndToolbar, WM_COMMAND, IDC_DOWNLOAD_NOW, 0));
    EXPECT_EQ(ui.currentDownload, running);
    EXPECT_EQ(ui.hwndProgress, dialog);
    EXPECT_EQ(ui.runFileCount, 1);

    ASSERT_TRUE(waitForRunEnd());
    EXPECT_EQ(ui.hwndProgress, nullptr);
    EXPECT_EQ(ui.runFileCount, 3);
    EXPECT_EQ(ui.runByteCount, sizes[0] + sizes[1] + sizes[2]);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(isPatternFile(path(std::string("dl/") + names[i]), uint64_t(sizes[i])));
    ASSERT_EQ(MOONQ_CountItems(), 1u);
    EXPECT_EQ(std::string(MOONQ_FirstItem()->url), silent->url("later.bin"));
    EXPECT_EQ(savedList().find(nginx->url("c.bin")), std::string::npos);

    // The query still runs, so the timer does too, until the query ends.
    pump(450);
    EXPECT_NE(ui.workTimerId, 0u);
    silent.reset();
    EXPECT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));
}

TEST_F(TimerTask, ByteAndRateLines)
{
    ui.hwndProgress = Win_CreateDialog(progressTemplate, ui.hwndMain, MQUI_ProgressProc, 0);
    ASSERT_NE(ui.hwndProgress, nullptr);

    // Without a clock the rate line keeps its text.
    MQUI_ShowProgress(9999, 9999);
    EXPECT_EQ(dialogText(IDC_PROGRESS_BYTES), "Downloaded 9999 bytes out of 9999 bytes.");
    EXPECT_EQ(dialogText(IDC_PROGRESS_RATE), "Rate");
    MQUI_ShowProgress(10000, 10000);
    EXPECT_EQ(dialogText(IDC_PROGRESS_BYTES), "Downloaded 9K out of 9K.");

    clockStartedAgo(10);
    MQUI_ShowProgress(5, 100);
    EXPECT_EQ(dialogText(IDC_PROGRESS_RATE), "Bytes/second = 0. Estimated time remaining = FOREVER");

    // 1000.5 bytes a second, 3725.5 seconds of bytes to go; sizes past 32 bits stay right.
    const int64_t done = 100050000, rest = 3727363;
    clockStartedAgo(100000);
    MQUI_ShowProgress(done, done + rest);
    EXPECT_EQ(dialogText(IDC_PROGRESS_BYTES), "Downloaded 97705K out of 101345K.");
    EXPECT_EQ(dialogText(IDC_PROGRESS_RATE),
              "Bytes/second = 1,000. Estimated time remaining = 1:02:05");
    ui.rateBase = 50025000;   // a resumed try: only its own bytes make the rate
    clockStartedAgo(50000);
    MQUI_ShowProgress(done, done + rest);
    EXPECT_EQ(dialogText(IDC_PROGRESS_RATE),
              "Bytes/second = 1,000. Estimated time remaining = 1:02:05");
    ui.rateBase = 0;
    clockStartedAgo(100000);
    MQUI_ShowProgress(done, done - rest);   // more came than the query reported
    EXPECT_EQ(dialogText(IDC_PROGRESS_RATE),
              "Bytes/second = 1,000. Estimated time remaining = 0:00:00");
    // Whatever sizes an edited pending list claims, the lines stay defined.
    MQUI_ShowProgress(INT64_MAX, INT64_MIN);
    EXPECT_TRUE(dialogText(IDC_PROGRESS_RATE).ends_with("remaining = 0:00:00"));
    clockStartedAgo(0.001);
    MQUI_ShowProgress(INT64_MAX, INT64_MAX);
    EXPECT_EQ(dialogText(IDC_PROGRESS_RATE),
              "Bytes/second = 9,200,000,000,000,000,000. Estimated time remaining = 0:00:00");
    UrlRequest claimsOneByte{};   // far more came than the list claimed: the bar is all red
    claimsOneByte.item = MOONQ_NewItem("http://h/x");
    claimsOneByte.item->size = 1;
    claimsOneByte.bytesDone = INT64_MAX;
    ui.currentDownload = &claimsOneByte;
    Win_ShowWindow(ui.hwndProgress);
    MQUI_ShowProgress(INT64_MAX, 1);
    ui.currentDownload = nullptr;
    ASSERT_EQ(Win_LastPaintFills(ui.hwndProgress).size(), 2u);
    EXPECT_EQ(Win_LastPaintFills(ui.hwndProgress)[1].rect.left,
              Win_LastPaintFills(ui.hwndProgress)[1].rect.right);
    clockStartedAgo(100000);
    MQUI_ShowProgress(int64_t(1) << 40, int64_t(1) << 41);
    EXPECT_EQ(dialogText(IDC_PROGRESS_BYTES), "Downloaded 1073741824K out of 2147483648K.");

    Win_DestroyWindow(ui.hwndProgress);
    ui.hwndProgress = nullptr;
}

TEST(FormatCount, GroupsOfThreeFromTheEndAndCutAtTheFrontWhenShort)
{
    char buffer[32];
    EXPECT_STREQ(MQUI_FormatCount(1234567, buffer, sizeof buffer), "1,234,567");
    EXPECT_STREQ(MQUI_FormatCount(1048576, buffer, sizeof buffer), "1,048,576");
    EXPECT_STREQ(MQUI_FormatCount(999, buffer, sizeof buffer), "999");
    EXPECT_STREQ(MQUI_FormatCount(0, buffer, sizeof buffer), "0");
    EXPECT_STREQ(MQUI_FormatCount(18446744073709551615u, buffer, sizeof buffer),
                 "18,446,744,073,709,551,615");

    char small[6] = "xxxxx";
    char* text = MQUI_FormatCount(1234567, small, sizeof small);
    EXPECT_STREQ(text, "4,567");
    EXPECT_EQ(text, small);
    EXPECT_STREQ(MQUI_FormatCount(1234567, small, 5), "4567");   // no room left for a comma
    EXPECT_STREQ(MQUI_FormatCount(0, small, 2), "0");
    EXPECT_STREQ(MQUI_FormatCount(5, small, 1), "");
}

TEST_F(TimerTask, CancelMidFileStopsBeforeTheNextBlockAndStartsNothingMore)
{
    // Headers and the first part at once, the rest only after a pause.
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    moontest::ScriptedServer slow({{moontest::readRequest(), moontest::sendText(head),
                                    moontest::sendBody(20000), moontest::pauseFor(1500),
                                    moontest::sendBody(80000)}});
    UrlItem* first = validItem(slow.url("first.bin"), "first.bin", 100000);
    UrlItem* second = validItem(slow.url("second.bin"), "second.bin", 100000);
    MQUI_StartDownloads();
    ASSERT_NE(ui.hwndProgress, nullptr);
    ASSERT_TRUE(waitForUi(
        [] { return dialogText(IDC_PROGRESS_BYTES) == "Downloaded 19K out of 97K."; }));
    EXPECT_NE(dialogText(IDC_PROGRESS_RATE).find("Bytes/second = "), std::string::npos);

    // The bar: a fifth red, the rest black, 20 pixels in from the sides, above the middle.
    const WinRect client = Win_GetClientRect(ui.hwndProgress);
    const int mid = client.top + (client.bottom - client.top) / 2;
    const int left = client.left + 20, right = client.right - 20;
    const int filled = int(20000.0 * (right - left) / 100000.0);
    auto fill = [](const WinDrawnFill& f) {
        return std::tuple(f.rect.left, f.rect.top, f.rect.right, f.rect.bottom, f.colour);
    };
    const auto& fills = Win_LastPaintFills(ui.hwndProgress);
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fill(fills[0]), std::tuple(left, mid - 20, left + filled, mid - 10, COLOUR_DONE));
    EXPECT_EQ(fill(fills[1]), std::tuple(left + filled, mid - 20, right, mid - 10, COLOUR_BLACK));
    EXPECT_TRUE(Win_SaveScreenshot(ui.hwndProgress, (screenshotDir() / "progress_dialog.png").c_str()));

    Win_Click(Win_GetDlgItem(ui.hwndProgress, IDCANCEL));
    EXPECT_TRUE(ui.stopAfterCurrent);
    EXPECT_NE(ui.hwndProgress, nullptr);   // until the worker has stopped
    ASSERT_TRUE(waitForRunEnd());
    EXPECT_EQ(ui.hwndProgress, nullptr);
    const auto written = std::filesystem::file_size(path("first.bin"));
    EXPECT_GE(written, 20000u);
    EXPECT_LE(written, 20000u + WIRE_BLOCK);
    EXPECT_EQ(MOONQ_FirstItem(), second);
    EXPECT_EQ(MOONQ_NextItem(second), first);
    EXPECT_EQ(first->flags.load(), ITEM_VALID);
    EXPECT_EQ(ui.runFileCount, 0);

    const std::string saved = savedList();
    EXPECT_LT(saved.find(slow.url("second.bin")), saved.find(slow.url("first.bin")));
    ASSERT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));
    EXPECT_EQ(slow.connections(), 1);
    EXPECT_FALSE(std::filesystem::exists(path("second.bin")));
}

TEST_F(TimerTask, NotFoundAtDownloadTimeEndsTheRun)
{
    nginx->makeFile("there.bin", 3000);
    ASSERT_TRUE(nginx->start());
    UrlItem* gone = validItem(nginx->url("gone.bin"), "gone.bin", 5000);
    UrlItem* there = validItem(nginx->url("there.bin"), "there.bin", 3000);
    MQUI_StartDownloads();
    ASSERT_NE(ui.hwndProgress, nullptr);
    ASSERT_TRUE(waitForRunEnd());
    EXPECT_EQ(ui.hwndProgress, nullptr);
    EXPECT_EQ(ui.runFileCount, 0);
    EXPECT_EQ(MOONQ_FirstItem(), there);
    EXPECT_EQ(MOONQ_NextItem(there), gone);
    EXPECT_EQ(gone->status, 404);
    EXPECT_TRUE(gone->flags & ITEM_FAILED);
    EXPECT_FALSE(std::filesystem::exists(path("there.bin")));
    EXPECT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));

    Trace_Close();
    const char* line = "MQUI_TimerTask, MOONQ_CheckBackDown unexpectedly returned -1\n";
    EXPECT_NE(readFile("moonfch_log.txt").find(line), std::string::npos);
}

}  // namespace

#include "tests/ui/ui_fixture.h"
#include "ui/texts.h"

#include "core/checkback.h"
#include "core/pending.h"
#include "platform/text.h"
#include "tests/support/servers.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using moontest::isPatternFile;
using moontest::readFile;

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

class TimerTask : public moontest::DownloadSandbox {
protected:
    bool waitForRunEnd() { return waitForUi([] { return ui.currentDownload == nullptr; }); }
    bool waitForHarvest() { return waitForUi([] { return ui.workTimerId == 0; }); }
};

// Through the window: a dropped link whose name a file holds meets the Attention dialog and the save
// dialog, and the list is saved once it is harvested; the run takes the ready items and stops at one
// still validating, whose query keeps the timer going. The core's other questions show as it asks them.
TEST_F(TimerTask, HarvestAsksThroughTheWindowAndTheRunStopsAtAValidatingItemWhoseQueryKeepsTheTimer)
{
    const int64_t sizes[] = {9999, 10000, 300000};
    const std::string names[] = {"a.bin", "b.bin", "c.bin"};
    for (int i = 0; i < 3; ++i)
        nginx->makeFile(names[i], uint64_t(sizes[i]));
    ASSERT_TRUE(nginx->start());
    moontest::writeFile(path("dl/a.bin"), "old");
    std::string seen;
    // The answers in turn, the last of each again for any more.
    const int buttons[] = {IDC_PICK_NEW, IDC_REPLACE, IDC_ATTENTION_CANCEL};
    const std::string chosen[] = {path("dl/z.bin"), ""};
    int pressed = 0, named = 0;
    Win_SetModalScript([&](const WinModal& modal) {
        seen += modal.caption + ": " + modal.text + "|";
        if (modal.kind == WinModalKind::Dialog)
            Win_Click(Win_GetDlgItem(modal.dialog, buttons[std::min(pressed++, 2)]));
        return WinModalAnswer{IDOK, modal.kind == WinModalKind::SaveFile ? chosen[std::min(named++, 1)] : ""};
    });
    Win_SendDrag(ui.hwndMain, nginx->url("a.bin").c_str(), DROPEFFECT_COPY, true);
    ASSERT_TRUE(waitForHarvest());
    EXPECT_NE(savedList().find(path("dl/z.bin")), std::string::npos);
    const int replaced = MQUI_AskReplace();
    EXPECT_EQ(std::pair(replaced, MQUI_AskReplace()), std::pair(1, 0));
    char name[PATH_CAPACITY] = "kept";
    EXPECT_EQ(MQUI_AskSaveName(name, sizeof name), 0);
    UrlItem clash{};   // not in the list, holding the name of an item that is
    Text_CopyBounded(clash.localPath, path("dl/z.bin").c_str());
    EXPECT_EQ(MOONQ_CreateLocalFile(&clash), 2);
    MOONQ_WriteAskBrowserPage(&clash);
    EXPECT_EQ(Win_OpenedDocuments(), std::vector<std::string>{ASK_BROWSER_PAGE});
    EXPECT_EQ(seen, "Attention: |Save As: " + path("dl/a.bin") + "|Attention: |Attention: |Save As: kept|Attention: "
                    "Local file name matches another name already in the list of URLs to be downloaded. Please "
                    "choose a new name.|");

    for (int i = 1; i < 3; ++i)
        addItem(nginx->url(names[i]), ITEM_VALID, sizes[i], "dl/" + names[i]);
    auto silent = std::make_unique<moontest::ScriptedServer>(
        std::vector<moontest::Script>{{moontest::readRequest(), moontest::staySilent()}});
    MQUI_AddURL(silent->url("later.bin").c_str());
    MQUI_StartDownloads();
    ASSERT_NE(ui.hwndProgress, nullptr);
    EXPECT_EQ(dialogText(IDC_PROGRESS_URL), nginx->url("a.bin"));
    // "Download Now" while a run is on changes nothing of it.
    ASSERT_TRUE(waitForUi([] { return ui.runFileCount == 1 && ui.currentDownload != nullptr; }));
    const auto before = std::tuple(ui.currentDownload, ui.hwndProgress, ui.runFileCount);
    EXPECT_TRUE(MQUI_ToolbarProc(ui.hwndToolbar, WM_COMMAND, IDC_DOWNLOAD_NOW, 0));
    EXPECT_EQ(std::tuple(ui.currentDownload, ui.hwndProgress, ui.runFileCount), before);

    ASSERT_TRUE(waitForRunEnd());
    EXPECT_EQ(std::tuple(ui.hwndProgress, ui.runFileCount, ui.runByteCount),
              std::tuple(nullptr, 3, sizes[0] + sizes[1] + sizes[2]));
    EXPECT_EQ(savedList().find(path("dl/z.bin")), std::string::npos);
    // The query still runs, so the timer does too, until the query ends.
    pump(450);
    EXPECT_NE(ui.workTimerId, 0u);
    silent.reset();
    EXPECT_TRUE(waitForHarvest());
}

// A fresh rate clock that began seconds ago.
void clockStartedAgo(double seconds)
{
    RateClock_Free(ui.rateClock);
    ui.rateClock = RateClock_Start();
    ui.rateClock->start -= int64_t(seconds * ui.rateClock->frequency);
}

TEST(ProgressLines, BytesInKFromTenThousandTheAverageRateOfThisTryAndTheTimeLeft)
{
    ui = UiState{};
    ui.hwndProgress = Win_CreateDialog(progressTemplate, nullptr, MQUI_ProgressProc, 0);
    ASSERT_NE(ui.hwndProgress, nullptr);
    Win_ShowWindow(ui.hwndProgress);
    // Far more came than the list claimed: the bar is all red.
    UrlItem claimsOneByte{};
    claimsOneByte.size = 1;
    UrlRequest request{};
    request.item = &claimsOneByte;
    request.bytesDone = INT64_MAX;
    ui.currentDownload = &request;
    MQUI_ShowProgress(INT64_MAX, 1);
    ui.currentDownload = nullptr;
    const auto& fills = Win_LastPaintFills(ui.hwndProgress);
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[1].rect.left, fills[1].rect.right);
    // 1000.5 bytes a second, 3725.5 seconds of bytes to go; sizes past 32 bits stay right.
    const int64_t done = 100050000, rest = 3727363;
    const std::string hour = "Bytes/second = 1,000. Estimated time remaining = ";
    // The clock started seconds ago (0: no clock), the rate's base, the sizes, how the lines end ("": not looked at).
    const struct { double clockStarted; int64_t rateBase, done, total; const char* bytes; std::string rate;
                   int32_t connections = 1; } cases[] = {
        {0, 0, 9999, 9999, "Downloaded 9999 bytes out of 9999 bytes.", "Rate"},   // the line keeps its text
        {0, 0, 10000, 10000, "Downloaded 9K out of 9K.", "Rate"},
        {10, 0, 5, 100, "Downloaded 5 bytes out of 100 bytes.", "Bytes/second = 0. Estimated time remaining = FOREVER"},
        {100000, 0, done, done + rest, "Downloaded 97705K out of 101345K.", hour + "1:02:05"},
        {100000, 0, done, done + rest, "", "Bytes/second = 1,000 over 4 connections. Estimated time remaining = 1:02:05", 4},
        {50000, 50025000, done, done + rest, "Downloaded 97705K out of 101345K.", hour + "1:02:05"},   // a resumed try
        {100000, 0, done, done - rest, "", hour + "0:00:00"},   // more came than the query reported
        // Whatever sizes an edited pending list claims, the lines stay defined.
        {100000, 0, INT64_MAX, INT64_MIN, "", "remaining = 0:00:00"},
        {0.001, 0, INT64_MAX, INT64_MAX, "",
         "Bytes/second = 9,200,000,000,000,000,000. Estimated time remaining = 0:00:00"},
        {100000, 0, int64_t(1) << 40, int64_t(1) << 41, "Downloaded 1073741824K out of 2147483648K.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.done);
        if (c.clockStarted > 0)
            clockStartedAgo(c.clockStarted);
        ui.rateBase = c.rateBase;
        MQUI_ShowProgress(c.done, c.total, c.connections);
        EXPECT_TRUE(dialogText(IDC_PROGRESS_BYTES).ends_with(c.bytes)) << dialogText(IDC_PROGRESS_BYTES);
        EXPECT_TRUE(dialogText(IDC_PROGRESS_RATE).ends_with(c.rate)) << dialogText(IDC_PROGRESS_RATE);
    }
    EXPECT_TRUE(Win_LastPaintFills(ui.hwndProgress).empty());   // no download, no bar
    Win_DestroyWindow(ui.hwndProgress);
    RateClock_Free(ui.rateClock);
    ui = UiState{};
}

TEST(FormatCount, GroupsOfThreeFromTheEndAndCutAtTheFrontWhenShort)
{
    const struct { uint64_t value; size_t size; const char* text; } cases[] = {
        {1234567, 32, "1,234,567"}, {1048576, 32, "1,048,576"}, {999, 32, "999"}, {0, 32, "0"},
        {18446744073709551615u, 32, "18,446,744,073,709,551,615"},
        {1234567, 6, "4,567"}, {1234567, 5, "4567"},   // no room left for a comma
        {0, 2, "0"}, {5, 1, ""},
    };
    for (const auto& c : cases) {
        std::vector<char> buffer(c.size, 'x');   // exactly as large as said, so that no write passes it
        const char* text = MQUI_FormatCount(c.value, buffer.data(), c.size);
        EXPECT_STREQ(text, c.text) << c.value << " in " << c.size;
        EXPECT_TRUE(text >= buffer.data() && text < buffer.data() + c.size);
    }
}

// A new link for a half-downloaded file, typed as into "Add:", reaches the core's choice (which decides what is
// the same file, and keeps the part for the next run) through the dialogs: the same file on another path keeps
// the part, and the list records the link taken; for another file the person is asked, OK agreeing.
TEST_F(TimerTask, ReplacedLinkKeepsThePartOfTheSameFileAndStartsAnotherOverOnlyWhenThePersonAgrees)
{
    nginx->makeFile("f.bin", 300000);
    nginx->makeFile("other.bin", 200000);
    nginx->addConfig("location /mirror/ { rewrite ^/mirror/(.*)$ /$1 break; }");
    ASSERT_TRUE(nginx->start());
    auto halfDone = [this](const std::string& name) {   // as a 403 leaves it, a third on disk
        moontest::writeFile(path(name), moontest::patternBytes(0, 100000));
        UrlItem* item = addItem(nginx->url("gone/f.bin"), ITEM_VALID, 300000, name);
        item->flags |= ITEM_FAILED | ITEM_LINK_REFUSED;
        item->partDone = 100000;
        return item;
    };
    auto typeLink = [](const std::string& link) {
        return [link](const WinModal& modal) {
            Win_TypeText(Win_GetDlgItem(modal.dialog, IDC_NEW_LINK), link.c_str());
            Win_Click(Win_GetDlgItem(modal.dialog, IDOK));
            return WinModalAnswer{};
        };
    };
    const std::string mirror = nginx->url("mirror/f.bin");
    UrlItem* item = halfDone("dl/f.bin");
    modals.answers = {typeLink(mirror.substr(std::string("http://").size()))};
    Win_SendClick(ui.hwndMain, 300, ui.listTop + 20, false, true);
    ASSERT_TRUE(waitForHarvest());
    EXPECT_EQ(std::tuple(item->url, item->partDone.load(), item->flags.load()), std::tuple(mirror, 100000, ITEM_VALID));
    EXPECT_NE(savedList().find(mirror), std::string::npos);

    MOONQ_FreeList(&pendingList);
    item = halfDone("dl/g.bin");
    MQUI_Refresh();
    EXPECT_FALSE(Win_ChooseMenu(ui.hwndMain, IDM_REPLACE_LINK));   // only for one selected item
    MQUI_SelectAll();
    modals.answers = {typeLink(nginx->url("other.bin")), Win_Answer(IDCANCEL), Win_Answer(IDOK)};
    ASSERT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_REPLACE_LINK));
    ASSERT_TRUE(waitForHarvest());
    EXPECT_EQ(std::tuple(item->url, item->partDone.load()), std::tuple(nginx->url("gone/f.bin"), 100000));
    EXPECT_TRUE(isPatternFile(path("dl/g.bin"), 100000));
    EXPECT_TRUE(modals.seen.at(2).starts_with("box Replace Link: The new link names another file")) << modals.seen[2];
    EXPECT_EQ(MQUI_AskStartOver(), 1);
}

TEST_F(TimerTask, CancelMidFileEndsTheRunButFailedFilesArePassedAndSummedUp)
{
    // Headers and the first part at once, the rest only after a pause.
    moontest::ScriptedServer slow({{moontest::readRequest(), moontest::sendText("HTTP/1.1 200 OK\r\nContent-Length: "
                                    "100000\r\n\r\n"), moontest::sendBody(20000), moontest::pauseFor(1500),
                                    moontest::sendBody(80000)}});
    UrlItem* first = addItem(slow.url("first.bin"), ITEM_VALID, 100000, "first.bin");
    addItem(slow.url("second.bin"), ITEM_VALID, 100000, "second.bin");
    MQUI_StartDownloads();
    ASSERT_NE(ui.hwndProgress, nullptr);
    ASSERT_TRUE(waitForUi([] { return dialogText(IDC_PROGRESS_BYTES) == "Downloaded 19K out of 97K."; }));
    EXPECT_NE(dialogText(IDC_PROGRESS_RATE).find("Bytes/second = "), std::string::npos);
    // The bar: a fifth red, the rest black, in the band from 20 to 10 pixels above the middle.
    const auto& fills = Win_LastPaintFills(ui.hwndProgress);
    ASSERT_EQ(fills.size(), 2u);
    const WinRect client = Win_GetClientRect(ui.hwndProgress);
    const int mid = (client.top + client.bottom) / 2;
    for (const auto& fill : fills)
        EXPECT_EQ(std::pair(fill.rect.top, fill.rect.bottom), std::pair(mid - 20, mid - 10));
    const int red = fills[0].rect.right - fills[0].rect.left, all = fills[1].rect.right - fills[0].rect.left;
    EXPECT_EQ(std::tuple(fills[0].colour, fills[1].colour, fills[1].rect.left, std::lround(5.0 * red / all)),
              std::tuple(COLOUR_DONE, COLOUR_BLACK, fills[0].rect.right, 1l));
    std::filesystem::create_directories(MOON_SCREENSHOT_DIR);
    EXPECT_TRUE(Win_SaveScreenshot(ui.hwndProgress, MOON_SCREENSHOT_DIR "/progress_dialog.png"));

    Win_Click(Win_GetDlgItem(ui.hwndProgress, IDCANCEL));
    EXPECT_NE(ui.hwndProgress, nullptr);   // until the worker has stopped
    ASSERT_TRUE(waitForRunEnd());
    EXPECT_EQ(std::tuple(ui.hwndProgress, ui.runFileCount, first->flags.load()), std::tuple(nullptr, 0, ITEM_VALID));
    EXPECT_EQ(slow.connections(), 1);

    // A gone link and one that breaks off after its retries (at once, as the server asks) are passed for the next.
    MOONQ_FreeList(&pendingList);
    nginx->makeFile("third.bin", 30000);
    ASSERT_TRUE(nginx->start());
    const moontest::Script busy = moontest::answer(moontest::head("503 Busy", "Retry-After: 0\r\nContent-Length: 0"));
    moontest::ScriptedServer cut({busy, busy, busy, moontest::answer(moontest::head("200 OK", "Content-Length: 9000"),
                                                                      3000)});
    for (const std::string& url : {nginx->url("gone.bin"), cut.url("cut.bin"), nginx->url("third.bin")})
        addItem(url, ITEM_VALID, 100000, url.substr(url.rfind('/') + 1));
    std::string summary;
    Win_SetModalScript([&](const WinModal& modal) { summary = modal.text; return WinModalAnswer{}; });
    MQUI_StartDownloads();
    ASSERT_TRUE(waitForRunEnd());
    EXPECT_TRUE(isPatternFile(path("third.bin"), 30000));
    EXPECT_EQ(std::tuple(ui.hwndProgress, MOONQ_CountItems(), cut.connections()), std::tuple(nullptr, 2u, 4));
    EXPECT_EQ(summary, "Download run finished: 1 downloaded (30,000 bytes), 2 failed.\n\n" + nginx->url("gone.bin") +
              "\nError: 404 - Not Found\n\n" + cut.url("cut.bin") + "\nDownload broke off: 12030 - The connection "
              "with the server was terminated abnormally after 3000 of 9000 bytes.\n\nThe failed links wait at the end "
              "of the list.");
    EXPECT_EQ(std::string(MOONQ_FirstItem()->url), nginx->url("gone.bin"));   // then cut.bin, the other one left
}

}  // namespace

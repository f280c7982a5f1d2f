#include "tests/ui/ui_fixture.h"

#include "core/pending.h"
#include "platform/text.h"
#include "ui/dialogs/scheduledialog.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// Visible row's base line, as the list paints it: the URL's line above it, the note's on it.
int baseLine(int row)
{
    return ui.listTop + 20 + ROW_HEIGHT * row;
}

// The text of the last paint at (x, y), if any.
std::optional<WinDrawnText> paintedAt(int x, int y)
{
    for (const WinDrawnText& drawn : Win_LastPaintTexts(ui.hwndMain))
        if (drawn.x == x && drawn.y == y)
            return drawn;
    return std::nullopt;
}

// The colour the last paint filled row with (the whole width, from just below the row above), if it did.
std::optional<COLORREF> rowFill(int row)
{
    const WinRect client = Win_GetClientRect(ui.hwndMain);
    for (const WinDrawnFill& fill : Win_LastPaintFills(ui.hwndMain))
        if (fill.rect.left == client.left && fill.rect.top == baseLine(row) - 19 && fill.rect.right == client.right &&
            fill.rect.bottom == baseLine(row) + 23)
            return fill.colour;
    return std::nullopt;
}

// whole, when painted is all of it or (for a text longer than any row) its start cut with "…"; else painted.
std::string shownOf(const std::string& painted, const std::string& whole)
{
    const std::string start = painted.substr(0, painted.size() - std::min<size_t>(painted.size(), 3));
    return whole.size() > 250 && painted.ends_with("…") && whole.starts_with(start) ? whole : painted;
}

size_t rowsPainted()
{
    size_t count = 0;
    for (const WinDrawnText& drawn : Win_LastPaintTexts(ui.hwndMain))
        count += drawn.text.starts_with("#");
    return count;
}

// One digit an item, 1 for selected.
std::string selection()
{
    std::string selected;
    for (UrlItem* item = MOONQ_FirstItem(); item; item = MOONQ_NextItem(item))
        selected += (item->flags & ITEM_SELECTED) ? '1' : '0';
    return selected;
}

std::string clickAt(int x, int y, bool control = false)
{
    Win_SendClick(ui.hwndMain, x, y, control, false);
    return selection();
}

class ListView : public moontest::UiSandbox {
protected:
    void SetUp() override
    {
        UiSandbox::SetUp();
        // Room for fifteen rows, whatever size the desktop gave the window.
        Win_MoveWindow(ui.hwndMain, 40, 40, 900, ui.listTop + 15 * ROW_HEIGHT + 80);
        ASSERT_TRUE(waitForUi([] { return ui.visibleRows >= 15; }));
    }
    void TearDown() override
    {
        Win_SetDarkPalette(false);
        UiSandbox::TearDown();
    }
};

TEST_F(ListView, EveryStatePaintsItsTextsWhereAndInTheColoursItShouldInLightAndDarkAndReadsAloud)
{
    // The desktop's colours, or the problems' own orange and black.
    enum Paint { BASE, TEXT, HIGH, HIGH_TEXT, ORANGE, BLACK };
    auto colourOf = [](Paint paint) {
        const COLORREF own[] = {RGB(255, 150, 0), 0};
        return paint >= ORANGE ? own[paint - ORANGE] : Win_SystemColour(WinColour(paint));
    };
    const uint32_t VALID = ITEM_VALID;
    // Number and URL on the first line; on the second the note, then the local file (x 0: none).
    // A row is filled with its background colour unless that is the window's. A reader hears
    // number, link and note, and "ready" for a row that is neither a problem nor being checked.
    // Texts longer than the row are cut; the item keeps only so much of a reason.
    const std::string longName = std::string(380, 'p') + ".bin", longUrl = "http://h/" + longName;
    const std::string reason(300, 'r'), longNote = "Download broke off: 12030 - " + reason.substr(0, STATUS_CAPACITY - 1);
    const struct {
        const char* url;
        uint32_t flags;
        int64_t size, part;
        int32_t status;
        const char *statusText, *note;
        int noteX, pathX;
        Paint text, back;
        bool ready;
        const char* ranges = "";   // every range done, when the part has gaps
    } rows[] = {
        {"http://h/validating.zip", 0, 0, 0, 0, "", "Validating", 40, 0, TEXT, BASE, false},
        {"http://h/small.zip", VALID, 9999, 0, 0, "", "9999 bytes,", 50, 230, TEXT, BASE, true},
        {"http://h/big.zip", VALID, 10000, 0, 0, "", "9K,", 50, 230, TEXT, BASE, true},
        {"http://h/gone.zip", VALID | ITEM_FAILED, 0, 0, 404, "Not Found", "Error: 404 - Not Found", 40, 0, BLACK,
         ORANGE, false},
        {"ftp://h/clash.zip", VALID | ITEM_NEEDS_FIX, 500, 0, 0, "File name conflict with other URL!",
         "Status: 0 - File name conflict with other URL! Double-click to fix.", 40, 475, BLACK, ORANGE, false},
        {"http://h/chosen.zip", VALID | ITEM_SELECTED, int64_t(5) << 32, 0, 0, "", "20971520K,", 50, 230, HIGH_TEXT, HIGH, true},
        {"http://h/both.zip", VALID | ITEM_FAILED | ITEM_NEEDS_FIX | ITEM_SELECTED, 0, 0, 12002,
         "The operation timed out", "Error: 12002 - The operation timed out", 40, 0, ORANGE, BLACK, false},
        {"http://h/cut.zip", VALID | ITEM_BROKEN_OFF, 200000, 0, 0, "Could not write the local file: disk full.",
         "Download broke off: 0 - Could not write the local file: disk full.", 40, 475, BLACK, ORANGE, false},
        {"http://h/part.zip", VALID, 2 << 20, 1536 * 1024, 0, "", "1536K of 2048K done,", 50, 230, TEXT, BASE, true},
        {longUrl.c_str(), VALID | ITEM_BROKEN_OFF, 9000, 0, 12030, reason.c_str(), longNote.c_str(), 40, 475, BLACK,
         ORANGE, false},
        {"http://h/queued.zip", ITEM_WAITING, 0, 0, 0, "", "Waiting to validate", 40, 0, TEXT, BASE, false},
        // Signed links, at 10 PM of Dec 7 (UTC) with the schedule armed for 1 AM.
        {"http://h/s.zip?exp=1796693400", VALID, 2 << 20, 1536 * 1024, 0, "",
         "1536K of 2048K done, expires Dec 8, 1:30 AM", 50, 475, TEXT, BASE, true},
        {"http://h/t.zip?exp=1796684400", VALID, 10000, 0, 0, "",
         "9K, expires 11:00 PM. Expires before the scheduled start.", 50, 475, BLACK, ORANGE, false},
        {"http://h/u.zip?exp=1796677200", VALID, 10000, 0, 0, "", "9K, expired 9:00 PM", 50, 475, BLACK, ORANGE, false},
        {"http://h/v.zip?Expires=1798895100", VALID, 10, 0, 0, "", "10 bytes, expires Jan 2 2027, 1:05 PM", 50,
         475, TEXT, BASE, true},
        {"http://h/gaps.zip", VALID, 2 << 20, 512 * 1024, 0, "", "1536K of 2048K done,", 50, 230, TEXT, BASE, true,
         "0-524288,1048576-2097152"},
    };
    const char* zone = std::getenv("TZ");
    const std::string oldZone = zone ? zone : "";
    setenv("TZ", "UTC", 1);
    tzset();
    const auto clock = std::exchange(schedule.now, [] { return int64_t(1796680800); });
    schedule.startTime = 3600;
    Win_SetChecked(Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT), true);
    Schedule_StartTimer(ui.hwndMain);
    auto fileOf = [](const char* url) { return std::string(std::strrchr(url, '/') + 1); };
    for (const auto& r : rows) {
        UrlItem* added = addItem(r.url, r.flags, r.size, fileOf(r.url));
        added->partDone = r.part;
        SegDone ranges{};
        Seg_Parse(r.ranges, &ranges);
        MOONQ_SetPartRanges(added, ranges);
        added->status = r.status;
        Text_CopyBounded(added->statusText, r.statusText);
    }
    for (const bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        Win_SetDarkPalette(dark);
        MQUI_Refresh();
        const WinReadList read = readAloud();
        ASSERT_TRUE(read.found);
        ASSERT_EQ(read.rows.size(), std::size(rows));
        for (int i = 0; i < int(std::size(rows)); ++i) {
            const auto& r = rows[i];
            SCOPED_TRACE(r.url);
            char number[16];
            std::snprintf(number, sizeof number, "#%03d,", i + 1);
            const int y = baseLine(i);
            using At = std::tuple<int, int, std::string>;
            for (auto [x, top, text] : {At{10, y - 17, number}, At{50, y - 17, r.url}, At{r.noteX, y, r.note},
                                        At{r.pathX, y, r.pathX ? path(fileOf(r.url)) : ""}}) {
                if (text.empty())
                    continue;
                auto painted = paintedAt(x, top);
                ASSERT_TRUE(painted) << text << " at " << x << ", " << top;
                EXPECT_EQ(std::tuple(shownOf(painted->text, text), painted->textColour, painted->backColour),
                          std::tuple(text, colourOf(r.text), colourOf(r.back)));
            }
            EXPECT_EQ(rowFill(i), r.back == BASE ? std::nullopt : std::optional(colourOf(r.back)));
            std::string note = r.note;
            note.erase(note.find_last_not_of(',') + 1);
            EXPECT_EQ(read.rows[size_t(i)].name,
                      std::string(number) + " " + r.url + ", " + note + (r.ready ? ", ready" : ""));
        }
        EXPECT_EQ(rowsPainted(), std::size(rows));
        // Whatever their lengths, no text paints over another or in its own background's colour (the
        // colours of the rows above keep the text on the orange black, readable in both palettes).
        for (const WinDrawnText& p : Win_LastPaintTexts(ui.hwndMain)) {
            EXPECT_NE(p.textColour, p.backColour) << p.text;
            for (const WinDrawnText& q : Win_LastPaintTexts(ui.hwndMain))
                EXPECT_TRUE(&p == &q || p.rect.right <= q.rect.left || p.rect.bottom <= q.rect.top ||
                            q.rect.right <= p.rect.left || q.rect.bottom <= p.rect.top) << p.text << " | " << q.text;
        }
        std::filesystem::create_directories(MOON_SCREENSHOT_DIR);
        EXPECT_TRUE(Win_SaveScreenshot(ui.hwndMain, dark ? MOON_SCREENSHOT_DIR "/main-window-dark.png"
                                                         : MOON_SCREENSHOT_DIR "/main-window.png"));
    }
    Win_SetDarkPalette(false);
    EXPECT_EQ(Win_ToolTipAt(ui.hwndMain, 300, baseLine(9)), longUrl + "\n" + longNote + "\n" + path(longName));
    Win_SetChecked(Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT), false);
    Schedule_StopTimer(ui.hwndMain);
    schedule.now = clock;
    zone ? setenv("TZ", oldZone.c_str(), 1) : unsetenv("TZ");
    tzset();
}

TEST_F(ListView, EmptyViewShowsTheBannerTheRunSummaryAndTheHintAndReadsThemAloud)
{
    const std::string hint = "Drag and Drop links from your browser into this window for later downloading.";
    auto lines = [this] {
        MQUI_Refresh();
        std::string texts;
        for (const WinDrawnText& drawn : Win_LastPaintTexts(ui.hwndMain))
            texts += drawn.text + "|";
        const WinReadList read = readAloud();
        std::string spoken = read.description + "\n";
        std::replace(spoken.begin(), spoken.end(), '\n', '|');
        EXPECT_EQ(std::tuple(read.found, read.rows.size(), spoken), std::tuple(true, size_t(0), texts));
        return texts;
    };
    EXPECT_EQ(lines(), "Moonfetch V1.2|" + hint + "|");
    ui.runFileCount = 3;
    ui.runByteCount = 1048576;
    EXPECT_EQ(lines(), "Moonfetch V1.2|3 files recently downloaded totalling 1,048,576 bytes.|" + hint + "|");
}

TEST_F(ListView, NumbersPassThreeDigitsScrollingClampsAndNoRowsFitNoneArePainted)
{
    for (int i = 0; i < 1001; ++i)
        addItem("http://h/" + std::to_string(i + 1));
    MQUI_Refresh();
    const int largest = 1001 - ui.visibleRows;
    MQUI_WndProc(ui.hwndMain, WM_VSCROLL, SB_THUMBTRACK | (2000u << 16), 0);
    EXPECT_EQ(std::tuple(ui.firstRow, Win_GetScrollPos(ui.hwndMain)), std::tuple(largest, largest));
    const auto number = paintedAt(10, baseLine(999 - largest) - 17);
    ASSERT_EQ(number->text, "#1000,");
    EXPECT_EQ(paintedAt(number->rect.right + 8, baseLine(999 - largest) - 17)->text, "http://h/1000");   // pushed on
    const std::pair<uint32_t, int> steps[] = {{SB_LINEUP, largest - 1}, {SB_PAGEUP, largest - 6},
        {SB_LINEDOWN, largest - 5}, {SB_PAGEDOWN, largest}, {SB_THUMBPOSITION | (3u << 16), 3}, {SB_PAGEUP, 0},
        {SB_LINEUP, 0}, {7 /* SB_ENDSCROLL */, 0}};
    for (auto [request, expected] : steps) {
        MQUI_WndProc(ui.hwndMain, WM_VSCROLL, request, 0);
        EXPECT_EQ(ui.firstRow, expected) << "request " << (request & 0xFFFF);
    }

    // The keys keep the row they reach in sight.
    Win_SendKey(ui.hwndMain, VK_HOME, false);
    EXPECT_EQ(ui.firstRow, 0);
    Win_SendKey(ui.hwndMain, VK_END, false);
    EXPECT_EQ(ui.firstRow, largest);

    // Items removed under a scrolled view: the refresh brings the position back in range.
    MQUI_SetFirstRow(ui.hwndMain, largest);
    MOONQ_SelectAll();
    MQUI_WndProc(ui.hwndMain, WM_COMMAND, IDM_DELETE, 0);
    EXPECT_EQ(ui.firstRow, 0);
    MQUI_WndProc(ui.hwndMain, WM_COMMAND, IDM_UNDO, 0);
    ui.visibleRows = 0;
    MQUI_Refresh();
    EXPECT_TRUE(rowsPainted() == 0 && !rowFill(0));
}

TEST_F(ListView, ClicksAndArrowKeysSelectTheRowControlAddsFewRowsNeverScrollAndReadersFollowTheFocus)
{
    for (const char* name : {"a", "b", "c", "d"})
        addItem(std::string("http://h/") + name);
    MQUI_Refresh();
    MQUI_WndProc(ui.hwndMain, WM_VSCROLL, SB_PAGEDOWN, 0);
    EXPECT_EQ(ui.firstRow, 0);
    EXPECT_EQ(clickAt(300, baseLine(1)), "0100");
    EXPECT_EQ(clickAt(5, baseLine(3), true), "0101");
    EXPECT_EQ(clickAt(300, ui.listTop - 5), "1000");   // the strip above the first row counts as that row
    EXPECT_EQ(paintedAt(50, baseLine(0) - 17)->backColour, Win_SystemColour(WinColour::Highlight));   // at once
    Win_SendKey(ui.hwndMain, 'A', true);
    EXPECT_EQ(selection(), "1111");
    EXPECT_EQ(clickAt(300, baseLine(6)), "0000");   // below the last item
    ui.visibleRows = 2;
    MQUI_SetFirstRow(ui.hwndMain, 1);   // scrolled down by one, the top row is the second item
    EXPECT_EQ(clickAt(300, baseLine(0)), "0100");
    // The keys move on from the clicked row and select only the row they reach.
    const struct {
        uint32_t key;
        const char* selected;
        int focused;
    } moves[] = {{VK_DOWN, "0010", 2}, {VK_DOWN, "0001", 3}, {VK_DOWN, "0001", 3}, {VK_HOME, "1000", 0},
                 {VK_UP, "1000", 0}, {VK_END, "0001", 3}, {VK_UP, "0010", 2}};
    for (const auto& move : moves) {
        Win_SendKey(ui.hwndMain, move.key, false);
        const WinReadList read = readAloud();
        std::string readSelected, readFocused;
        for (const WinReadRow& row : read.rows) {
            readSelected += row.selected ? '1' : '0';
            readFocused += row.focused ? '1' : '0';
        }
        std::string focused = "0000";
        focused[size_t(move.focused)] = '1';
        EXPECT_EQ(std::tuple(selection(), readSelected, readFocused, read.focusChild),
                  std::tuple(move.selected, move.selected, focused, move.focused))
            << "key " << move.key;
    }
}

TEST_F(ListView, KeysTypedIntoTheUrlBoxStayThereThroughRepaintsAndHarvestedValidations)
{
    addItem("http://h/a");
    MQUI_Refresh();
    HWND edit = Win_GetDlgItem(ui.hwndToolbar, IDC_URL);
    Win_SetFocus(edit);
    Win_Invalidate(ui.hwndMain, true);   // as when the window is uncovered or activated
    Win_SendKey(ui.hwndMain, 'X', false);
    // Nobody listens there: the validation fails at once and its harvest refreshes the list.
    MQUI_AddURL(("http://127.0.0.1:" + std::to_string(moontest::freePort()) + "/b").c_str());
    ASSERT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));
    Win_SendKey(ui.hwndMain, 'Y', false);
    EXPECT_EQ(Win_TextOf(edit), "http://xy");
    Win_SendKey(ui.hwndMain, 'A', true);
    Win_SendKey(ui.hwndMain, VK_DELETE, false);
    EXPECT_EQ(std::tuple(Win_TextOf(edit), selection()), std::tuple("", "00"));
    clickAt(300, baseLine(3));   // into the list, below its items
    Win_SendKey(ui.hwndMain, 'A', true);
    EXPECT_EQ(selection(), "11");
}

TEST_F(ListView, DoubleClickOrEnterAsksForANewNameOnlyOnAnItemAndOnlyWhileNothingRuns)
{
    addItem("http://h/a.zip", ITEM_VALID, 1, "a.zip");
    MQUI_Refresh();
    const std::string chosen = path("renamed.zip");
    Win_SendClick(ui.hwndMain, 300, baseLine(2), false, true);   // below the last item
    ui.workTimerId = WORK_TIMER_ID;                          // a worker may hold the item
    Win_SendClick(ui.hwndMain, 300, baseLine(0), false, true);
    EXPECT_TRUE(modals.seen.empty());
    ui.workTimerId = 0;
    modals.answers = {Win_Answer(IDOK, chosen)};
    Win_SendClick(ui.hwndMain, 300, baseLine(0), false, true);
    ASSERT_EQ(modals.seen, std::vector<std::string>{"save Save As: " + path("a.zip")});
    EXPECT_STREQ(MOONQ_FirstItem()->localPath, chosen.c_str());
    EXPECT_EQ(paintedAt(230, baseLine(0))->text, chosen);
    EXPECT_NE(moontest::readFile(PENDING_FILE).find(chosen), std::string::npos);
    modals.answers = {Win_Answer(IDCANCEL)};
    Win_SendKey(ui.hwndMain, VK_RETURN, false);   // on the focused row
    EXPECT_EQ(modals.seen.size(), 2u);
}

}  // namespace

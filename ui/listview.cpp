#include "ui/ui.h"

#include "core/items.h"
#include "settings/schedule.h"
#include "ui/texts.h"
#include "web/expiry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* BANNER = "Moonfetch V1.2";
constexpr const char* HINT =
    "Drag and Drop links from your browser into this window for later downloading.";
constexpr const char* SUMMARY_FORMAT = "%d files recently downloaded totalling %s bytes.";

// Offsets from a row's base line, and the columns of its texts.
constexpr int BASE_LINE = 20;
constexpr int ROW_TOP = -19, ROW_BOTTOM = 23;
constexpr int FIRST_LINE = -17;
constexpr int NUMBER_X = 10, URL_X = 50, NOTE_X = 40, SIZE_X = 50;
// A ready row and a row with a part done show the size, or the part, in one column; the local
// file follows in the next.
constexpr int PATH_AFTER_SIZE_X = 230, PATH_AFTER_STATUS_X = 475;
// Space kept between a cut text and the next column, and inside the row's edge.
constexpr int COLUMN_GAP = 8, EDGE_MARGIN = 4;
constexpr int EMPTY_X = 20, EMPTY_LINE_GAP = 30;
constexpr int PAGE_ROWS = 5;

// Rows with these flags are painted as problems.
constexpr uint32_t PROBLEM_FLAGS = ITEM_FAILED | ITEM_NEEDS_FIX | ITEM_BROKEN_OFF;

// A row's colour: the desktop's, so that the list follows its theme, or the list's own.
struct Colour {
    bool desktop;
    WinColour role;
    COLORREF own;
};
constexpr Colour desktopColour(WinColour role)
{
    return {true, role, 0};
}
constexpr Colour ownColour(COLORREF own)
{
    return {false, WinColour::Window, own};
}

COLORREF resolve(const Colour& colour)
{
    return colour.desktop ? Win_SystemColour(colour.role) : colour.own;
}

struct RowColours {
    bool fill;
    Colour back;   // the fill's colour too, when there is a fill
    Colour text;
};

// By [selected][problem]. The orange stays whatever the theme, with black on it (contrast 9.6:1)
// or on black (selected), so a problem reads alike in light, dark and high-contrast themes.
constexpr RowColours ROW_COLOURS[2][2] = {
    {{false, desktopColour(WinColour::Window), desktopColour(WinColour::WindowText)},
     {true, ownColour(COLOUR_PROBLEM), ownColour(COLOUR_BLACK)}},
    {{true, desktopColour(WinColour::Highlight), desktopColour(WinColour::HighlightText)},
     {true, ownColour(COLOUR_BLACK), ownColour(COLOUR_PROBLEM)}},
};

// The focus frame's distance inside the row's edge.
constexpr int FOCUS_INSET = 3;

// What one row shows, copied under the item lock so that the toolkit is never called while a
// worker waits for it and no text is read half-written.
struct RowTexts {
    char url[URL_CAPACITY];
    char note[FAILURE_TEXT_CAPACITY];
    int noteX;
    const char* path;   // null, or localPath below
    int pathX;
    char localPath[PATH_CAPACITY];
    bool problem;       // the row is painted as a problem
};

// A ready item's size, then when its link expires; a link that expired, or that expires before
// the armed schedule starts, makes the row a problem. The caller holds the item lock.
void describeReady(const UrlItem* item, RowTexts* texts)
{
    char size[64];
    MQUI_SizeText(item, size, sizeof size);
    texts->noteX = SIZE_X;
    texts->path = texts->localPath;
    texts->pathX = PATH_AFTER_SIZE_X;
    if (item->expiresAt == EXPIRY_NONE) {
        std::snprintf(texts->note, sizeof texts->note, "%s", size);
        return;
    }
    const int64_t now = schedule.now();
    char when[EXPIRY_TEXT_CAPACITY];
    MQUI_MomentText(item->expiresAt, now, when, sizeof when);
    const bool passed = now >= item->expiresAt;
    const bool beforeStart = !passed && MQUI_ScheduleArmed() && Schedule_StartsAt() > item->expiresAt;
    std::snprintf(texts->note, sizeof texts->note, "%s %s %s%s", size, passed ? "expired" : "expires", when,
                  beforeStart ? ". Expires before the scheduled start." : "");
    texts->problem = passed || beforeStart;
    texts->pathX = PATH_AFTER_STATUS_X;
}

RowTexts rowTexts;   // large, and only the user-interface thread paints or asks for a tooltip

void describeItem(const UrlItem* item, uint32_t flags, RowTexts* texts)
{
    auto lock = MOONQ_LockItem();
    std::snprintf(texts->url, sizeof texts->url, "%s", item->url);
    std::snprintf(texts->localPath, sizeof texts->localPath, "%s", item->localPath);
    texts->noteX = NOTE_X;
    texts->path = nullptr;
    texts->problem = (flags & PROBLEM_FLAGS) != 0;
    if (flags & ITEM_FAILED) {
        MQUI_FormatFailure(item, flags, texts->note, sizeof texts->note);
    } else if (flags & ITEM_NEEDS_FIX) {
        std::snprintf(texts->note, sizeof texts->note, "Status: %d - %s Double-click to fix.",
                      item->status, item->statusText);
        texts->path = texts->localPath;
        texts->pathX = PATH_AFTER_STATUS_X;
    } else if (flags & ITEM_BROKEN_OFF) {
        MQUI_FormatFailure(item, flags, texts->note, sizeof texts->note);
        texts->path = texts->localPath;
        texts->pathX = PATH_AFTER_STATUS_X;
    } else if (flags & ITEM_VALID) {
        describeReady(item, texts);
    } else {
        // A query that no worker has taken up yet has not asked anything.
        std::snprintf(texts->note, sizeof texts->note, (flags & ITEM_WAITING) ? "Waiting to validate" : "Validating");
    }
}

void paintRow(WinDC* dc, const WinRect& client, const UrlItem* item, int32_t number, int y)
{
    uint32_t flags = item->flags;
    describeItem(item, flags, &rowTexts);
    const RowColours& colours = ROW_COLOURS[(flags & ITEM_SELECTED) != 0][rowTexts.problem];
    WinRect row = {client.left, y + ROW_TOP, client.right, y + ROW_BOTTOM};
    if (colours.fill)
        Win_FillRect(dc, row, resolve(colours.back));
    Win_SetBkColor(dc, resolve(colours.back));
    Win_SetTextColor(dc, resolve(colours.text));

    char numberText[24];
    std::snprintf(numberText, sizeof numberText, "#%03d,", number);
    // Every text keeps to its own box: the first line ends where the second begins, the note
    // where the local file's column begins, and both lines inside the row's edge.
    const int right = row.right - EDGE_MARGIN, bottom = row.bottom - EDGE_MARGIN;
    const int numberEnd = Win_TextOutClipped(dc, {NUMBER_X, y + FIRST_LINE, right, y}, numberText);
    const int urlX = numberEnd < URL_X ? URL_X : numberEnd + COLUMN_GAP;   // a long number pushes the URL on
    Win_TextOutClipped(dc, {urlX, y + FIRST_LINE, right, y}, rowTexts.url);
    const int noteRight = rowTexts.path ? rowTexts.pathX - COLUMN_GAP : right;
    Win_TextOutClipped(dc, {rowTexts.noteX, y, noteRight, bottom}, rowTexts.note);
    if (rowTexts.path)
        Win_TextOutClipped(dc, {rowTexts.pathX, y, right, bottom}, rowTexts.path);
    Win_DrawBumpEdge(dc, row);
    if (number - 1 == MQUI_FocusedRow())
        Win_DrawFocusRect(dc, {row.left + FOCUS_INSET, row.top + FOCUS_INSET, row.right - FOCUS_INSET,
                               row.bottom - FOCUS_INSET});
}

void paintRows(WinDC* dc, const WinRect& client)
{
    UrlItem* item = MOONQ_ItemAt(size_t(ui.firstRow));
    for (int32_t i = 0; item && i < ui.visibleRows; ++i, item = MOONQ_NextItem(item))
        paintRow(dc, client, item, ui.firstRow + i + 1, ui.listTop + BASE_LINE + ROW_HEIGHT * i);
}

// The lines the list shows while it has no rows: the banner, the latest run's summary when
// there was one, and the hint.
std::vector<std::string> emptyViewLines()
{
    std::vector<std::string> lines = {BANNER};
    if (ui.runFileCount > 0) {
        char count[32];
        char summary[128];
        std::snprintf(summary, sizeof summary, SUMMARY_FORMAT, ui.runFileCount,
                      MQUI_FormatCount(uint64_t(ui.runByteCount), count, sizeof count));
        lines.push_back(summary);
    }
    lines.push_back(HINT);
    return lines;
}

void paintEmptyView(WinDC* dc)
{
    Win_SetBkColor(dc, Win_SystemColour(WinColour::Window));
    Win_SetTextColor(dc, Win_SystemColour(WinColour::WindowText));
    int y = ui.listTop + BASE_LINE;
    for (const std::string& line : emptyViewLines()) {
        Win_TextOut(dc, EMPTY_X, y, line.c_str());
        y += EMPTY_LINE_GAP;
    }
}

// What a reader speaks for a row: its number, link and note as painted, and "ready" when the
// row is neither a problem nor waiting for its check.
std::string rowName(const UrlItem* item, int32_t number)
{
    const uint32_t flags = item->flags;
    describeItem(item, flags, &rowTexts);
    std::string note = rowTexts.note;
    if (note.ends_with(","))   // a size waits for the local file's column
        note.pop_back();
    char numberText[24];
    std::snprintf(numberText, sizeof numberText, "#%03d, ", number);
    const bool ready = (flags & ITEM_VALID) && !rowTexts.problem;
    return numberText + std::string(rowTexts.url) + ", " + note + (ready ? ", ready" : "");
}

class ListForReaders final : public WinAccessibleList {
public:
    int RowCount() override { return int(MOONQ_CountItems()); }
    std::string RowName(int row) override
    {
        const UrlItem* item = MOONQ_ItemAt(size_t(row));
        return item ? rowName(item, row + 1) : "";
    }
    bool RowSelected(int row) override
    {
        const UrlItem* item = MOONQ_ItemAt(size_t(row));
        return item && (item->flags & ITEM_SELECTED);
    }
    int FocusedRow() override { return MQUI_FocusedRow(); }
    std::string Description() override
    {
        if (MOONQ_CountItems() != 0)
            return "";
        std::string text;
        for (const std::string& line : emptyViewLines())
            text += (text.empty() ? "" : "\n") + line;
        return text;
    }
};

int32_t largestFirstRow()
{
    return std::max(ui.itemCount - ui.visibleRows, 0);
}

// The mouse position's y, as the toolkit packs it: a signed 16-bit value.
int pointY(LPARAM lParam)
{
    return int16_t(HIWORD(uintptr_t(lParam)));
}

}  // namespace

void MQUI_PaintList(HWND window)
{
    WinDC* dc = Win_BeginPaint(window);
    if (dc == nullptr)
        return;
    WinRect client = Win_GetClientRect(window);
    Win_Rectangle(dc, client);
    ui.itemCount = int32_t(MOONQ_CountItems());
    if (ui.itemCount == 0)
        paintEmptyView(dc);
    else
        paintRows(dc, client);
    Win_EndPaint(window, dc);
}

void MQUI_RowToolTip(LPARAM lParam, WinToolTip* tip)
{
    const int32_t index = MQUI_RowFromPoint(lParam);
    UrlItem* item = index < 0 ? nullptr : MOONQ_ItemAt(size_t(index));
    if (item == nullptr)
        return;
    describeItem(item, item->flags, &rowTexts);
    std::snprintf(tip->text, sizeof tip->text, "%s\n%s%s%s", rowTexts.url, rowTexts.note, rowTexts.path ? "\n" : "",
                  rowTexts.path ? rowTexts.path : "");
    if (item->flags & ITEM_CHECKSUM_NOTE) {   // the finished file's check against the server's checksum
        auto lock = MOONQ_LockItem();
        const size_t used = std::strlen(tip->text);
        std::snprintf(tip->text + used, sizeof tip->text - used, "\n%s", item->statusText);
    }
}

void MQUI_Refresh()
{
    ui.itemCount = int32_t(MOONQ_CountItems());
    if (ui.hwndToolbar) {
        bool enable = ui.itemCount > 0 && ui.workTimerId == 0;
        Win_EnableWindow(Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_NOW), enable);
        Win_EnableWindow(Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT), enable);
    }
    Win_EnableMenuItem(ui.hwndMain, IDM_REPLACE_LINK, ui.workTimerId == 0 && MQUI_OnlySelected() != nullptr);
    Win_Invalidate(ui.hwndMain, true);
    // Delete and Control+A reach the list after any change to it, unless the person works in
    // the toolbar: a harvested validation must not take the URL box's keys away mid-word.
    // Not from the paint itself: the toolkit also repaints when the person clicks into the box.
    if (!Win_FocusWithin(ui.hwndToolbar))
        Win_SetFocus(ui.hwndMain);
    MQUI_UpdateScrollRange(ui.hwndMain);
    MQUI_UpdateTray();
    Win_NotifyAccessibleList(ui.hwndMain);
}

void MQUI_UpdateScrollRange(HWND window)
{
    int32_t largest = largestFirstRow();
    Win_SetScrollRange(window, largest);
    if (ui.firstRow > largest) {
        ui.firstRow = largest;
        Win_SetScrollPos(window, largest);
    }
}

void MQUI_Scroll(HWND window, WPARAM wParam, LPARAM)
{
    struct Step {
        uint32_t request;
        int32_t rows;
    };
    static constexpr Step STEPS[] = {
        {SB_LINEUP, -1}, {SB_LINEDOWN, 1}, {SB_PAGEUP, -PAGE_ROWS}, {SB_PAGEDOWN, PAGE_ROWS},
    };
    uint32_t request = LOWORD(wParam);
    int32_t target;
    if (request == SB_THUMBPOSITION || request == SB_THUMBTRACK) {
        target = int32_t(HIWORD(wParam));
    } else {
        const Step* step = std::find_if(std::begin(STEPS), std::end(STEPS),
                                        [request](const Step& s) { return s.request == request; });
        if (step == std::end(STEPS))
            return;
        target = ui.firstRow + step->rows;
    }
    MQUI_SetFirstRow(window, target);
    MQUI_Refresh();
}

void MQUI_SetFirstRow(HWND window, int32_t index)
{
    ui.firstRow = std::clamp(index, 0, largestFirstRow());
    Win_SetScrollPos(window, ui.firstRow);
}

int32_t MQUI_RowFromPoint(LPARAM lParam)
{
    return (pointY(lParam) - ui.listTop) / ROW_HEIGHT + ui.firstRow;
}

void MQUI_ClickRow(LPARAM lParam)
{
    int32_t index = MQUI_RowFromPoint(lParam);
    // A point above the list names no item, as one below the last does.
    MOONQ_ClickSelect(index < 0 ? SIZE_MAX : size_t(index), Win_ControlKeyDown());
    if (index >= 0 && index < int32_t(MOONQ_CountItems()))
        ui.focusRow = index;
    MQUI_Refresh();
}

void MQUI_MoveFocus(uint32_t key)
{
    struct Move {
        uint32_t key;
        int32_t rows;
    };
    static constexpr Move MOVES[] = {{VK_UP, -1}, {VK_DOWN, 1}, {VK_HOME, INT32_MIN / 2}, {VK_END, INT32_MAX / 2}};
    const Move* move = std::find_if(std::begin(MOVES), std::end(MOVES), [key](const Move& m) { return m.key == key; });
    ui.itemCount = int32_t(MOONQ_CountItems());
    if (move == std::end(MOVES) || ui.itemCount == 0)
        return;
    ui.focusRow = std::clamp(MQUI_FocusedRow() + move->rows, 0, ui.itemCount - 1);
    MOONQ_ClickSelect(SIZE_MAX, false);
    MOONQ_ClickSelect(size_t(ui.focusRow), false);
    // The focused row stays in sight.
    if (ui.focusRow < ui.firstRow)
        MQUI_SetFirstRow(ui.hwndMain, ui.focusRow);
    else if (ui.visibleRows > 0 && ui.focusRow >= ui.firstRow + ui.visibleRows)
        MQUI_SetFirstRow(ui.hwndMain, ui.focusRow - ui.visibleRows + 1);
    MQUI_Refresh();
}

void MQUI_SelectAll()
{
    MOONQ_SelectAll();
    MQUI_Refresh();
}

UrlItem* MQUI_OnlySelected()
{
    UrlItem* selected = nullptr;
    for (UrlItem* item = MOONQ_FirstItem(); item != nullptr; item = MOONQ_NextItem(item)) {
        if (!(item->flags & ITEM_SELECTED))
            continue;
        if (selected != nullptr)
            return nullptr;
        selected = item;
    }
    return selected;
}

int32_t MQUI_FocusedRow()
{
    return ui.itemCount == 0 ? -1 : std::clamp(ui.focusRow, 0, ui.itemCount - 1);
}

WinAccessibleList* MQUI_ListForReaders()
{
    static ListForReaders list;
    return &list;
}

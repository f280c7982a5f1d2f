#include "ui/ui.h"

#include "core/checkback.h"
#include "core/pending.h"
#include "diag/trace.h"
#include "platform/text.h"
#include "ui/boxes.h"
#include "ui/texts.h"
#include "ui/worktimer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <new>

namespace {

constexpr WinControlTemplate PROGRESS_CONTROLS[] = {
    {IDCANCEL, WinControl::PushButton, "Cancel", WS_TABSTOP, 340, 63, 50, 14},
    {IDC_PROGRESS_URL, WinControl::Static, "Downloading xxx", 0, 7, 7, 383, 20},
    {IDC_PROGRESS_BYTES, WinControl::Static, "Bytes Downloaded", 0, 7, 49, 236, 14},
    {IDC_PROGRESS_RATE, WinControl::Static, "Rate", 0, 7, 62, 231, 11},
};

// Elapsed seconds below which a rate would be noise: the rate line keeps its text.
constexpr double SHORTEST_RATE_SPAN = 0.0001;
// The progress bar's inset from the client area's sides, and its place above the middle.
constexpr int BAR_INSET = 20, BAR_TOP_ABOVE_MID = 20, BAR_BOTTOM_ABOVE_MID = 10;

int64_t counterNow()
{
    return int64_t(std::chrono::steady_clock::now().time_since_epoch().count());
}

// The item's size, read under the item lock because the worker may be writing its texts.
int64_t itemSize(const UrlItem* item)
{
    auto lock = MOONQ_LockItem();
    return item ? item->size : 0;
}

// The bytes of every range the item's part holds: over several connections they grow while the
// part at the file's start may not.
int64_t partBytes(const UrlItem* item)
{
    auto lock = MOONQ_LockItem();
    return std::max(item->partDone.load(std::memory_order_relaxed), Seg_Bytes(MOONQ_PartRanges(item)));
}

void showDownloadingItem(const UrlItem* item)
{
    char url[URL_CAPACITY];
    {
        auto lock = MOONQ_LockItem();
        Text_CopyBounded(url, item->url);
    }
    ui.savedPart = partBytes(item);
    ui.shownAttempt = 0;
    ui.rateBase = 0;
    MQUI_ShowDownloading(url);
    MQUI_KeepAwakeFor(item);
}

// The rate counts only the bytes of the download's latest try: the first from where it began
// in the file, on the clock started with the file; a retry from the moment it is seen, on a
// clock started then.
void followAttempt(const UrlRequest* request)
{
    const int32_t attempt = request->attempt.load(std::memory_order_acquire);
    if (attempt == ui.shownAttempt)
        return;
    const bool first = ui.shownAttempt == 0;
    ui.shownAttempt = attempt;
    if (first) {
        ui.rateBase = request->resumedFrom.load(std::memory_order_relaxed);
        return;
    }
    ui.rateBase = request->bytesDone.load(std::memory_order_relaxed);
    RateClock_Free(ui.rateClock);
    ui.rateClock = RateClock_Start();
}

// A part the worker has just recorded goes into the list at once, so that even a killed
// program continues it at the next start.
void saveRecordedPart(const UrlItem* item)
{
    const int64_t part = partBytes(item);
    if (part == ui.savedPart)
        return;
    ui.savedPart = part;
    MOONQ_SavePendingSoon();
}

// The run is over: the dialog and the clock of its last file go.
void closeProgress()
{
    Win_DestroyWindow(ui.hwndProgress);
    ui.hwndProgress = nullptr;
    RateClock_Free(ui.rateClock);
    ui.rateClock = nullptr;
    MQUI_RunEnded();
}

// The run is over: its summary is traced now and shown once the timer task is done.
void endRun()
{
    ui.currentDownload = nullptr;
    closeProgress();
    char summary[RUN_SUMMARY_CAPACITY];
    MQUI_DescribeRun(summary, sizeof summary);
    summary[std::strcspn(summary, "\n")] = '\0';   // its first line
    Trace_PrintString(TRACE_ALL, "MQUI_TimerTask, %s\n", summary);
    ui.runSummaryDue = true;
}

// After a file ended: the next ready item the run has not tried, unless "Cancel" was pressed.
void continueRun()
{
    const DownloadOptions run = Options_ForRun(downloadOptions, ui.runScheduled);
    if (ui.stopAfterCurrent || MOONQ_StartNextDownload(&ui.currentDownload, &run) != 0) {
        endRun();
        return;
    }
    showDownloadingItem(ui.currentDownload->item);
}

// A failed item stays in the list, at its end; the run keeps its words for the summary.
void recordFailure(const UrlItem* item, int32_t result)
{
    RunFailure failure;
    Text_CopyBounded(failure.url, item->url);
    MQUI_FailureText(item, failure.reason, sizeof failure.reason);
    Trace_PrintInt(TRACE_ALL, "MQUI_TimerTask, download failed with %d\n", result);
    Trace_PrintString(TRACE_ALL, "MQUI_TimerTask, %s\n", failure.reason);
    if (ui.runFailCount < RUN_FAILURES_KEPT)
        ui.runFailures[ui.runFailCount] = failure;
    ui.runFailCount += 1;
}

// Shows the summary of a run that left failed items, outside the timer task's own work so that
// harvests go on while the person reads it.
void showDueSummary()
{
    if (!ui.runSummaryDue)
        return;
    ui.runSummaryDue = false;
    if (ui.runFailCount == 0)
        return;
    static char summary[RUN_SUMMARY_CAPACITY];   // large, and only the user-interface thread shows it
    MQUI_DescribeRun(summary, sizeof summary);
    MQUI_AttentionBox(summary);
}

void endCurrentDownload()
{
    MOONQ_FreeRequest(ui.currentDownload);
    ui.currentDownload = nullptr;
}

// Harvests the current download; true when it ended (and the pending list changed).
bool checkBackDownload()
{
    UrlRequest* request = ui.currentDownload;
    const int64_t size = itemSize(request->item);   // the item may be released below
    const int32_t r = MOONQ_CheckBackDown(request);
    switch (r) {
    case RESULT_RUNNING:
        followAttempt(request);
        saveRecordedPart(request->item);
        MQUI_ShowProgress(request->bytesDone.load(std::memory_order_relaxed), size,
                          request->connections.load(std::memory_order_relaxed));
        return false;
    case RESULT_DOWNLOADED:
        ui.runFileCount += 1;
        ui.runByteCount += std::min(std::max<int64_t>(size, 0), INT64_MAX - ui.runByteCount);
        break;
    case RESULT_CANCELLED:
        break;
    default:
        if (r > 0 && r != RESULT_FAILED) {
            Trace_PrintInt(TRACE_ALL, "MQUI_TimerTask, MOONQ_CheckBackDown unexpectedly returned %d\n", r);
            return false;
        }
        recordFailure(request->item, r);
    }
    endCurrentDownload();
    continueRun();
    return true;
}

void setItemText(HWND dialog, int id, const char* text)
{
    Win_SetWindowText(Win_GetDlgItem(dialog, id), text);
}

// The bar: red for the share done, black for the rest; a file larger than reported fills it.
void paintProgressBar(HWND dialog, const UrlRequest* request)
{
    const WinRect client = Win_GetClientRect(dialog);
    const int mid = client.top + (client.bottom - client.top) / 2;
    WinRect bar{client.left + BAR_INSET, mid - BAR_TOP_ABOVE_MID, client.right - BAR_INSET,
                mid - BAR_BOTTOM_ABOVE_MID};
    const int width = bar.right - bar.left;
    const int64_t size = itemSize(request->item);
    double share = 0.0;
    if (size > 0)
        share = double(request->bytesDone.load(std::memory_order_relaxed)) * width / double(size);
    const int filled = int(std::clamp(share, 0.0, double(width)));
    WinDC* dc = Win_BeginPaint(dialog);
    Win_FillRect(dc, WinRect{bar.left, bar.top, bar.left + filled, bar.bottom}, COLOUR_DONE);
    Win_FillRect(dc, WinRect{bar.left + filled, bar.top, bar.right, bar.bottom}, COLOUR_BLACK);
    Win_EndPaint(dialog, dc);
}

}  // namespace

const WinDialogTemplate progressTemplate = {
    IDD_PROGRESS, "Download Progress", false, 30, 50, 397, 84, "MS Sans Serif", 8,
    PROGRESS_CONTROLS, std::size(PROGRESS_CONTROLS),
};

void MQUI_StartDownloads(bool scheduled)
{
    if (ui.currentDownload != nullptr)
        return;
    MOONQ_BeginRun();
    ui.runScheduled = scheduled;
    const DownloadOptions run = Options_ForRun(downloadOptions, scheduled);
    const int32_t r = MOONQ_StartNextDownload(&ui.currentDownload, &run);
    ui.stopAfterCurrent = false;
    ui.runByteCount = 0;
    ui.runFileCount = 0;
    ui.runFailCount = 0;
    if (r != 0)
        return;
    MQUI_StartWorkTimer();
    ui.hwndProgress = Win_CreateDialog(progressTemplate, ui.hwndMain, MQUI_ProgressProc, 0);
    showDownloadingItem(ui.currentDownload->item);
    Win_ShowWindow(ui.hwndProgress);
}

void MQUI_ShowDownloading(const char* url)
{
    ui.shownPercent = -1;
    MQUI_UpdateTray();
    if (ui.hwndProgress == nullptr)
        return;
    setItemText(ui.hwndProgress, IDC_PROGRESS_URL, url);
    RateClock_Free(ui.rateClock);
    ui.rateClock = RateClock_Start();
}

void MQUI_TimerTask(HWND window)
{
    if (ui.inTimerTask)
        return;
    ui.inTimerTask = true;
    // The usual pace while this tick runs: a dialog of its harvest runs a nested event loop,
    // whose ticks would otherwise come back at once only to find the task busy.
    MQUI_HurryWorkTimer(window, false);
    // The download first, then the queries: a run moves on in the tick in which a file ends.
    const bool changed = ui.currentDownload != nullptr && checkBackDownload();
    const int32_t q = MOONQ_CheckBackQueries(&downloadOptions);
    if (changed || q == 1)
        MOONQ_SavePendingSoon();   // a crash must not lose what the list holds now
    if (q == 1) {
        MQUI_Refresh();
    } else if (q == 2 && ui.currentDownload == nullptr) {
        MQUI_StopWorkTimer(window);
        MQUI_Refresh();
    } else if (changed) {
        MQUI_Refresh();
    }
    MQUI_HurryWorkTimer(window, MOONQ_HarvestCutShort());
    ui.inTimerTask = false;
    showDueSummary();
}

void MQUI_ShowProgress(int64_t done, int64_t total, int32_t connections)
{
    // In floating point: a hostile size near the 64-bit limit must not overflow the product.
    ui.shownPercent = total > 0 ? int32_t(100.0 * double(std::min<int64_t>(done, total)) / double(total)) : -1;
    MQUI_UpdateTray();
    if (ui.hwndProgress == nullptr)
        return;
    char line[128];
    MQUI_FormatByteLine(done, total, line, sizeof line);
    setItemText(ui.hwndProgress, IDC_PROGRESS_BYTES, line);
    const double seconds = RateClock_Seconds(ui.rateClock);
    if (seconds > SHORTEST_RATE_SPAN) {
        MQUI_FormatRateLine(done, total, ui.rateBase, seconds, connections, line, sizeof line);
        setItemText(ui.hwndProgress, IDC_PROGRESS_RATE, line);
    }
    Win_Invalidate(ui.hwndProgress, true);
}

intptr_t MQUI_ProgressProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return true;
    case WM_PAINT:
        if (ui.currentDownload == nullptr || ui.currentDownload->item == nullptr)
            return false;
        paintProgressBar(dialog, ui.currentDownload);
        return true;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDCANCEL)
            return false;
        // The worker stops before its next block; the timer task then ends the run.
        MOONQ_CancelRequest(ui.currentDownload);
        ui.stopAfterCurrent = true;
        return true;
    default:
        return false;
    }
}

RateClock* RateClock_Start()
{
    auto* clock = new (std::nothrow) RateClock{};
    if (clock == nullptr)
        return nullptr;
    using Period = std::chrono::steady_clock::period;
    clock->frequency = double(Period::den) / double(Period::num);
    clock->start = counterNow();
    return clock;
}

void RateClock_Free(RateClock* clock)
{
    delete clock;
}

double RateClock_Seconds(const RateClock* clock)
{
    if (clock == nullptr)
        return -999.0;
    return double(counterNow() - clock->start) / clock->frequency;
}

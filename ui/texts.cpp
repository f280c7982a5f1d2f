#include "ui/texts.h"

#include "ui/ui.h"

#include "core/workers.h"
#include "platform/files.h"
#include "platform/text.h"
#include "settings/schedule.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Texts that already name a scheme we speak; typed ones without it get URL_PREFIX.
constexpr const char* KNOWN_SCHEMES[] = {"http://", "https://", "ftp://"};

// Shown in bytes below this size, in K from it on.
constexpr int64_t BYTES_SHOWN_IN_K = 10000;
constexpr size_t RATE_TEXT_SIZE = 32;
constexpr int DIGITS_PER_GROUP = 3;

constexpr int64_t SIZE_IN_BYTES_BELOW = 10000;
// Month names of the row's own, whatever the locale says.
constexpr const char* MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A count from a double: none below 0 (a file larger than reported has no time left), and
// saturated where int64 ends, whatever sizes a pending list claims.
int64_t countOf(double value)
{
    constexpr double LARGEST = 9.2e18;   // below 2^63, so every value up to it converts
    if (!(value > 0.0))
        return 0;
    return value < LARGEST ? int64_t(value) : int64_t(LARGEST);
}

// Appends the formatted text behind what buffer holds, as far as it fits.
template <typename... Args>
void appendText(char* buffer, size_t size, const char* format, Args... args)
{
    const size_t used = std::strlen(buffer);
    if (used + 1 < size)
        std::snprintf(buffer + used, size - used, format, args...);
}

}  // namespace

char* MQUI_FormatCount(uint64_t value, char* buffer, size_t size)
{
    // Too small for a digit and its terminator: the text stays empty.
    if (size < 2) {
        if (size == 1)
            buffer[0] = '\0';
        return buffer;
    }
    size_t p = size - 1;
    buffer[p] = '\0';
    if (value == 0) {
        buffer[--p] = '0';
        return buffer + p;
    }
    int digits = 0;
    while (value != 0 && p > 0) {
        buffer[--p] = char('0' + value % 10);
        value /= 10;
        if (++digits < DIGITS_PER_GROUP)
            continue;
        if (value == 0)
            break;
        // Without room for a comma and a digit the commas stop; the digits go on as long as they fit.
        if (p > 1) {
            buffer[--p] = ',';
            digits = 0;
        }
    }
    return buffer + p;
}

void MQUI_FormatByteLine(int64_t done, int64_t total, char* line, size_t size)
{
    if (total >= BYTES_SHOWN_IN_K)
        std::snprintf(line, size, "Downloaded %" PRId64 "K out of %" PRId64 "K.", done >> 10,
                      total >> 10);
    else
        std::snprintf(line, size, "Downloaded %" PRId64 " bytes out of %" PRId64 " bytes.", done,
                      total);
}

void MQUI_FormatRateLine(int64_t done, int64_t total, int64_t base, double seconds, int32_t connections,
                         char* line, size_t size)
{
    const double rate = (double(done) - double(base)) / seconds;
    if (rate <= 1.0) {
        std::snprintf(line, size, "Bytes/second = 0. Estimated time remaining = FOREVER");
        return;
    }
    char buffer[RATE_TEXT_SIZE];
    const char* rateText = MQUI_FormatCount(uint64_t(countOf(rate)), buffer, sizeof buffer);
    const int64_t left = countOf((double(total) - double(done)) / rate);
    char over[32] = "";
    if (connections > 1)
        std::snprintf(over, sizeof over, " over %d connections", connections);
    std::snprintf(line, size,
                  "Bytes/second = %s%s. Estimated time remaining = %" PRId64 ":%02" PRId64 ":%02" PRId64,
                  rateText, over, left / 3600, (left / 60) % 60, left % 60);
}

void MQUI_DescribeRun(char* text, size_t size)
{
    char bytes[RATE_TEXT_SIZE];
    std::snprintf(text, size, "Download run finished: %d downloaded (%s bytes), %d failed.\n", ui.runFileCount,
                  MQUI_FormatCount(uint64_t(ui.runByteCount), bytes, sizeof bytes), ui.runFailCount);
    const int named = std::min(ui.runFailCount, RUN_FAILURES_KEPT);
    for (int i = 0; i < named; ++i)
        appendText(text, size, "\n%s\n%s\n", ui.runFailures[i].url, ui.runFailures[i].reason);
    if (ui.runFailCount > named)
        appendText(text, size, "\nand %d more.\n", ui.runFailCount - named);
    if (named > 0)
        appendText(text, size, "\nThe failed links wait at the end of the list.");
}

void MQUI_FormatFailure(const UrlItem* item, uint32_t flags, char* text, size_t size)
{
    // A broken-off item's size would say "ready"; the person sees what stopped its last download.
    const char* format = (flags & ITEM_FAILED) ? "Error: %d - %s" : "Download broke off: %d - %s";
    std::snprintf(text, size, format, item->status, item->statusText);
}

void MQUI_FailureText(const UrlItem* item, char* text, size_t size)
{
    auto lock = MOONQ_LockItem();
    MQUI_FormatFailure(item, item->flags, text, size);
}

void MQUI_SizeText(const UrlItem* item, char* text, size_t size)
{
    const int64_t part = std::max(item->partDone.load(std::memory_order_relaxed), Seg_Bytes(MOONQ_PartRanges(item)));
    if (part > 0 && item->size < SIZE_IN_BYTES_BELOW)
        std::snprintf(text, size, "%" PRId64 " of %" PRId64 " bytes done,", part, item->size);
    else if (part > 0)
        std::snprintf(text, size, "%" PRId64 "K of %" PRId64 "K done,", part / 1024, item->size / 1024);
    else if (item->size < SIZE_IN_BYTES_BELOW)
        std::snprintf(text, size, "%" PRId64 " bytes,", item->size);
    else
        std::snprintf(text, size, "%" PRId64 "K,", item->size / 1024);
}

void MQUI_MomentText(int64_t at, int64_t now, char* text, size_t size)
{
    const std::time_t atTime = std::time_t(at), nowTime = std::time_t(now);
    std::tm when{}, today{};
    localtime_r(&atTime, &when);
    localtime_r(&nowTime, &today);
    char clock[SCHEDULE_TEXT_SIZE];
    Schedule_ClockText((when.tm_hour * 60 + when.tm_min) * 60 + when.tm_sec, clock, sizeof clock);
    const char* time = clock + std::strspn(clock, " ");
    const char* month = MONTHS[when.tm_mon % 12];
    if (when.tm_year != today.tm_year)
        std::snprintf(text, size, "%s %d %d, %s", month, when.tm_mday, when.tm_year + 1900, time);
    else if (when.tm_yday != today.tm_yday)
        std::snprintf(text, size, "%s %d, %s", month, when.tm_mday, time);
    else
        std::snprintf(text, size, "%s", time);
}

void MQUI_ShownName(const UrlItem* item, char* name, size_t size)
{
    auto lock = MOONQ_LockItem();
    const char* slash = std::strrchr(item->localPath, PATH_SEP);
    const char* shown = item->localPath[0] == '\0' ? item->url : slash != nullptr ? slash + 1 : item->localPath;
    std::snprintf(name, size, "%s", shown);
}

void MQUI_TrayTipText(bool armed, char* text, size_t size)
{
    if (ui.currentDownload != nullptr) {
        char name[URL_CAPACITY];
        MQUI_ShownName(ui.currentDownload->item, name, sizeof name);
        if (ui.shownPercent < 0)
            std::snprintf(text, size, "Moonfetch: downloading %s", name);
        else
            std::snprintf(text, size, "Moonfetch: downloading %s, %d%%", name, int(ui.shownPercent));
        return;
    }
    const int32_t count = ui.itemCount;
    const int written = count == 0 ? std::snprintf(text, size, "Moonfetch: no links waiting")
                                   : std::snprintf(text, size, "Moonfetch: %d link%s waiting", int(count),
                                                   count == 1 ? "" : "s");
    if (!armed || written < 0 || size_t(written) >= size)
        return;
    std::snprintf(text + written, size - size_t(written), "\nDownloads at %s", Schedule_StartText());
}

bool MQUI_NamesKnownScheme(const char* text)
{
    for (const char* scheme : KNOWN_SCHEMES) {
        if (Text_StartsWithNoCase(text, scheme))
            return true;
    }
    return false;
}

size_t MQUI_TypedLinkLength(const char* text)
{
    return std::strlen(text) + (MQUI_NamesKnownScheme(text) ? 0 : URL_PREFIX_LENGTH);
}

void MQUI_TypedLink(const char* text, char* link, size_t size)
{
    std::snprintf(link, size, "%s%s", MQUI_NamesKnownScheme(text) ? "" : URL_PREFIX, text);
}

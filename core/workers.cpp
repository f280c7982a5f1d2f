#include "core/workers.h"

#include "core/querypool.h"
#include "core/rangefetch.h"
#include "core/verify.h"

#include "diag/trace.h"
#include "platform/files.h"
#include "platform/text.h"
#include "web/cookies.h"
#include "web/expiry.h"
#include "web/linkdrop.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>

static_assert(std::is_standard_layout_v<UrlRequest> && offsetof(UrlRequest, link) == 0,
              "a request must start with its list link");

static_assert(ETAG_CAPACITY == ETAG_CAPACITY && DATE_CAPACITY == DATE_CAPACITY,
              "an item holds the validators a request learns");

namespace {

using Clock = std::chrono::steady_clock;

std::mutex itemLock;

constexpr int STOP_WAIT_MS = 1000;
// Waits before the retries of a download, and the longest a server's Retry-After may ask for.
constexpr int RETRY_WAIT_SECONDS[MAX_RETRIES] = {1, 4, 16};
constexpr int RETRY_AFTER_CAP_SECONDS = 60;
// A try that met another version of the file on one of its ranges: the file starts over at once,
// as part of the same try, this many times at most (a server that keeps changing the file then
// costs retries like any early end).
constexpr int32_t VERSION_CHANGED = 1 << 20;
constexpr int MAX_RESTARTS = 3;
constexpr auto WAIT_SLICE = std::chrono::milliseconds(10);
// A running download records its part on disk when this much came and this long passed since
// the last record.
constexpr int64_t PART_RECORD_BYTES = 1 << 20;
constexpr auto PART_RECORD_INTERVAL = std::chrono::seconds(2);

// A failure whose cause lies on our side: the item shows our own words (Err_Text) with status 0.
struct LocalFailure {
    int32_t code;
    const char* traceFormat;   // null when nothing is traced
};

constexpr LocalFailure LOCAL_FAILURES[] = {
    {ERR_BAD_URL, "Download/Query status, bad URL. %s\n"},
    {ERR_BAD_COOKIE, "Download/Query status: bad cookie. %s\n"},
    {ERR_NAME_TOO_LONG, nullptr},
};

void setItemStatus(UrlItem* item, int32_t status, const char* text)
{
    auto lock = MOONQ_LockItem();
    item->status = status;
    Text_CopyBounded(item->statusText, text);
}

// What a refusal means for the link, in words the person reads after the server's own.
struct StatusMeaning {
    uint32_t status;
    const char* words;
};

constexpr StatusMeaning STATUS_MEANINGS[] = {
    {401, "the server asks for a login"},
    {403, "the server refuses this link: it may have expired or need a login"},
    {410, "the server no longer offers the file at this link"},
};

constexpr const char* EXPIRED_TEXT = "The link has expired.";
constexpr const char* PAGE_NOT_FILE_TEXT = "The server answered with a web page, not a file.";

bool hasExpired(const UrlItem* item)
{
    return item->expiresAt != EXPIRY_NONE && std::time(nullptr) >= item->expiresAt;
}

// An HTTP failure in the person's words: once the link's own end has passed, that it expired;
// else the server's reason, with what it means where that is known.
void explainRefusal(UrlItem* item, const WireRequest& web)
{
    if (web.status < 400 || web.status > 599)
        return;
    if (web.status / 100 == 4 && web.status != 408 && web.status != 429)
        item->flags |= ITEM_LINK_REFUSED;
    if (hasExpired(item)) {
        setItemStatus(item, int32_t(web.status), EXPIRED_TEXT);
        return;
    }
    for (const StatusMeaning& meaning : STATUS_MEANINGS) {
        if (meaning.status != web.status)
            continue;
        // Room for both whole; the item keeps what fits.
        char text[STATUS_CAPACITY + 128];
        std::snprintf(text, sizeof text, "%s (%s)", web.statusText, meaning.words);
        setItemStatus(item, int32_t(web.status), text);
    }
}

// Marks the item failed; a failure of our own replaces the server's words with ours.
void markFailed(UrlItem* item, int32_t code)
{
    item->flags |= ITEM_FAILED;
    for (const LocalFailure& failure : LOCAL_FAILURES) {
        if (failure.code != code)
            continue;
        const char* text = Err_Text(uint32_t(code));
        setItemStatus(item, 0, text);
        if (failure.traceFormat)
            Trace_PrintString(TRACE_ALL, failure.traceFormat, text);
    }
}

// The name the answer that decided gives the file (Content-Disposition) when a safe one is left,
// else the final URL's last segment.
int32_t localNameFor(WireRequest* web, const char* directory, char* name, size_t size, bool byExtension)
{
    char disposition[URL_CAPACITY];
    if (Inet_HttpHeader(web->hRequest, "Content-Disposition", disposition, sizeof disposition) &&
        Url_LocalNameFromDisposition(disposition, directory, name, size, byExtension) == 0)
        return 0;
    return Url_LocalNameFromURL(web->objectName, directory, name, size, byExtension);
}

// After a successful query: the local name, the size and the final URL go into the item.
int32_t finishQuery(UrlRequest* request)
{
    UrlItem* item = request->item;
    char directory[PATH_CAPACITY];
    MOONQ_CopyDownloadDir(directory, sizeof directory);
    char name[LOCAL_NAME_CAPACITY];
    int32_t r = localNameFor(&request->web, directory, name, sizeof name, (item->flags & ITEM_EXT_DIR) != 0);
    if (r < 0) {
        markFailed(item, r);
        return r;
    }
    const WireRequest& web = request->web;
    const bool http = web.scheme == SCHEME_HTTP || web.scheme == SCHEME_HTTPS;
    const ChecksumClaim claim = http ? Checksums_OfAnswer(web.hRequest, false) : ChecksumClaim{};
    auto lock = MOONQ_LockItem();
    item->checksum = claim;
    MOONQ_SetLocalName(item, name);
    item->size = int64_t(request->web.contentLength);
    Trace_PrintInt64(TRACE_ALL, "QueryURL, size = %d\n", item->size);
    if (request->web.location[0] != '\0') {
        Text_CopyBounded(item->url, request->web.location);
        item->expiresAt = Expiry_FromUrl(item->url);
    }
    Text_CopyBounded(item->etag, request->web.etag);
    Text_CopyBounded(item->lastModified, request->web.lastModified);
    if (request->web.isPage)
        item->flags |= ITEM_QUERY_PAGE;
    else
        item->flags &= ~ITEM_QUERY_PAGE;
    return 1;
}

// What identifies the file in state; its modification time only when no more writes follow.
LocalFileId fileIdOf(const PlatFileState& state, bool final)
{
    return {state.device, state.inode, final ? state.modifiedNs : 0};
}

// Whether the entry in state (a link not followed) is the file recorded as id.
bool isFile(const PlatFileState& state, const LocalFileId& id)
{
    return state.regular && state.device == id.device && state.inode == id.inode &&
           (id.modifiedNs == 0 || state.modifiedNs == id.modifiedNs);
}

// Records bytes as the item's part, held in the file that file identifies.
void recordPart(UrlItem* item, int64_t bytes, const LocalFileId& file)
{
    auto lock = MOONQ_LockItem();
    item->partFile = file;
    item->partDone.store(bytes, std::memory_order_relaxed);
    SegDone prefix{};
    Seg_Add(&prefix, {0, bytes});
    MOONQ_SetPartRanges(item, prefix);
}

// Records the ranges done as the item's part, held in the file that file identifies.
void recordRanges(UrlItem* item, const SegDone& done, const LocalFileId& file)
{
    auto lock = MOONQ_LockItem();
    item->partFile = file;
    MOONQ_SetPartRanges(item, done);
    item->partDone.store(Seg_Prefix(done), std::memory_order_relaxed);
}

// While the download runs, the part written is recorded now and then, so that even a killed
// process leaves a part the next start may continue. The bytes are handed to the system, which
// keeps them when the process dies; waiting for the disk here would hold up the download
// itself, so a crash of the whole machine may leave the file shorter than recorded, and the
// next start then writes it from its start.
struct PartRecorder {
    int64_t bytes = 0;
    Clock::time_point when = Clock::now();

    void update(UrlRequest* request)
    {
        const int64_t done = request->bytesDone.load(std::memory_order_relaxed);
        if (done - bytes < PART_RECORD_BYTES || Clock::now() - when < PART_RECORD_INTERVAL)
            return;
        bytes = done;
        when = Clock::now();
        PlatFileState state;
        // More writes follow, so the file's time is not kept: it would no longer match.
        if (std::fflush(request->localFile) == 0 && Plat_StateOf(request->localFile, &state) == 0)
            recordPart(request->item, done, fileIdOf(state, false));
    }
};

// Copies blocks into the open local file until the end, a failure or a cancel.
int32_t copyAll(UrlRequest* request, uint32_t timeout, int32_t* outcome)
{
    const char* path = request->item->localPath;
    PartRecorder recorder{request->bytesDone.load(std::memory_order_relaxed)};
    for (;;) {
        if (request->cancel.load(std::memory_order_acquire)) {
            Trace_PrintString(TRACE_ALL, "DownloadURL, cancelled %s\n", path);
            *outcome = RESULT_CANCELLED;
            return 0;
        }
        int32_t r = MOONQ_CopyBlock(request, timeout);
        if (r < 0)
            return r;
        if (r > 0) {
            Trace_PrintString(TRACE_ALL, "DownloadURL, finished %s\n", path);
            *outcome = RESULT_DOWNLOADED;
            return r;
        }
        recorder.update(request);
    }
}

// Ends a download that did not leave the whole file: the item says why and stays ready for the
// next run.
int32_t breakOff(UrlItem* item, int32_t code, int32_t status, const char* text,
                 const char* traceFormat)
{
    Trace_PrintString(TRACE_ALL, traceFormat, item->localPath);
    setItemStatus(item, status, text);
    item->flags |= ITEM_BROKEN_OFF;
    return code;
}

int32_t writeFailed(UrlItem* item, int error)
{
    std::string text = error == ENOSPC
                           ? "Could not write the local file: disk full."
                           : "Could not write the local file: " +
                                 std::error_code(error, std::generic_category()).message() + ".";
    return breakOff(item, ERR_WRITE_FAILED, 0, text.c_str(), "DownloadURL, write failed %s\n");
}

// The bytes the download should bring: the answer's own length, else what the query learnt.
int64_t announcedSize(const UrlRequest* request)
{
    if (request->web.contentLength > 0)
        return int64_t(std::min<uint64_t>(request->web.contentLength, INT64_MAX));
    auto lock = MOONQ_LockItem();
    return request->item->size;
}

// The client's failure in readable words, with how far the download got.
int32_t readFailed(UrlRequest* request)
{
    const uint32_t error = request->web.status;
    const int64_t done = request->bytesDone.load(std::memory_order_relaxed);
    const int64_t total = announcedSize(request);
    char text[STATUS_CAPACITY];
    if (total > 0)
        std::snprintf(text, sizeof text, "%s after %" PRId64 " of %" PRId64 " bytes.",
                      Inet_ErrorText(error), done, total);
    else
        std::snprintf(text, sizeof text, "%s after %" PRId64 " bytes.", Inet_ErrorText(error), done);
    return breakOff(request->item, -1, int32_t(error), text, "DownloadURL, broke off %s\n");
}

// After the last block: the data is out of the stream's buffer and its file still has a name,
// so closing it leaves the file on disk. 1, or the failure.
int32_t settle(UrlRequest* request)
{
    if (std::fflush(request->localFile) != 0)
        return writeFailed(request->item, errno);
    PlatFileState state;
    if (Plat_StateOf(request->localFile, &state) == 0 && !state.named)
        return breakOff(request->item, ERR_WRITE_FAILED, 0,
                        "The local file was removed during the download.",
                        "DownloadURL, local file removed %s\n");
    return 1;
}

// A clean end of the connection is no proof of a whole file: as many bytes must have come as
// were announced. 1, or ERR_SHORT_TRANSFER.
int32_t checkComplete(UrlRequest* request)
{
    const int64_t done = request->bytesDone.load(std::memory_order_relaxed);
    const int64_t total = announcedSize(request);
    if (done >= total)
        return 1;
    char text[STATUS_CAPACITY];
    std::snprintf(text, sizeof text, "Transfer ended early: %" PRId64 " of %" PRId64 " bytes.",
                  done, total);
    return breakOff(request->item, ERR_SHORT_TRANSFER, int32_t(request->web.status), text,
                    "DownloadURL, ended early %s\n");
}

// Copies every block, then makes sure the whole file landed on disk under its name.
int32_t fillLocalFile(UrlRequest* request, uint32_t timeout, int32_t* outcome)
{
    int32_t r = copyAll(request, timeout, outcome);
    if (r == ERR_CALL_FAILED)
        return readFailed(request);
    if (r == ERR_WRITE_FAILED)
        return writeFailed(request->item, request->writeError);
    if (r == ERR_TOO_MANY_BYTES)
        return breakOff(request->item, r, int32_t(request->web.status), request->web.statusText,
                        "DownloadURL, more than announced %s\n");
    if (*outcome != RESULT_DOWNLOADED)
        return r;
    return settle(request);
}

// Records what a download that did not end whole leaves on disk: the part that reached the
// file (what a full disk kept in the stream's buffer is not part of it), up to trusted bytes,
// once it is on the disk itself; nothing when the file is gone from its folder. What the stream
// could not write is dropped, so that closing it changes the file no more.
void keepPart(UrlRequest* request, int64_t trusted)
{
    PlatFileState state;
    const bool kept = Plat_KeepWritten(request->localFile, &state) == 0;
    recordPart(request->item, kept ? std::min(state.size, trusted) : 0,
               kept ? fileIdOf(state, true) : LocalFileId{});
}

// The answer decided where its data go: from the start, the file now holds the version that
// answer names, of the size it names; and the progress starts where this try starts.
void beginWriting(UrlRequest* request, int64_t from)
{
    UrlItem* item = request->item;
    if (from == 0) {
        auto lock = MOONQ_LockItem();
        item->partDone.store(0, std::memory_order_relaxed);
        MOONQ_SetPartRanges(item, SegDone{});
        Text_CopyBounded(item->etag, request->web.etag);
        Text_CopyBounded(item->lastModified, request->web.lastModified);
        if (request->web.contentLength > 0)
            item->size = int64_t(std::min<uint64_t>(request->web.contentLength, INT64_MAX));
    }
    request->bytesDone.store(from, std::memory_order_relaxed);
    request->resumedFrom.store(from, std::memory_order_relaxed);
    request->attempt.fetch_add(1, std::memory_order_release);
}

bool announcesNewVersion(const WireRequest& web, const UrlItem* item);

// Writes the web request's data into the item's local file, behind the part the answer
// continues.
int32_t downloadInto(UrlRequest* request, uint32_t timeout, int32_t* outcome)
{
    UrlItem* item = request->item;
    if (item->localPath[0] == '\0')
        return ERR_LOCAL_FILE;
    const int64_t from = request->web.resumeFrom;
    request->localFile = MOONQ_OpenLocalFileAt(item->localPath, from);
    if (request->localFile == nullptr && from > 0) {
        item->partDone.store(0, std::memory_order_relaxed);
        return breakOff(item, ERR_WRITE_FAILED, 0, "The local file was removed during the download.",
                        "DownloadURL, local file removed %s\n");
    }
    if (request->localFile == nullptr) {
        Trace_PrintString(TRACE_ALL, "DownloadURL, failed to open %s\n", item->localPath);
        setItemStatus(item, item->status, "Could not open local file.");
        item->flags |= ITEM_NEEDS_FIX;
        return ERR_LOCAL_FILE;
    }
    MOONQ_BeginVerify(request, from, !announcesNewVersion(request->web, item));
    beginWriting(request, from);
    // A real buffer: glibc ignores the size when it chooses the buffer itself.
    std::array<char, 64 * 1024> buffer;
    std::setvbuf(request->localFile, buffer.data(), _IOFBF, buffer.size());
    int32_t r = fillLocalFile(request, timeout, outcome);
    if (r >= 0 && *outcome == RESULT_DOWNLOADED)
        r = checkComplete(request);
    const bool whole = r >= 0 && *outcome == RESULT_DOWNLOADED;
    // An answer that sent more than it announced may have sent anything: none of its bytes is kept.
    if (!whole)
        keepPart(request, r == ERR_TOO_MANY_BYTES ? from : INT64_MAX);
    const bool closed = std::fclose(request->localFile) == 0;
    const int closeError = errno;
    request->localFile = nullptr;
    if (whole && !closed)
        return writeFailed(item, closeError);
    if (!whole) {
        MOONQ_DropVerify(request);
        return r;
    }
    if (MOONQ_VerifyFile(request) != 1)
        return breakOff(item, ERR_CHECKSUM_MISMATCH, 0, Err_Text(uint32_t(ERR_CHECKSUM_MISMATCH)),
                        "DownloadURL, checksum mismatch, file discarded %s\n");
    return r;
}

// The version that a part of the item's file may be continued with: a strong ETag, else the
// date; empty when the item names neither (a weak ETag never matches a range).
const char* versionOf(const UrlItem* item)
{
    if (item->etag[0] != '\0' && std::strncmp(item->etag, "W/", 2) != 0)
        return item->etag;
    return item->lastModified;
}

constexpr int64_t NOT_THE_PART_FILE = -1;

// The bytes at the start of the local file that the next try may keep (0: write it whole), or
// NOT_THE_PART_FILE when another file or a link took the place of the part.
int64_t partToKeep(const UrlItem* item, bool ftp)
{
    const int64_t part = std::max(item->partDone.load(std::memory_order_relaxed), Seg_End(MOONQ_PartRanges(item)));
    const bool known = ftp ? item->size > 0 : versionOf(item)[0] != '\0';
    PlatFileState state;
    if (part <= 0 || Plat_LookAt(item->localPath, &state) != 0)
        return 0;
    if (!isFile(state, item->partFile))
        return NOT_THE_PART_FILE;
    if (!known || state.size < part || (item->size > 0 && state.size > item->size))
        return 0;
    return part;
}

// Whether the ranges done are more than the part at the file's start.
bool hasGaps(const UrlItem* item)
{
    return Seg_Bytes(MOONQ_PartRanges(item)) > item->partDone.load(std::memory_order_relaxed);
}

// Offers the server the part of the file already on disk; false when the file under the local
// name is not the one that holds the part.
bool offerPart(UrlRequest* request)
{
    UrlItem* item = request->item;
    WireRequest& web = request->web;
    web.bufferCount = 0;
    web.complete = false;
    web.etag[0] = web.lastModified[0] = '\0';
    auto lock = MOONQ_LockItem();
    const bool ftp = Text_StartsWithNoCase(item->url, "ftp://");
    web.expectedSize = item->size;
    Text_CopyBounded(web.ifRange, versionOf(item));
    const int64_t keep = partToKeep(item, ftp);
    web.resumeFrom = std::max<int64_t>(keep, 0);
    web.rangeEnd = 0;
    web.askRange = false;
    if (keep == 0)
        MOONQ_SetPartRanges(item, SegDone{});
    if (!ftp && web.ifRange[0] != '\0' && item->size > 0 && (request->connectionLimit > 1 || hasGaps(item))) {
        // The first missing range, from its first byte on; the others come once it answers.
        SegRange gap{};
        if (Seg_Missing(MOONQ_PartRanges(item), item->size, &gap, 1) == 1) {
            web.resumeFrom = gap.first;
            web.rangeEnd = gap.end < item->size ? gap.end : 0;
            web.askRange = true;
        }
    }
    return keep != NOT_THE_PART_FILE;
}

// Failures that may go away by themselves: the connection dropped or timed out, the data ended
// early, or the server was busy or asked to be tried later.
bool worthRetrying(const UrlRequest* request, int32_t r)
{
    if (r == ERR_SHORT_TRANSFER)
        return true;
    if (r != ERR_CALL_FAILED)
        return false;
    const uint32_t status = request->web.status;
    return status == INET_ERR_TIMEOUT || status == INET_ERR_CONNECTION_ABORTED || status == 408 ||
           status == 429 || status / 100 == 5;
}

// Seconds before the retry-th retry (from 0): the server's Retry-After, else the next wait.
int retryWait(const UrlRequest* request, int retry)
{
    const int32_t asked = request->web.status < 600 ? request->web.retryAfter : -1;
    return asked >= 0 ? std::min(asked, RETRY_AFTER_CAP_SECONDS) : RETRY_WAIT_SECONDS[retry];
}

// Waits before a retry; false when a cancel or an abort came first.
bool waitToRetry(UrlRequest* request, int seconds)
{
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        if (request->cancel.load(std::memory_order_acquire) || request->web.abort.load())
            return false;
        std::this_thread::sleep_for(WAIT_SLICE);
    }
    return true;
}

// Whether the answer names a version other than the one the item holds: a strong ETag or a date.
bool announcesNewVersion(const WireRequest& web, const UrlItem* item)
{
    const bool strongTag = web.etag[0] != '\0' && std::strncmp(web.etag, "W/", 2) != 0;
    return (strongTag && std::strcmp(web.etag, item->etag) != 0) ||
           (web.lastModified[0] != '\0' && std::strcmp(web.lastModified, item->lastModified) != 0);
}

// Whether a web page came where the file should: the query saw none, or the page's length is not
// the size the query saw while no new version was announced.
bool isPageInstead(const UrlRequest* request)
{
    const WireRequest& web = request->web;
    const UrlItem* item = request->item;
    if (!web.isPage)
        return false;
    if (!(item->flags & ITEM_QUERY_PAGE))
        return true;
    auto lock = MOONQ_LockItem();
    const bool otherLength = item->size > 0 && web.contentLength > 0 && int64_t(web.contentLength) != item->size;
    return otherLength && !announcesNewVersion(web, item);
}

// The first line of the page's title, from a bounded read of its body; empty when none shows.
std::string pageTitle(WireRequest* web)
{
    constexpr size_t TITLE_SCAN_BYTES = 8 * WIRE_BLOCK;
    std::string body;
    while (body.size() < TITLE_SCAN_BYTES && Wire_Read(web) == 0) {
        body.append(web->buffer, size_t(web->bufferCount));
        web->bufferCount = 0;
    }
    std::string lower(body);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    const size_t tag = lower.find("<title");
    const size_t open = tag == std::string::npos ? tag : lower.find('>', tag);
    if (open == std::string::npos)
        return {};
    const size_t from = body.find_first_not_of(" \t\r\n", open + 1);
    if (from == std::string::npos)
        return {};
    return body.substr(from, body.find_first_of("<\r\n", from) - from);
}

// Leaves the local file as it is and the item broken off: the page is not the file.
int32_t refusePage(UrlRequest* request)
{
    const std::string title = pageTitle(&request->web);
    Trace_PrintString(TRACE_ALL, "DownloadURL, a web page instead of the file, titled: %s\n", title.c_str());
    UrlItem* item = request->item;
    item->flags |= ITEM_LINK_REFUSED;
    return breakOff(item, ERR_WEB_PAGE, 0, Err_Text(uint32_t(ERR_WEB_PAGE)),
                    "DownloadURL, nothing written to %s\n");
}

// Runs the range fetch into the open local file and says how it ended, as downloadInto does.
int32_t fetchInto(UrlRequest* request, RangeJob* job, int32_t* outcome)
{
    UrlItem* item = request->item;
    job->record = [&](const SegDone& done) {
        PlatFileState state;
        if (Plat_StateOf(request->localFile, &state) == 0)
            recordRanges(item, done, fileIdOf(state, false));
    };
    const int32_t r = MOONQ_FetchRanges(job);
    if (r == 1) {
        Trace_PrintString(TRACE_ALL, "DownloadURL, finished %s\n", item->localPath);
        *outcome = RESULT_DOWNLOADED;
        return settle(request);
    }
    if (r == RANGES_CANCELLED) {
        Trace_PrintString(TRACE_ALL, "DownloadURL, cancelled %s\n", item->localPath);
        *outcome = RESULT_CANCELLED;
        return 0;
    }
    if (r == ERR_WRITE_FAILED)
        return writeFailed(item, job->writeError);
    if (r == RANGES_RESTART) {
        job->done = SegDone{};
        Trace_PrintString(TRACE_ALL, "DownloadURL, another version: from the start %s\n", item->localPath);
        return VERSION_CHANGED;
    }
    return readFailed(request);
}

// Closes the file of a range fetch that ended with r: the ranges done recorded unless the file
// is whole, which is then checked against its checksum.
int32_t endRanges(UrlRequest* request, const SegDone& done, int32_t r, const int32_t* outcome)
{
    UrlItem* item = request->item;
    const bool whole = r >= 0 && *outcome == RESULT_DOWNLOADED;
    if (!whole) {
        PlatFileState state;
        const bool kept = Plat_KeepWritten(request->localFile, &state) == 0;
        recordRanges(item, kept ? done : SegDone{}, kept ? fileIdOf(state, true) : LocalFileId{});
    }
    const bool closed = std::fclose(request->localFile) == 0;
    const int closeError = errno;
    request->localFile = nullptr;
    if (whole && !closed)
        return writeFailed(item, closeError);
    if (whole && MOONQ_VerifyFile(request) != 1)
        return breakOff(item, ERR_CHECKSUM_MISMATCH, 0, Err_Text(uint32_t(ERR_CHECKSUM_MISMATCH)),
                        "DownloadURL, checksum mismatch, file discarded %s\n");
    return r;
}

// Writes the file's missing ranges at their places, over as many connections as help.
int32_t downloadRanges(UrlRequest* request, uint32_t timeout, int32_t* outcome)
{
    UrlItem* item = request->item;
    if (item->localPath[0] == '\0')
        return ERR_LOCAL_FILE;
    RangeJob job{};
    {
        auto lock = MOONQ_LockItem();
        job.done = MOONQ_PartRanges(item);
        job.size = item->size;
    }
    PlatFileState state;
    const bool held = job.done.count > 0 && Plat_LookAt(item->localPath, &state) == 0;
    request->localFile = MOONQ_OpenLocalFileAt(item->localPath, held ? state.size : 0);
    if (request->localFile == nullptr) {
        Trace_PrintString(TRACE_ALL, "DownloadURL, failed to open %s\n", item->localPath);
        setItemStatus(item, item->status, "Could not open local file.");
        item->flags |= ITEM_NEEDS_FIX;
        return ERR_LOCAL_FILE;
    }
    // The ranges come in no order: the file is read back to check it.
    MOONQ_BeginVerify(request, request->web.resumeFrom, !announcesNewVersion(request->web, item));
    MOONQ_DropVerify(request);
    if (!held)
        beginWriting(request, 0);
    request->bytesDone.store(Seg_Bytes(job.done), std::memory_order_relaxed);
    request->resumedFrom.store(Seg_Bytes(job.done), std::memory_order_relaxed);
    if (held)
        request->attempt.fetch_add(1, std::memory_order_release);
    job.request = request;
    job.file = request->localFile;
    job.limit = request->connectionLimit;
    job.timeout = timeout;
    const int32_t r = Plat_Reserve(request->localFile, job.size);
    return endRanges(request, job.done, r != 0 ? writeFailed(item, r) : fetchInto(request, &job, outcome), outcome);
}

// One try: the request for what is still missing, then its data into the local file.
int32_t downloadOnce(UrlRequest* request, uint32_t timeout, int32_t* outcome, bool* answered)
{
    UrlItem* item = request->item;
    item->flags &= ~(ITEM_BROKEN_OFF | ITEM_LINK_REFUSED);
    if (!offerPart(request)) {
        *answered = true;   // the item says why itself: its link has not failed
        return breakOff(item, ERR_FILE_CHANGED, 0, Err_Text(uint32_t(ERR_FILE_CHANGED)),
                        "DownloadURL, local file changed %s\n");
    }
    int32_t r = Wire_Request(&request->web, item->url, MODE_DOWNLOAD, timeout);
    setItemStatus(item, int32_t(request->web.status), request->web.statusText);
    *answered = r == 1;
    if (r == ERR_CALL_FAILED)
        explainRefusal(item, request->web);
    if (r != 1)
        return r;
    if (isPageInstead(request))
        return refusePage(request);
    *outcome = RESULT_QUERIED;
    if (request->web.askRange && request->web.status == 206)
        return downloadRanges(request, timeout, outcome);
    return downloadInto(request, timeout, outcome);
}

// Downloads the item, trying again after failures that may go away.
// One try, started over at once while its ranges meet another version of the file.
int32_t downloadRestarting(UrlRequest* request, uint32_t timeout, int32_t* outcome, bool* answered)
{
    for (int restart = 0;; ++restart) {
        *outcome = RESULT_FAILED;
        const int32_t r = downloadOnce(request, timeout, outcome, answered);
        Wire_Close(&request->web);
        if (r != VERSION_CHANGED)
            return r;
        if (restart == MAX_RESTARTS)
            return breakOff(request->item, ERR_SHORT_TRANSFER, 0, "The file changed on the server: it starts over.",
                            "DownloadURL, file changed %s\n");
    }
}

int32_t downloadWithRetries(UrlRequest* request, uint32_t timeout, int32_t* outcome)
{
    UrlItem* item = request->item;
    for (int retry = 0;; ++retry) {
        bool answered = false;
        int32_t r = downloadRestarting(request, timeout, outcome, &answered);
        const bool again = r < 0 && worthRetrying(request, r);
        if (!answered && !again)
            markFailed(item, r);
        if (!again)
            return r;
        item->flags |= ITEM_BROKEN_OFF;   // what the row shows while the next try waits
        if (retry == MAX_RETRIES)
            return r;
        const int seconds = retryWait(request, retry);
        Trace_PrintInt(TRACE_ALL, "DownloadURL, retry in %d seconds\n", seconds);
        if (!waitToRetry(request, seconds)) {
            if (!request->cancel.load(std::memory_order_acquire))
                return r;
            Trace_PrintString(TRACE_ALL, "DownloadURL, cancelled %s\n", item->localPath);
            *outcome = RESULT_CANCELLED;
            return 0;
        }
        Trace_PrintInt(TRACE_ALL, "DownloadURL, retry %d\n", retry + 1);
    }
}

// Validates the item: the answer's words, and on success its size, final URL and local name.
int32_t runQuery(UrlRequest* request, uint32_t timeout, int32_t* outcome)
{
    UrlItem* item = request->item;
    int32_t r = Wire_Request(&request->web, item->url, MODE_QUERY, timeout);
    setItemStatus(item, int32_t(request->web.status), request->web.statusText);
    if (r == ERR_CALL_FAILED)
        explainRefusal(item, request->web);
    if (r != 1) {
        markFailed(item, r);
        return r;
    }
    *outcome = RESULT_QUERIED;
    return finishQuery(request);
}

// A valid item without a problem that the current run has not tried yet.
bool isReadyForRun(uint32_t flags)
{
    return (flags & ITEM_VALID) && !(flags & (ITEM_FAILED | ITEM_NEEDS_FIX | ITEM_TRIED | ITEM_NEW_LINK));
}

// Fails an item that the list kept with a page for its file; true when it did.
bool failedForPage(UrlItem* item, const DownloadOptions* options)
{
    const char* refusal = MOONQ_PageRefusal(item, options);
    if (refusal == nullptr)
        return false;
    item->flags |= ITEM_FAILED | ITEM_LINK_REFUSED;
    setItemStatus(item, item->status, refusal);
    return true;
}

}  // namespace

std::unique_lock<std::mutex> MOONQ_LockItem()
{
    return std::unique_lock(itemLock);
}

UrlItem* MOONQ_AddURL(const char* url, const DownloadOptions* options, const char* handedCookies,
                      const char* referrer)
{
    UrlItem* item = MOONQ_NewItem(url);
    if (item == nullptr)
        return nullptr;
    // The link is still worth adding without them; the trace says why its requests go without.
    if (handedCookies != nullptr && !MOONQ_HandCookies(item, handedCookies))
        Trace_PrintString(TRACE_ALL, "AddURL, cookies handed over with %s not kept\n", item->url);
    if (referrer != nullptr && referrer[0] != '\0' && !MOONQ_HandReferrer(item, referrer))
        Trace_PrintString(TRACE_ALL, "AddURL, the page handed over with %s not kept\n", item->url);
    if (options->useDirExtension)
        item->flags |= ITEM_EXT_DIR;
    UrlRequest* request = nullptr;
    if (MOONQ_StartRequest(item, options, true, &request) != 0) {
        List_Remove(&item->link);
        MOONQ_FreeItem(item);
        return nullptr;
    }
    List_Append(&requestList, &request->link);
    return item;
}

int32_t MOONQ_StartRequest(UrlItem* item, const DownloadOptions* options, bool isQuery,
                           UrlRequest** place)
{
    *place = nullptr;
    auto* request = new (std::nothrow) UrlRequest{};
    if (request == nullptr)
        return ERR_NO_MEMORY;
    List_Init(&request->link);
    List_Init(&request->queued);
    request->item = item;
    request->isQuery = isQuery;
    static_assert(OPTIONS_CONNECTIONS_MAX <= SEG_CONNECTIONS_MAX);
    request->connectionLimit = std::clamp(options->connections, 1, SEG_CONNECTIONS_MAX);
    Seg_LimiterStart(&request->limiter, int64_t(std::max(options->rateLimit, 0)) * 1024,
                     std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
    request->web.cookieSource = options->cookieSource;
    Text_CopyBounded(request->web.cookieFile, options->cookieFile);
    try {
        const HandedLink* handed = item->handed;
        if (handed != nullptr && handed->cookies != nullptr) {
            request->handedCookies = handed->cookies;
            request->web.handedCookies = request->handedCookies.c_str();
            Text_CopyBounded(request->web.handedHost, handed->host);
            request->web.handedSecure = handed->secure;
        }
        if (handed != nullptr && handed->referrer != nullptr) {
            request->handedReferrer = handed->referrer;
            request->web.referrer = request->handedReferrer.c_str();
            Text_CopyBounded(request->web.referrerOrigin, handed->referrerOrigin);
        }
        if (isQuery) {
            const int32_t r = MOONQ_QueueQuery(request);
            if (r != 0) {
                delete request;
                return r;
            }
            *place = request;
            return 0;
        }
        std::thread(MOONQ_WorkerMain, request).detach();
    } catch (const std::bad_alloc&) {
        delete request;
        return ERR_NO_MEMORY;
    } catch (const std::system_error&) {
        delete request;
        return ERR_NO_THREAD;
    }
    *place = request;
    return 0;
}

void MOONQ_WorkerMain(UrlRequest* request)
{
    MOONQ_Download(request, WORKER_TIMEOUT_MS);
}

int32_t MOONQ_Download(UrlRequest* request, uint32_t timeout)
{
    UrlItem* item = request->item;
    Trace_Print(TRACE_ALL, "MOONQ_Download =========================");
    Trace_PrintString(TRACE_ALL, request->isQuery ? "QueryURL, %s\n" : "DownloadURL, %s\n", item->url);
    int32_t outcome = RESULT_FAILED;
    int32_t r = request->isQuery ? runQuery(request, timeout, &outcome)
                                 : downloadWithRetries(request, timeout, &outcome);
    Wire_Close(&request->web);
    // The last write: after it the UI may act on the item and release the request.
    request->result.store(r < 0 ? r : outcome, std::memory_order_release);
    return 0;
}

int32_t MOONQ_CopyBlock(UrlRequest* request, uint32_t)
{
    WireRequest& web = request->web;
    int32_t r = Wire_Read(&web);
    if (r < 0 || web.bufferCount < 1)
        return r;
    if (!MOONQ_Throttle(request, &web, web.bufferCount)) {
        web.status = INET_ERR_CONNECTION_ABORTED;
        return request->cancel.load(std::memory_order_acquire) ? 0 : ERR_CALL_FAILED;
    }
    size_t written = std::fwrite(web.buffer, 1, size_t(web.bufferCount), request->localFile);
    const int64_t at = request->bytesDone.fetch_add(int64_t(written), std::memory_order_relaxed);
    MOONQ_HashWritten(request, at, web.buffer, written);
    if (written < size_t(web.bufferCount)) {
        request->writeError = errno;
        return ERR_WRITE_FAILED;
    }
    web.bufferCount = 0;
    return r;
}

void MOONQ_CancelRequest(UrlRequest* request)
{
    if (request == nullptr)
        return;
    request->cancel.store(1, std::memory_order_release);
    if (request->isQuery)
        MOONQ_WithdrawQuery(request);
}

void MOONQ_BeginRun()
{
    for (ListLink* head : {&pendingList, &deletedList})
        for (ListLink* node = head->next; node != head; node = node->next)
            MOONQ_ItemOf(node)->flags &= ~ITEM_TRIED;
}

const char* MOONQ_PageRefusal(const UrlItem* item, const DownloadOptions* options)
{
    if (!(item->flags & ITEM_QUERY_PAGE) || options->allowHTML != 0 || Link_NamesPage(item->url))
        return nullptr;
    return hasExpired(item) ? EXPIRED_TEXT : PAGE_NOT_FILE_TEXT;
}

int32_t MOONQ_StartNextDownload(UrlRequest** place, const DownloadOptions* options)
{
    *place = nullptr;
    UrlItem* item = MOONQ_FirstItem();
    while (item != nullptr && (!isReadyForRun(item->flags) || failedForPage(item, options)))
        item = MOONQ_NextItem(item);
    if (item == nullptr)
        return 1;
    item->flags &= ~(ITEM_BROKEN_OFF | ITEM_LINK_REFUSED);   // before the worker exists: this attempt starts afresh
    return MOONQ_StartRequest(item, options, false, place);
}

int32_t MOONQ_CheckBackDown(UrlRequest* request)
{
    int32_t result = request->result.load(std::memory_order_acquire);
    if (result == RESULT_RUNNING)
        return 0;
    UrlItem* item = request->item;
    List_Remove(&item->link);
    if (result == RESULT_DOWNLOADED) {
        MOONQ_FreeItem(item);
        request->item = nullptr;
        return result;
    }
    if (result == RESULT_FAILED)
        item->flags |= ITEM_FAILED;
    if (result != RESULT_CANCELLED)
        item->flags |= ITEM_TRIED;
    List_Append(&pendingList, &item->link);
    return result;
}

void MOONQ_AbortRequest(UrlRequest* request)
{
    request->aborted.store(true, std::memory_order_release);
    request->web.abort.store(true);
    if (request->isQuery)
        MOONQ_WithdrawQuery(request);
}

bool MOONQ_StopRequest(UrlRequest* request, int milliseconds)
{
    MOONQ_AbortRequest(request);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (request->result.load(std::memory_order_acquire) == RESULT_RUNNING) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void MOONQ_SuspendWorkers()
{
    for (ListLink* node = requestList.next; node != &requestList; node = node->next)
        MOONQ_AbortRequest(reinterpret_cast<UrlRequest*>(node));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(STOP_WAIT_MS);
    while (ListLink* node = List_PopFirst(&requestList)) {
        auto* request = reinterpret_cast<UrlRequest*>(node);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (MOONQ_StopRequest(request, int(std::max<int64_t>(left.count(), 0)))) {
            MOONQ_FreeRequest(request);
        } else {
            // Its worker may still write into both: they are left to the end of the process.
            List_Remove(&request->item->link);
        }
    }
}

void MOONQ_FreeRequest(UrlRequest* request)
{
    if (request != nullptr && request->replaces != nullptr) {
        // The name its query proposed may be the replaced item's own placeholder.
        MOONQ_SetLocalName(request->item, "");
        MOONQ_FreeItem(request->item);
    }
    delete request;
}

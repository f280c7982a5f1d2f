#include "core/rangefetch.h"

#include "diag/trace.h"
#include "platform/files.h"
#include "platform/text.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The ramp's windows end on a tick: a fifth of a window keeps its decisions close to the windows'
// ends.
constexpr auto TICK = std::chrono::nanoseconds(SEG_WINDOW_NS / 5);
constexpr int64_t RECORD_BYTES = 1 << 20;
// What a connection reads at once: whatever has arrived, up to this. The wire's own blocks are
// small, and a write (and the lock of the bookkeeping) for each would cost more processor time
// than the reading.
constexpr size_t READ_BYTES = 128 << 10;
// The most one request asks for: servers that hold each request to a rate often let its first
// second's worth through at once.
constexpr int64_t REQUEST_BYTES = 4 << 20;
constexpr auto RECORD_INTERVAL = std::chrono::seconds(2);

// Guards every request's limiter: only one download runs at a time, so it is never contended
// across downloads.
std::mutex limiterLock;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Connection {
    WireRequest* web = nullptr;
    std::unique_ptr<WireRequest> own;     // every connection but the first
    std::thread thread;
    SegRange range{};                     // still to write: [next byte, end)
    int64_t answerFirst = 0;              // where the current answer's bytes began
    int64_t askedEnd = 0;                 // where the current answer ends (0: the file's end)
    std::atomic<bool> running{false};
    std::atomic<bool> answered{false};    // its first range came
    bool retiring = false;                // the ramp dropped it (under the fetch's lock)
    std::array<char, READ_BYTES> block;   // what it read last
};

struct Fetch {
    RangeJob* job;
    std::string url;                      // the first answer's, read by every connection
    std::mutex lock;                      // guards everything below but the atomics
    SegDone done{};
    std::vector<SegRange> pool;           // missing and no connection's
    Connection connections[SEG_CONNECTIONS_MAX];
    int32_t started = 0;
    bool stopAdding = false;
    int32_t failure = 0;                  // RANGES_RESTART or ERR_WRITE_FAILED once one happened
    uint32_t lastStatus = 0;              // of the latest connection that broke off
    char lastText[STATUS_CAPACITY] = {};
    std::atomic<bool> stopping{false};
    std::condition_variable ended;        // a connection ended (with the lock)
    std::atomic<int64_t> received{0};     // bytes read by every connection: the ramp's measure
};

// Whether a 2xx answer names a version other than the one the ranges are checked by.
bool namesOtherVersion(const WireRequest& web)
{
    const char* named = web.ifRange[0] == '"' ? web.etag : web.lastModified;
    return named[0] != '\0' && std::strcmp(named, web.ifRange) != 0;
}

// The running connections' ranges, for a split; indexes into connections beside them.
int32_t runningRanges(Fetch* fetch, SegRange* ranges, int32_t* indexes)
{
    int32_t count = 0;
    for (int32_t i = 0; i < fetch->started; ++i)
        if (fetch->connections[i].running.load(std::memory_order_relaxed)) {
            ranges[count] = fetch->connections[i].range;
            indexes[count++] = i;
        }
    return count;
}

// Under the lock: the next missing range nobody has, else the back half of the largest one a
// connection still has; false when there is none worth a connection.
bool takeWork(Fetch* fetch, SegRange* out)
{
    if (!fetch->pool.empty()) {
        *out = fetch->pool.front();
        fetch->pool.erase(fetch->pool.begin());
        return true;
    }
    SegRange ranges[SEG_CONNECTIONS_MAX];
    int32_t indexes[SEG_CONNECTIONS_MAX];
    const int32_t count = runningRanges(fetch, ranges, indexes);
    const int32_t cut = Seg_SplitLargest(ranges, count, SEG_MIN_SIZE, out);
    if (cut < 0)
        return false;
    fetch->connections[indexes[cut]].range.end = ranges[cut].end;
    return true;
}

// Under the lock: the connection's range that it did not write goes to the others.
void handBack(Fetch* fetch, Connection* connection)
{
    if (connection->range.end > connection->range.first)
        fetch->pool.push_back(connection->range);
    connection->range = {};
}

// Under the lock: a connection that stops hands back what it did not write, and its words.
void giveBack(Fetch* fetch, Connection* connection, bool stopAdding)
{
    handBack(fetch, connection);
    fetch->stopAdding = fetch->stopAdding || stopAdding;
    fetch->lastStatus = connection->web->status;
    Text_CopyBounded(fetch->lastText, connection->web->statusText);
}

// Under the lock: a connection the ramp drops hands back what it did not write, for the others;
// the last one at work keeps working instead.
void retire(Fetch* fetch, Connection* connection)
{
    connection->retiring = std::any_of(fetch->connections, fetch->connections + fetch->started,
        [&](const Connection& other) {
            return &other != connection && other.running.load(std::memory_order_relaxed) && !other.retiring;
        });
    if (connection->retiring)
        handBack(fetch, connection);
}

// Asks for the connection's range; true when the answer is exactly that range.
bool askRange(Fetch* fetch, Connection* connection, SegRange range)
{
    WireRequest* web = connection->web;
    web->bufferCount = 0;
    web->complete = false;
    web->etag[0] = web->lastModified[0] = '\0';
    web->resumeFrom = range.first;
    // Bounded even at the file's end: an answer of other bytes then fails here, where an open
    // range would start the whole file over on this connection.
    web->rangeEnd = std::min(range.end, range.first + REQUEST_BYTES);
    connection->askedEnd = web->rangeEnd;
    web->askRange = true;
    const int32_t r = Wire_Request(web, fetch->url.c_str(), MODE_DOWNLOAD, fetch->job->timeout);
    Trace_PrintInt64(TRACE_ALL, "DownloadURL, range from %d\n", range.first);
    if (r == 1 && web->status == 206 && web->resumeFrom == range.first)
        return true;
    std::lock_guard guard(fetch->lock);
    if ((r == 1 || web->status == 206) && namesOtherVersion(*web))
        fetch->failure = RANGES_RESTART;
    else if (r == 1)
        Trace_Print(TRACE_ALL, "DownloadURL, ranges ignored on an added connection");
    giveBack(fetch, connection, true);
    return false;
}

// Writes the count bytes the connection read at its place, within its range; false when it is
// done with its range (written, dropped by the ramp, or a failure).
bool writeBlock(Fetch* fetch, Connection* connection, size_t read)
{
    int64_t at = 0, count = 0;
    {
        std::lock_guard guard(fetch->lock);
        at = connection->range.first;
        count = std::min<int64_t>(int64_t(read), connection->range.end - at);
        connection->range.first += std::max<int64_t>(count, 0);
    }
    const int error = count > 0 ? Plat_WriteAt(fetch->job->file, connection->block.data(), size_t(count), at) : 0;
    std::lock_guard guard(fetch->lock);
    if (error != 0) {
        fetch->job->writeError = error;
        fetch->failure = ERR_WRITE_FAILED;
        return false;
    }
    Seg_Add(&fetch->done, {at, at + count});
    fetch->job->request->bytesDone.store(Seg_Bytes(fetch->done), std::memory_order_relaxed);
    return connection->range.first < connection->range.end && !connection->retiring;
}

// Reads the answer into the file until its range is written or the answer fails.
void readAnswer(Fetch* fetch, Connection* connection)
{
    UrlRequest* request = fetch->job->request;
    WireRequest* web = connection->web;
    connection->answerFirst = connection->range.first;
    int32_t r = 0;
    while (r == 0) {
        if (fetch->stopping.load(std::memory_order_acquire))
            return;
        size_t count = 0;
        r = Wire_ReadInto(web, connection->block.data(), connection->block.size(), &count);
        fetch->received.fetch_add(int64_t(count), std::memory_order_relaxed);
        if (r == 0 && (!MOONQ_Throttle(request, web, int64_t(count)) || !writeBlock(fetch, connection, count)))
            return;
    }
    std::lock_guard guard(fetch->lock);
    // A piece of the range came whole: the next one is asked for.
    if (r == 1 && connection->range.first == connection->askedEnd)
        return;
    // An answer that went on past its range may have sent anything.
    if (r == ERR_TOO_MANY_BYTES) {
        Seg_Remove(&fetch->done, {connection->answerFirst, connection->range.first});
        connection->range.first = connection->answerFirst;
    }
    giveBack(fetch, connection, true);
}

// Under the lock: the connection has ended for the others (its thread may still close it).
void endConnection(Fetch* fetch, Connection* connection)
{
    connection->running.store(false, std::memory_order_release);
    fetch->ended.notify_one();
}

void runConnection(Fetch* fetch, int32_t index, bool answered)
{
    Connection* connection = &fetch->connections[index];
    for (;;) {
        SegRange range{};
        {
            std::lock_guard guard(fetch->lock);
            if (connection->retiring)
                retire(fetch, connection);
            // Ended in the same hold of the lock as the look for work: no range given back
            // later can be left to a connection that is already on its way out.
            if (connection->range.first >= connection->range.end &&
                (fetch->failure != 0 || connection->retiring || !takeWork(fetch, &connection->range))) {
                endConnection(fetch, connection);
                break;
            }
            range = connection->range;
        }
        if (fetch->stopping.load(std::memory_order_acquire) ||
            (!answered && !askRange(fetch, connection, range))) {
            std::lock_guard guard(fetch->lock);
            endConnection(fetch, connection);
            break;
        }
        answered = false;
        connection->answered.store(true, std::memory_order_release);
        readAnswer(fetch, connection);
        Wire_Close(connection->web);
    }
    Wire_Close(connection->web);
}

// Under the lock: starts the next connection with a range of its own; false when there is none.
bool addConnection(Fetch* fetch)
{
    Connection* connection = &fetch->connections[fetch->started];
    if (!takeWork(fetch, &connection->range))
        return false;
    const WireRequest& first = fetch->job->request->web;
    connection->own = std::make_unique<WireRequest>();
    WireRequest* web = connection->own.get();
    web->cookieSource = first.cookieSource;
    Text_CopyBounded(web->cookieFile, first.cookieFile);
    web->handedCookies = first.handedCookies;
    Text_CopyBounded(web->handedHost, first.handedHost);
    web->handedSecure = first.handedSecure;
    web->referrer = first.referrer;
    Text_CopyBounded(web->referrerOrigin, first.referrerOrigin);
    web->expectedSize = fetch->job->size;
    Text_CopyBounded(web->ifRange, first.ifRange);
    connection->web = web;
    connection->running.store(true, std::memory_order_relaxed);
    const int32_t index = fetch->started++;
    Trace_PrintInt(TRACE_ALL, "DownloadURL, connection %d added\n", index + 1);
    try {
        connection->thread = std::thread(runConnection, fetch, index, false);
    } catch (const std::exception&) {
        connection->running.store(false, std::memory_order_relaxed);
        giveBack(fetch, connection, true);
    }
    return true;
}

int32_t runningCount(Fetch* fetch, bool waitingOnly = false)
{
    int32_t count = 0;
    for (int32_t i = 0; i < fetch->started; ++i) {
        const Connection& connection = fetch->connections[i];
        count += connection.running.load(std::memory_order_acquire) &&
                 !(waitingOnly && connection.answered.load(std::memory_order_acquire));
    }
    return count;
}

// Under the lock: adds connections up to what the ramp wants (while slots are left: a slot is
// used once), or drops the latest added.
void steer(Fetch* fetch, SegRamp* ramp, int32_t running)
{
    ramp->connections = running;
    ramp->waiting = runningCount(fetch, true);
    ramp->stopped = ramp->stopped || fetch->stopAdding || fetch->failure != 0;
    const int32_t want = Seg_RampTick(ramp, nowNs(), fetch->received.load(std::memory_order_relaxed));
    const bool adding = !fetch->stopAdding && fetch->failure == 0;
    for (int32_t count = running; adding && count < want && fetch->started < SEG_CONNECTIONS_MAX; ++count)
        if (!addConnection(fetch))
            break;
    // The latest added go first.
    for (int32_t i = fetch->started - 1, count = running; i > 0 && count > want; --i) {
        Connection& connection = fetch->connections[i];
        if (connection.running.load(std::memory_order_acquire) && !connection.retiring) {
            connection.retiring = true;
            --count;
        }
    }
}

// Stops every connection: each blocked call fails at once.
void stopAll(Fetch* fetch)
{
    fetch->stopping.store(true, std::memory_order_release);
    for (int32_t i = 0; i < fetch->started; ++i)
        fetch->connections[i].web->abort.store(true);
}

// Watches the connections until all have ended: adds them by the ramp, records the ranges.
bool watch(Fetch* fetch)
{
    UrlRequest* request = fetch->job->request;
    SegRamp ramp{};
    Seg_RampStart(&ramp, fetch->job->limit, nowNs(), 0);
    int64_t recorded = 0;
    auto recordedWhen = Clock::now();
    bool cancelled = false;
    while (int32_t running = runningCount(fetch)) {
        request->connections.store(running, std::memory_order_relaxed);
        if (!cancelled && (request->cancel.load(std::memory_order_acquire) || request->web.abort.load())) {
            cancelled = request->cancel.load(std::memory_order_acquire) != 0;
            stopAll(fetch);
        }
        SegDone done{};
        {
            std::unique_lock guard(fetch->lock);
            steer(fetch, &ramp, running);
            if (fetch->failure != 0)
                stopAll(fetch);
            done = fetch->done;
            // The last connection's end is the download's: an end wakes the watch at once.
            const int32_t steered = runningCount(fetch);
            fetch->ended.wait_for(guard, TICK, [&] { return runningCount(fetch) < steered; });
        }
        if (Seg_Bytes(done) - recorded >= RECORD_BYTES && Clock::now() - recordedWhen >= RECORD_INTERVAL) {
            recorded = Seg_Bytes(done);
            recordedWhen = Clock::now();
            std::fflush(fetch->job->file);
            fetch->job->record(done);
        }
    }
    request->connections.store(0, std::memory_order_relaxed);
    return cancelled;
}

}  // namespace

bool MOONQ_Throttle(UrlRequest* request, WireRequest* web, int64_t count)
{
    // The rate is set before the request's worker starts and never changes.
    if (request->limiter.rate == 0)
        return true;
    // Taken a wire block at a time: a read may be larger than the bucket's burst.
    while (count > 0) {
        const int64_t piece = std::min<int64_t>(count, int64_t(WIRE_BLOCK));
        int64_t wait = 0;
        {
            std::lock_guard guard(limiterLock);
            wait = Seg_LimiterTake(&request->limiter, nowNs(), piece);
        }
        if (wait == 0) {
            count -= piece;
            continue;
        }
        if (request->cancel.load(std::memory_order_acquire) || web->abort.load())
            return false;
        std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<int64_t>(wait, 50000000)));
    }
    return true;
}

int32_t MOONQ_FetchRanges(RangeJob* job)
{
    auto fetch = std::make_unique<Fetch>();
    fetch->job = job;
    fetch->done = job->done;
    fetch->url = job->request->web.location;
    SegRange gaps[SEG_DONE_CAPACITY + 1];
    const int32_t count = Seg_Missing(job->done, job->size, gaps, SEG_DONE_CAPACITY + 1);
    UrlRequest* request = job->request;
    Connection& first = fetch->connections[0];
    first.web = &request->web;
    // The first answer is for the first gap: to its end, or to the file's end when unbounded.
    first.range = {request->web.resumeFrom, request->web.rangeEnd > 0 ? request->web.rangeEnd : job->size};
    for (int32_t i = 0; i < count; ++i)
        if (gaps[i].first != first.range.first)
            fetch->pool.push_back(gaps[i]);
    first.running.store(true, std::memory_order_relaxed);
    first.answered.store(true, std::memory_order_relaxed);
    fetch->started = 1;
    try {
        first.thread = std::thread(runConnection, fetch.get(), 0, true);
    } catch (const std::exception&) {
        runConnection(fetch.get(), 0, true);
    }
    const bool cancelled = watch(fetch.get());
    for (int32_t i = 0; i < fetch->started; ++i)
        if (fetch->connections[i].thread.joinable())
            fetch->connections[i].thread.join();
    // The first connection was stopped through the request's own abort: only an abort from
    // outside (which sets aborted first) may outlast the fetch.
    request->web.abort.store(false);
    if (request->aborted.load(std::memory_order_acquire))
        request->web.abort.store(true);
    job->done = fetch->done;
    if (fetch->failure != 0)
        return fetch->failure;
    if (cancelled)
        return RANGES_CANCELLED;
    SegRange left[1];
    if (Seg_Missing(fetch->done, job->size, left, 1) == 0)
        return 1;
    request->web.status = fetch->lastStatus;
    Text_CopyBounded(request->web.statusText, fetch->lastText);
    return ERR_CALL_FAILED;
}

#include "core/segments.h"

#include "web/wire.h"

#include <algorithm>
#include <charconv>

namespace {

bool isEmpty(SegRange range)
{
    return range.end <= range.first;
}

void eraseAt(SegDone* done, int32_t index)
{
    std::copy(done->ranges + index + 1, done->ranges + done->count, done->ranges + index);
    --done->count;
}

void insertAt(SegDone* done, int32_t index, SegRange range)
{
    std::copy_backward(done->ranges + index, done->ranges + done->count, done->ranges + done->count + 1);
    done->ranges[index] = range;
    ++done->count;
}

int32_t smallestAt(const SegDone& done)
{
    const auto* smallest = std::min_element(done.ranges, done.ranges + done.count,
        [](SegRange a, SegRange b) { return a.end - a.first < b.end - b.first; });
    return int32_t(smallest - done.ranges);
}

bool readNumber(std::string_view& text, int64_t* value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    if (error != std::errc() || end == text.data() || *value < 0)
        return false;
    text.remove_prefix(size_t(end - text.data()));
    return true;
}

bool readSeparator(std::string_view& text, char separator)
{
    if (text.empty() || text.front() != separator)
        return false;
    text.remove_prefix(1);
    return true;
}

int64_t remaining(SegRange range)
{
    return std::max<int64_t>(range.end - range.first, 0);
}

}  // namespace

void Seg_Add(SegDone* done, SegRange range)
{
    if (isEmpty(range))
        return;
    // Every range that touches or overlaps the new one merges into it.
    int32_t at = 0;
    while (at < done->count && done->ranges[at].end < range.first)
        ++at;
    while (at < done->count && done->ranges[at].first <= range.end) {
        range.first = std::min(range.first, done->ranges[at].first);
        range.end = std::max(range.end, done->ranges[at].end);
        eraseAt(done, at);
    }
    if (done->count == SEG_DONE_CAPACITY) {
        const int32_t smallest = smallestAt(*done);
        const SegRange drop = done->ranges[smallest];
        if (range.end - range.first <= drop.end - drop.first)
            return;
        eraseAt(done, smallest);
        at -= smallest < at ? 1 : 0;
    }
    insertAt(done, at, range);
}

void Seg_Remove(SegDone* done, SegRange range)
{
    SegDone kept{};
    for (int32_t i = 0; i < done->count; ++i) {
        const SegRange r = done->ranges[i];
        Seg_Add(&kept, {r.first, std::min(r.end, range.first)});
        Seg_Add(&kept, {std::max(r.first, range.end), r.end});
    }
    *done = kept;
}

int64_t Seg_Bytes(const SegDone& done)
{
    int64_t bytes = 0;
    for (int32_t i = 0; i < done.count; ++i)
        bytes += done.ranges[i].end - done.ranges[i].first;
    return bytes;
}

int64_t Seg_Prefix(const SegDone& done)
{
    return done.count > 0 && done.ranges[0].first == 0 ? done.ranges[0].end : 0;
}

int64_t Seg_End(const SegDone& done)
{
    return done.count > 0 ? done.ranges[done.count - 1].end : 0;
}

int32_t Seg_Missing(const SegDone& done, int64_t size, SegRange* out, int32_t capacity)
{
    int32_t count = 0;
    int64_t at = 0;
    for (int32_t i = 0; i <= done.count && count < capacity && at < size; ++i) {
        const int64_t next = i < done.count ? std::min(done.ranges[i].first, size) : size;
        if (next > at)
            out[count++] = {at, next};
        if (i < done.count)
            at = std::max(at, done.ranges[i].end);
    }
    return count;
}

std::string Seg_Format(const SegDone& done)
{
    std::string text;
    for (int32_t i = 0; i < done.count; ++i) {
        if (i > 0)
            text += ',';
        text += std::to_string(done.ranges[i].first) + '-' + std::to_string(done.ranges[i].end);
    }
    return text;
}

bool Seg_Parse(std::string_view text, SegDone* done)
{
    *done = SegDone{};
    for (bool first = true; !text.empty(); first = false) {
        SegRange range{};
        if ((!first && !readSeparator(text, ',')) || !readNumber(text, &range.first) ||
            !readSeparator(text, '-') || !readNumber(text, &range.end) || isEmpty(range)) {
            *done = SegDone{};
            return false;
        }
        Seg_Add(done, range);
    }
    return true;
}

int32_t Seg_SplitLargest(SegRange* ranges, int32_t count, int64_t minSize, SegRange* taken)
{
    if (count <= 0)
        return -1;
    const SegRange* largest = std::max_element(ranges, ranges + count,
        [](SegRange a, SegRange b) { return remaining(a) < remaining(b); });
    const int64_t left = remaining(*largest);
    if (left < 2 * minSize)
        return -1;
    const int32_t index = int32_t(largest - ranges);
    const int64_t middle = largest->first + left / 2;
    *taken = {middle, largest->end};
    ranges[index].end = middle;
    return index;
}

void Seg_RampStart(SegRamp* ramp, int32_t limit, int64_t nowNs, int64_t totalBytes)
{
    *ramp = SegRamp{1, 0, std::clamp(limit, 1, SEG_CONNECTIONS_MAX), limit <= 1, 1, 1, nowNs, totalBytes, -1, 0, 0};
}

int32_t Seg_RampTick(SegRamp* ramp, int64_t nowNs, int64_t totalBytes)
{
    if (ramp->stopped || ramp->waiting > 0)
        return ramp->want;
    if (nowNs < ramp->pauseUntilNs) {
        ramp->windowStartNs = nowNs;
        ramp->windowBytes = totalBytes;
        return ramp->want;
    }
    const int64_t elapsed = nowNs - ramp->windowStartNs;
    const int64_t bytes = totalBytes - ramp->windowBytes;
    if (elapsed < SEG_WINDOW_NS || (elapsed < SEG_WINDOW_MAX_NS && bytes < SEG_WINDOW_BYTES * ramp->connections))
        return ramp->want;
    const int64_t rate = bytes * SEG_SECOND_NS / elapsed;
    if (ramp->rateBefore >= 0) {
        const int64_t added = ramp->connections - ramp->before;
        const bool gained = rate * 100 >= ramp->rateBefore * (100 + SEG_GAIN_PERCENT);
        const bool paid = rate * 100 * ramp->before >= ramp->rateBefore * (100 * ramp->before + SEG_SHARE_PERCENT * added);
        // A gain shows at once; its absence only over the longest window, since a server may
        // send in bursts.
        if (!paid && elapsed < SEG_WINDOW_MAX_NS)
            return ramp->want;
        if (!gained) {
            ramp->want = ramp->before;
            ramp->rateBefore = -1;
            ramp->pauseUntilNs = nowNs + (SEG_PAUSE_NS << std::min(ramp->drops++, 16));
            return ramp->want;
        }
        ramp->stopped = !paid;
    }
    // The next window starts with the step: the added connections' first bytes count in it.
    ramp->windowStartNs = nowNs;
    ramp->windowBytes = totalBytes;
    if (ramp->stopped || ramp->connections >= ramp->limit) {
        ramp->stopped = true;
        return ramp->want;
    }
    ramp->before = ramp->connections;
    ramp->rateBefore = rate;
    ramp->want = std::min(ramp->connections * SEG_GROWTH, ramp->limit);
    return ramp->want;
}

void Seg_LimiterStart(SegLimiter* limiter, int64_t rate, int64_t nowNs)
{
    *limiter = SegLimiter{std::max<int64_t>(rate, 0), 0, nowNs};
}

int64_t Seg_LimiterTake(SegLimiter* limiter, int64_t nowNs, int64_t want)
{
    if (limiter->rate == 0)
        return 0;
    const int64_t burst = std::max<int64_t>(limiter->rate / 8, int64_t(WIRE_BLOCK));
    const int64_t elapsed = std::max<int64_t>(nowNs - limiter->lastNs, 0);
    // Whole bytes only; the time of a fraction stays in the bucket's clock.
    const int64_t earned = elapsed >= SEG_SECOND_NS ? burst : elapsed * limiter->rate / SEG_SECOND_NS;
    limiter->lastNs = earned >= burst - limiter->tokens ? nowNs
                                                         : limiter->lastNs + earned * SEG_SECOND_NS / limiter->rate;
    limiter->tokens = std::min(limiter->tokens + earned, burst);
    want = std::min(want, burst);
    if (limiter->tokens >= want) {
        limiter->tokens -= want;
        return 0;
    }
    return (want - limiter->tokens) * SEG_SECOND_NS / limiter->rate + 1;
}

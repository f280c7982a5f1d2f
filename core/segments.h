// Segments: the bookkeeping of a download that runs over several connections to one server,
// kept free of threads, clocks and the network so that every rule can be checked on its own.
//
// Contract:
// - A range is [first, end): its first byte and the byte behind its last; empty when end <= first.
// - SegDone is the set of the file's bytes on disk, as sorted ranges that neither overlap nor
//   touch. It has room for SEG_DONE_CAPACITY ranges; adding one more forgets the smallest
//   range instead (its bytes are only fetched again), so the set never claims a byte not written.
// - The text form (the pending list's "done=" field) is "first-end" pairs in decimal, joined by
//   ',' ("0-1048576,3145728-4194304"); a text that does not read wholly so reads as nothing.
// - A connection that ends its range takes the back half of the largest range still to come,
//   never leaving either half below the floor (SEG_MIN_SIZE).
// - The ramp grows the connections as a slow start does: after each window it multiplies them
//   by SEG_GROWTH while the total rate grew by at least SEG_SHARE_PERCENT of what the added ones
//   would bring at the others' pace. A window lasts SEG_WINDOW_NS and SEG_WINDOW_BYTES a
//   connection; it starts with the step (the added connections' first bytes count) and ends no
//   earlier than every added connection answered, so a slow handshake is not taken for a slow
//   server. Such a gain shows at once; a smaller one is judged only over SEG_WINDOW_MAX_NS,
//   since servers may send each connection's share in bursts: a gain still below that keeps the
//   added and stops the adding; one below SEG_GAIN_PERCENT drops them again (fewer were enough)
//   and tries once more after a pause that doubles each time (SEG_PAUSE_NS first). A refusal of
//   the server or the limit stops the adding for good.
// - The limiter is a token bucket for the total rate of all connections: bytes per second,
//   0 for none, with a burst of an eighth of a second (at least a block).
// - The caller passes the clock in nanoseconds of any steady clock and guards each record with
//   its own lock; nothing here keeps state of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct SegRange {
    int64_t first;
    int64_t end;
};

constexpr int32_t SEG_DONE_CAPACITY = 48;
// The smallest range given to a connection of its own: the last ranges of a download are its
// tail, where connections that ended wait for the others.
constexpr int64_t SEG_MIN_SIZE = 256 << 10;
constexpr int32_t SEG_CONNECTIONS_MAX = 16;
constexpr int64_t SEG_SECOND_NS = 1000000000;
constexpr int64_t SEG_WINDOW_NS = SEG_SECOND_NS / 10;
constexpr int64_t SEG_WINDOW_MAX_NS = SEG_SECOND_NS;
constexpr int64_t SEG_WINDOW_BYTES = 64 << 10;
constexpr int64_t SEG_PAUSE_NS = 2 * SEG_SECOND_NS;
constexpr int32_t SEG_GROWTH = 4;
constexpr int64_t SEG_SHARE_PERCENT = 25;
constexpr int64_t SEG_GAIN_PERCENT = 10;

struct SegDone {
    int32_t count;
    SegRange ranges[SEG_DONE_CAPACITY];
};

void Seg_Add(SegDone* done, SegRange range);
// Forgets the bytes of range (a try whose bytes may not be trusted).
void Seg_Remove(SegDone* done, SegRange range);
int64_t Seg_Bytes(const SegDone& done);
// The bytes done from the file's first byte on, without a gap.
int64_t Seg_Prefix(const SegDone& done);
// The byte behind the last one done; 0 when none is.
int64_t Seg_End(const SegDone& done);
// The gaps of the file's first size bytes, in order, into out (at most capacity); their count.
int32_t Seg_Missing(const SegDone& done, int64_t size, SegRange* out, int32_t capacity);
std::string Seg_Format(const SegDone& done);
// Reads the text form; false (and done empty) when it does not read wholly.
bool Seg_Parse(std::string_view text, SegDone* done);

// Picks the largest of the count ranges still to come (first: the next byte its connection
// writes) and, when both halves keep minSize, cuts its back half off into *taken; the index of
// the range cut, or -1 when none may be.
int32_t Seg_SplitLargest(SegRange* ranges, int32_t count, int64_t minSize, SegRange* taken);

struct SegRamp {
    int32_t connections;      // running now (the caller counts them)
    int32_t waiting;          // of those, added and not answered yet (the caller counts them)
    int32_t limit;            // at most this many
    bool stopped;             // no more are added
    int32_t want;             // the connections the ramp asks for
    int32_t before;           // the connections before the latest step
    int64_t windowStartNs;
    int64_t windowBytes;      // the total at the window's start
    int64_t rateBefore;       // bytes per second before the latest step; -1 none yet
    int64_t pauseUntilNs;     // after a drop, no window before this
    int32_t drops;
};

void Seg_RampStart(SegRamp* ramp, int32_t limit, int64_t nowNs, int64_t totalBytes);
// The connections wanted now: more than run, to add; fewer, to drop the latest added.
int32_t Seg_RampTick(SegRamp* ramp, int64_t nowNs, int64_t totalBytes);

struct SegLimiter {
    int64_t rate;             // bytes per second; 0: no limit
    int64_t tokens;
    int64_t lastNs;
};

void Seg_LimiterStart(SegLimiter* limiter, int64_t rate, int64_t nowNs);
// Takes want bytes when the bucket holds them and returns 0; else the nanoseconds to wait.
int64_t Seg_LimiterTake(SegLimiter* limiter, int64_t nowNs, int64_t want);

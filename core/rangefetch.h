// Range fetch: the rest of a download over one or more connections to the same server, each
// asking for a range of the file with If-Range and writing it at its place.
//
// Contract:
// - The download worker runs MOONQ_FetchRanges on its own thread after its request's first answer
//   was a 206 of the file's first missing range, with a version to check ranges by. That answer
//   becomes connection 0; the others are threads of their own, each with a WireRequest, all
//   joined before the call returns.
// - Connections are added by the ramp of core/segments.h, up to the job's limit, each with the
//   back half of the largest range still to come (never below SEG_MIN_SIZE); a connection that
//   ends its range takes the next missing range, else such a half. When the ramp drops the
//   latest added, they end after their current block and leave their ranges to the others. An
//   added connection that the server answers with the whole file (ranges ignored), a refusal, a
//   broken connection or a part not asked for stops the adding for good, and its range goes
//   back to the others. An answer that names another version ends the job with RANGES_RESTART.
// - Only bytes written count as done; the bytes of an answer that went past its range are
//   forgotten. The rate limiter (if any) is shared by all connections.
// - The request's cancel and its web's abort stop every connection at once. The fetch stops its
//   first connection through that abort too, and clears it before it returns unless
//   MOONQ_AbortRequest came, so that a retry after the fetch still waits.
// - An added connection asks for its range with both ends, a piece of at most 4 MiB at a
//   time: a 206 of other bytes or of another version fails on that connection instead of
//   bringing the whole file, and a server that lets each request's first second through at once
//   does so often.
// - Returns 1 with every byte of the file done, RANGES_RESTART, ERR_WRITE_FAILED (writeError),
//   RANGES_CANCELLED, or ERR_CALL_FAILED when the last connection broke off first (the request's
//   web then holds that connection's status and text).
#pragma once

#include "core/segments.h"
#include "core/workers.h"

#include <cstdint>
#include <cstdio>
#include <functional>

constexpr int32_t RANGES_RESTART = 2;
constexpr int32_t RANGES_CANCELLED = 3;

struct RangeJob {
    UrlRequest* request;
    FILE* file;
    int64_t size;
    int32_t limit;               // connections at most
    uint32_t timeout;
    SegDone done;                // in: what the file holds; out: what it holds now
    int writeError;
    // Called now and then with the ranges done so far, on the calling thread.
    std::function<void(const SegDone&)> record;
};

int32_t MOONQ_FetchRanges(RangeJob* job);
// Waits until the request's limiter lets count bytes through (false: cancelled or aborted
// meanwhile); lock guards the limiter, which several connections share.
bool MOONQ_Throttle(UrlRequest* request, WireRequest* web, int64_t count);

// Query pool: the queries that validate new links run on a few worker threads (as many as the
// machine has processors, at least 1 and at most QUERY_POOL_MAX), in the order they came.
//
// Contract:
// - The user-interface thread queues and withdraws queries; the pool's workers take the oldest
//   waiting one, run it with MOONQ_Download and take the next. A new worker starts when more
//   queries wait than workers are idle and fewer than the limit run; workers wait for the next
//   query until the process ends, their connections kept open.
// - A query's item carries ITEM_WAITING from its queuing until a worker takes it up; a worker
//   clears the flag before anything of the query goes on the wire.
// - Each worker keeps its connections (Inet_KeepConnections): its next query to the same server
//   reuses them.
// - A query withdrawn while it waits never runs: its result is RESULT_CANCELLED at once. One
//   that a worker has taken up runs to its end (or its abort) as any request does.
// - The pool's state outlives the lists: its workers still wait for work when the process ends.
#pragma once

#include "core/workers.h"

#include <cstdint>

constexpr unsigned QUERY_POOL_MAX = 8;

// The number of workers the pool runs at most on this machine.
unsigned MOONQ_QueryPoolSize();
// Puts the query at the end of the waiting line and makes sure a worker will take it:
// 0, or ERR_NO_THREAD when no worker runs and none could be started (nothing is queued then).
int32_t MOONQ_QueueQuery(UrlRequest* request);
// Takes a query that still waits out of the line (result RESULT_CANCELLED): true when it waited.
bool MOONQ_WithdrawQuery(UrlRequest* request);

#include "core/querypool.h"

#include "net/inet.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

struct QueryPool {
    std::mutex lock;
    std::condition_variable work;
    ListLink waiting = {&waiting, &waiting};   // the queries' `queued` links, oldest first
    size_t waitingCount = 0;
    unsigned workers = 0;   // started (they never end)
    unsigned idle = 0;      // of those, waiting for work
};

// Never released: a worker that waits for work when the process ends still holds it.
QueryPool& pool = *new QueryPool;

UrlRequest* requestOfQueued(ListLink* link)
{
    return reinterpret_cast<UrlRequest*>(reinterpret_cast<char*>(link) - offsetof(UrlRequest, queued));
}

// Takes the oldest waiting query off the line, waiting for one when there is none.
UrlRequest* nextQuery(std::unique_lock<std::mutex>& guard)
{
    ++pool.idle;
    pool.work.wait(guard, [] { return pool.waitingCount > 0; });
    --pool.idle;
    --pool.waitingCount;
    return requestOfQueued(List_PopFirst(&pool.waiting));
}

// Never ends: a thread that ended while the process exits would clean up the TLS library's
// state of the thread while the exit cleans up the library itself.
[[noreturn]] void poolWorker()
{
    Inet_KeepConnections();
    std::unique_lock guard(pool.lock);
    for (;;) {
        UrlRequest* request = nextQuery(guard);
        guard.unlock();
        request->item->flags &= ~ITEM_WAITING;
        // Its last write hands the request back: the user interface may release it at once.
        MOONQ_Download(request, WORKER_TIMEOUT_MS);
        guard.lock();
    }
}

// Starts one more worker when queries outnumber the idle workers and the limit allows; false
// when none runs and none could be started.
bool staffPool()
{
    if (pool.waitingCount > pool.idle && pool.workers < MOONQ_QueryPoolSize()) {
        try {
            std::thread(poolWorker).detach();
            ++pool.workers;
        } catch (const std::system_error&) {
        }
    }
    return pool.workers > 0;
}

}  // namespace

unsigned MOONQ_QueryPoolSize()
{
    return std::clamp(std::thread::hardware_concurrency(), 1u, QUERY_POOL_MAX);
}

int32_t MOONQ_QueueQuery(UrlRequest* request)
{
    request->item->flags |= ITEM_WAITING;
    std::lock_guard guard(pool.lock);
    List_Append(&pool.waiting, &request->queued);
    ++pool.waitingCount;
    if (!staffPool()) {
        List_Remove(&request->queued);
        --pool.waitingCount;
        request->item->flags &= ~ITEM_WAITING;
        return ERR_NO_THREAD;
    }
    pool.work.notify_one();
    return 0;
}

bool MOONQ_WithdrawQuery(UrlRequest* request)
{
    std::lock_guard guard(pool.lock);
    if (request->queued.next == &request->queued)
        return false;
    List_Remove(&request->queued);
    --pool.waitingCount;
    request->item->flags &= ~ITEM_WAITING;
    request->result.store(RESULT_CANCELLED, std::memory_order_release);
    return true;
}

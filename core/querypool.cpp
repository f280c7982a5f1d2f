#include "core/querypool.h"

#include "platform/inet.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// How long a worker waits for a new query before it ends.
constexpr auto IDLE_END = std::chrono::seconds(2);

struct QueryPool {
    std::mutex lock;
    std::condition_variable work;
    ListLink waiting = {&waiting, &waiting};   // the queries' `queued` links, oldest first
    size_t waitingCount = 0;
    unsigned workers = 0;   // started and not yet ended
    unsigned idle = 0;      // of those, waiting for work
};

// Never released: a worker that waits for work when the process ends still holds it.
QueryPool& pool = *new QueryPool;

UrlRequest* requestOfQueued(ListLink* link)
{
    return reinterpret_cast<UrlRequest*>(reinterpret_cast<char*>(link) - offsetof(UrlRequest, queued));
}

// Takes the oldest waiting query off the line; null when none came within IDLE_END.
UrlRequest* nextQuery(std::unique_lock<std::mutex>& guard)
{
    ++pool.idle;
    const bool found = pool.work.wait_for(guard, IDLE_END, [] { return pool.waitingCount > 0; });
    --pool.idle;
    if (!found)
        return nullptr;
    --pool.waitingCount;
    return requestOfQueued(List_PopFirst(&pool.waiting));
}

void poolWorker()
{
    Inet_KeepConnections();
    std::unique_lock guard(pool.lock);
    while (UrlRequest* request = nextQuery(guard)) {
        guard.unlock();
        request->item->flags &= ~ITEM_WAITING;
        // Its last write hands the request back: the user interface may release it at once.
        MOONQ_Download(request, WORKER_TIMEOUT_MS);
        guard.lock();
    }
    --pool.workers;
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

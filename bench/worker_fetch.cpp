// One download through the download worker, in a process of its own, so that the benchmark
// times it as it times curl and wget (wall, CPU and peak memory of the whole process, its
// start-up included):
//
//   moon_bench_worker [--connections N] <url> <local file>
//
// It starts the core, validates url as a link added to the list is validated (the download
// then knows the file's size and version, as the program's do), downloads it into the local file
// the way the work timer starts and harvests a download, and stops the core. N (1 to 16, default 8) is the connections setting a
// download may use, as a person sets it. Exit status 0 when the download ended well (the
// benchmark checks the bytes itself), 1 otherwise, 2 for a wrong command line.
#include "core/checkback.h"
#include "core/items.h"
#include "core/start.h"
#include "core/workers.h"
#include "platform/text.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <thread>

namespace {

size_t threadCount()
{
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                std::filesystem::directory_iterator()));
}

// The worker's thread is detached and still ending when its result is out. Leaving before it
// has ended races its clean-up of the TLS library's per-thread state with the same library's
// clean-up at exit: a double free, or that state left behind.
// The threads that ran before it (the query pool's) stay.
void awaitWorkerEnd(size_t before)
{
    for (int i = 0; i < 10000 && threadCount() > before; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

// Validates url as an added link and names its local file out; null when it is not valid.
UrlItem* validate(const char* url, const char* out, const DownloadOptions& options)
{
    const std::filesystem::path place(out);
    MOONQ_SetDownloadDir(place.parent_path().c_str());
    UrlItem* item = MOONQ_AddURL(url, &options);
    while (item != nullptr && MOONQ_CheckBackQueries(&options) != 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (item == nullptr || !(item->flags & ITEM_VALID) || (item->flags & ITEM_FAILED))
        return nullptr;
    // The file the link was given is taken under the name asked for.
    std::error_code error;
    std::filesystem::rename(item->localPath, place, error);
    auto lock = MOONQ_LockItem();
    MOONQ_SetLocalName(item, out);
    return error ? nullptr : item;
}

// Downloads url into out over connections at most; true when the worker says the file arrived whole.
bool download(const char* url, const char* out, int connections)
{
    DownloadOptions options{};
    options.connections = connections;
    UrlItem* item = validate(url, out, options);
    if (item == nullptr)
        return false;
    const size_t before = threadCount();
    UrlRequest* request = nullptr;
    if (MOONQ_StartNextDownload(&request, &options) != 0)
        return false;
    // A short nap between looks: the end is seen within a millisecond, and the looking costs
    // next to nothing beside the worker's own CPU.
    while (request->result.load(std::memory_order_acquire) == RESULT_RUNNING)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool whole = MOONQ_CheckBackDown(request) == RESULT_DOWNLOADED;
    if (!whole)
        std::fprintf(stderr, "moon_bench_worker: %s\n", item->statusText);
    MOONQ_FreeRequest(request);
    awaitWorkerEnd(before);
    return whole;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool named = argc == 5 && std::strcmp(argv[1], "--connections") == 0;
    const int connections = named ? std::atoi(argv[2]) : OPTIONS_CONNECTIONS_DEFAULT;
    if ((argc != 3 && !named) || connections < 1 || connections > OPTIONS_CONNECTIONS_MAX) {
        std::fprintf(stderr, "usage: moon_bench_worker [--connections 1..16] <url> <local file>\n");
        return 2;
    }
    if (MOONQ_Start() != 0)
        return 1;
    const bool whole = download(argv[argc - 2], argv[argc - 1], connections);
    MOONQ_Stop();
    return whole ? 0 : 1;
}

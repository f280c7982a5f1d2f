// Benchmarks of the download core, run on demand:
//
//   moon_bench [download [size in MiB, default 1024] [rounds, default 3]]
//   moon_bench validate | save | startup
//   moon_bench              (every case, the download at 1024 MiB)
//
// download: a worker against curl and wget, all fetching the same file from one loopback nginx in
//   the same run, so the ratios hold on a noisy machine, and a worker against curl over https
//   from one loopback nginx speaking TLS. The contenders take turns in a rotating
//   order, each after a sync, so none inherits another's (or the source file's) writes still on
//   their way to the disk. Prints MB/s and CPU seconds per GiB of each (medians of the rounds),
//   the worker's ratios to curl and wget, and how far the process's resident memory rose while
//   the worker downloaded.
// validate: 100 links validated at once against one link, as the work timer harvests them.
// save: the pending list of 10,000 items saved, whole and as the work timer hands it off.
// startup: a pending list of 10,000 items loaded, time and memory.
//
// Everything (settings, cookie jar, downloads, the lists) stays in a temporary folder that is
// removed at the end; the nginx it starts is stopped whatever happens to a round.
#include "core/checkback.h"
#include "platform/text.h"
#include "core/items.h"
#include "core/start.h"
#include "core/pending.h"
#include "core/workers.h"

#include "tests/support/servers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double GIB = 1024.0 * 1024.0 * 1024.0;

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    return 0;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds(const rusage& usage)
{
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double processCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One contender's download: wall and CPU seconds, and whether it ended well.
struct Run {
    double seconds = 0;
    double cpu = 0;
    bool ok = false;
};

// The temporary folder of the whole benchmark, current directory and settings folder alike;
// removed when the benchmark ends, however it ends.
class Workspace {
public:
    Workspace()
    {
        dir_ = (std::filesystem::temp_directory_path() / "moonfetch-bench-XXXXXX").string();
        if (::mkdtemp(dir_.data()) == nullptr) {
            dir_.clear();
            return;
        }
        std::filesystem::current_path(dir_);
        ::setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    }
    ~Workspace()
    {
        if (dir_.empty())
            return;
        std::filesystem::current_path("/");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    bool ok() const { return !dir_.empty(); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// The core started for one case and stopped after it.
struct CoreRun {
    bool ok = MOONQ_Start() == 0;
    ~CoreRun() { MOONQ_Stop(); }
};

// One download through the worker path, sampling resident memory while it runs.
Run workerDownload(const std::string& url, const std::string& out, long* peakRiseKiB)
{
    UrlItem* item = MOONQ_NewItem(url.c_str());
    item->flags = ITEM_VALID;
    CopyBounded(item->localPath, out.c_str());
    DownloadOptions options{};
    long base = residentKiB();
    long peak = base;
    double cpuBefore = processCpuSeconds();
    auto start = Clock::now();
    UrlRequest* request = nullptr;
    if (MOONQ_StartNextDownload(&request, &options) != 0)
        return {};
    while (request->result.load(std::memory_order_acquire) == RESULT_RUNNING) {
        peak = std::max(peak, residentKiB());
        // Reading the process's status competes with the worker; a sparse sample still sees
        // anything that grows with the file.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Run run{secondsSince(start), processCpuSeconds() - cpuBefore, false};
    run.ok = MOONQ_CheckBackDown(request) == RESULT_DOWNLOADED;
    if (!run.ok) {
        List_Remove(&item->link);
        MOONQ_FreeItem(item);
    }
    MOONQ_FreeRequest(request);
    *peakRiseKiB = std::max(*peakRiseKiB, peak - base);
    return run;
}

// Runs a command and measures it, CPU included, from its own resource usage.
Run commandRun(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return {};
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return {};
    return {secondsSince(start), cpuSeconds(usage), WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

struct Contender {
    const char* name;
    const char* shortName;
    int versus;   // the worker this one is compared with; -1 for a worker
    std::function<Run(const std::string& out)> run;
    std::vector<double> seconds{};
    std::vector<double> cpu{};
};

int benchDownload(const Workspace& space, uint64_t mib, int rounds)
{
    moontest::NginxServer nginx(space.path("nginx"));
    moontest::NginxServer secure(space.path("tls"));
    const uint64_t size = mib << 20;
    nginx.makeFile("big.bin", size);
    std::filesystem::create_hard_link(nginx.file("big.bin"), secure.file("big.bin"));
    secure.useTls();
    if (!nginx.start() || !secure.start()) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    // Both the worker and curl trust the test authority through the same variable.
    ::setenv("CURL_CA_BUNDLE", secure.authorityFile().c_str(), 1);
    CoreRun core;
    if (!core.ok)
        return 1;
    const std::string url = nginx.url("big.bin");
    const std::string secureUrl = secure.url("big.bin");
    long peakRise = 0;
    Contender contenders[] = {
        {"moonfetch worker", "worker", -1, [&](const std::string& out) { return workerDownload(url, out, &peakRise); }},
        {"curl -s -o", "curl", 0, [&](const std::string& out) { return commandRun({"curl", "-s", "-o", out, url}); }},
        {"wget -q -O", "wget", 0, [&](const std::string& out) { return commandRun({"wget", "-q", "-O", out, url}); }},
        {"https, worker", "worker", -1, [&](const std::string& out) { return workerDownload(secureUrl, out, &peakRise); }},
        {"https, curl", "curl", 3, [&](const std::string& out) { return commandRun({"curl", "-s", "-o", out, secureUrl}); }},
    };
    constexpr int COUNT = int(std::size(contenders));
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < COUNT; ++turn) {
            Contender& c = contenders[(round + turn) % COUNT];
            const std::string out = space.path("out.bin");
            ::sync();   // nobody's writes, the source's included, are still on their way
            Run run = c.run(out);
            const bool whole = run.ok && moontest::isPatternFile(out, size);
            if (!whole)
                std::fprintf(stderr, "round %d: %s failed\n", round + 1, c.name);
            ok = ok && whole;
            c.seconds.push_back(run.seconds);
            c.cpu.push_back(run.cpu);
            std::filesystem::remove(out);
        }
    }
    ::unsetenv("CURL_CA_BUNDLE");
    const double megabytes = double(size) / 1e6;
    const double gib = double(size) / GIB;
    std::printf("download: %llu MiB, rounds: %d, every file %s\n", (unsigned long long)mib, rounds,
                ok ? "byte for byte" : "WRONG");
    for (const Contender& c : contenders) {
        const double rate = megabytes / median(c.seconds);
        const double cpu = median(c.cpu) / gib;
        std::printf("  %-17s %8.1f MB/s  %6.2f CPU s/GiB", c.name, rate, cpu);
        if (c.versus >= 0) {
            const Contender& worker = contenders[c.versus];
            std::printf("   worker/%s: wall %.2f, CPU %.2f", c.shortName,
                        median(c.seconds) / median(worker.seconds), median(c.cpu) / median(worker.cpu));
        }
        std::printf("\n");
    }
    std::printf("  (a ratio above 1 means the worker was faster or spent less CPU)\n");
    std::printf("  resident memory rise during the worker's downloads: %ld KiB\n", peakRise);
    return ok ? 0 : 1;
}

std::string validationName(int i)
{
    return std::string("v").append(std::to_string(i)).append(".bin");
}

// From adding count links until the last is harvested, the way the work timer does it (a save
// handed off after every harvest that changed the list).
Run validation(const moontest::NginxServer& nginx, int count, const Workspace& space)
{
    CoreRun core;
    MOONQ_SetDownloadDir(space.path("dl").c_str());
    DownloadOptions options{};
    const double cpuBefore = processCpuSeconds();
    auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        MOONQ_AddURL(nginx.url(validationName(i)).c_str(), &options);
    for (;;) {
        const int32_t q = MOONQ_CheckBackQueries(&options);
        if (q == 2)
            break;
        if (q == 1)
            MOONQ_SavePendingSoon();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return {secondsSince(start), processCpuSeconds() - cpuBefore, true};
}

int benchValidate(const Workspace& space)
{
    moontest::NginxServer nginx(space.path("nginx"));
    for (int i = 0; i < 100; ++i)
        nginx.makeFile(validationName(i), 1000);
    std::filesystem::create_directories(space.path("dl"));
    if (!nginx.start())
        return 1;
    // A person who has used the program before: the folder is stored already.
    validation(nginx, 1, space);
    std::vector<double> one, hundred, oneCpu, hundredCpu;
    for (int round = 0; round < 7; ++round) {
        Run run = validation(nginx, 1, space);
        one.push_back(run.seconds);
        oneCpu.push_back(run.cpu);
        run = validation(nginx, 100, space);
        hundred.push_back(run.seconds);
        hundredCpu.push_back(run.cpu);
    }
    std::printf("validate: 1 link %.1f ms (CPU %.1f ms), 100 links %.1f ms (CPU %.1f ms), "
                "ratio %.1f (CPU %.1f)\n",
                median(one) * 1e3, median(oneCpu) * 1e3, median(hundred) * 1e3,
                median(hundredCpu) * 1e3, median(hundred) / median(one),
                median(hundredCpu) / median(oneCpu));
    return 0;
}

constexpr int LIST_SIZE = 10000;

// LIST_SIZE valid items as a harvested query leaves them, with typical names and validators.
void fillList(const Workspace& space)
{
    for (int i = 0; i < LIST_SIZE; ++i) {
        const std::string name = std::string("file-").append(std::to_string(i)).append(".zip");
        UrlItem* item = MOONQ_NewItem(("http://downloads.example.org/pub/releases/" + name).c_str());
        item->flags = ITEM_VALID;
        item->size = 123456789;
        CopyBounded(item->localPath, space.path("dl/" + name).c_str());
    }
}

int benchSave(const Workspace& space)
{
    CoreRun core;
    fillList(space);
    std::vector<double> whole;
    for (int round = 0; round < 20; ++round) {
        auto start = Clock::now();
        if (MOONQ_SavePending() != 0)
            return 1;
        whole.push_back(secondsSince(start));
    }
    std::printf("save of %d items: %.2f ms on the calling thread (file of %llu bytes)\n", LIST_SIZE,
                median(whole) * 1e3, (unsigned long long)std::filesystem::file_size(PENDING_FILE));
    std::vector<double> handOff;
    for (int round = 0; round < 20; ++round) {
        auto start = Clock::now();
        MOONQ_SavePendingSoon();
        handOff.push_back(secondsSince(start));
        MOONQ_FinishSaves();
    }
    std::printf("  handed off as the work timer does it: %.2f ms on the calling thread\n",
                median(handOff) * 1e3);
    return 0;
}

int benchStartup(const Workspace& space)
{
    {
        CoreRun core;
        fillList(space);
        if (MOONQ_SavePending() != 0)
            return 1;
    }
    std::vector<double> times;
    long rise = 0;
    for (int round = 0; round < 5; ++round) {
        CoreRun core;
        long base = residentKiB();
        auto start = Clock::now();
        if (MOONQ_LoadPending() != LIST_SIZE)
            return 1;
        times.push_back(secondsSince(start));
        rise = std::max(rise, residentKiB() - base);
    }
    std::printf("start-up with %d items: %.2f ms to load, resident memory rise %ld KiB\n", LIST_SIZE,
                median(times) * 1e3, rise);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Workspace space;
    if (!space.ok())
        return 1;
    const std::string which = argc > 1 ? argv[1] : "all";
    const bool all = which == "all";
    int failures = 0;
    if (all || which == "download") {
        uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
        int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
        failures += benchDownload(space, mib, std::max(rounds, 1));
    }
    if (all || which == "validate")
        failures += benchValidate(space);
    if (all || which == "save")
        failures += benchSave(space);
    if (all || which == "startup")
        failures += benchStartup(space);
    return failures == 0 ? 0 : 1;
}

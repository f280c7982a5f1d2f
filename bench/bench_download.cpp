// Benchmarks of the download core, run on demand:
//
//   moon_bench [download | throttled | fast [size in MiB [rounds]]] [--connections 1..16]
//   moon_bench validate | save | startup | cookies | handoff
//   moon_bench              (every case, each download case at its own size)
//
// The download cases: every contender is a process of its own (the worker runs in
// moon_bench_worker, beside this program, with the connections setting --connections, by default
// the program's 8, and 16 in the throttled case, as many as aria2c -x16 opens),
// all fetching the same file from one loopback nginx in the same run, so the ratios hold on a
// noisy machine, timed alike from their own resource usage. Each round runs every contender once,
// each after a sync, so none inherits another's (or the source file's) writes still on their way
// to the disk; the orders of the rounds put every contender straight after every other equally
// often when the rounds are a multiple of the contenders less one, so none always pays for, or
// profits from, the same neighbour. Printed: each round's load average, rates and the worker's
// ratios to the others; then the min / median / max of the rounds of MB/s, CPU seconds per GiB
// and the ratios, each contender's peak resident memory, and the case's goals, which decide it.
// download: 1024 MiB, the worker against curl and wget, and against curl over https from one
//   loopback nginx speaking TLS; 4 rounds by default, no goal.
// throttled: 128 MiB from an nginx that limits every connection to 2 MiB/s, the worker against
//   curl, aria2c -x1 and aria2c -x16 -s16 -k1M; 3 rounds by default. Goal: the worker's rate at
//   least 0.95 times aria2c -x16's.
// fast: 1024 MiB from an nginx without a limit, the worker against curl; 5 rounds by default.
//   Goals: the worker's rate at least curl's, its CPU per GiB at most curl's.
// validate: 10, 100, 1,000 and 10,000 links validated at once against one loopback nginx, as the
//   work timer harvests them: the cost of a link in each (median of the rounds), the ratio of the
//   cost at 10,000 to that at 10 (the goal: at most 1.5), and the peak thread count and resident
//   memory of each.
// save: the pending list of 10,000 items saved, whole and as the work timer hands it off.
// startup: the core started and a pending list of 100,000 items loaded, as the program starts:
//   processor time and peak resident memory against the goal (the previous release's figures),
//   which decides the case.
// cookies: a browser's cookie store of 5,000 cookies read, for Firefox and for Chromium (its
//   values encrypted), as a query does when the store changed; the goal is under 20 ms of
//   processor time for each.
// handoff: 10,000 links handed by a second start to the running program (offscreen): the time
//   until its answer and until every link is validated, and the program's peak thread count,
//   against the core alone validating as many links of the same server; the goal, at most
//   twice the core's time, decides the case.
//
// Everything (settings, cookie jar, downloads, the lists) stays in a temporary folder that is
// removed at the end, also when SIGINT, SIGTERM or SIGHUP interrupts the benchmark: the
// contender running then is killed, the nginx it starts is stopped, the folder removed, and the
// benchmark ends by the signal that interrupted it.
#include "browsers/cookiestores.h"
#include "core/checkback.h"
#include "core/items.h"
#include "core/pending.h"
#include "core/querypool.h"
#include "core/start.h"
#include "core/workers.h"
#include "platform/text.h"
#include "settings/registry.h"
#include "store/regstore.h"

#include "tests/support/browserstores.h"
#include "tests/support/servers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double GIB = 1024.0 * 1024.0 * 1024.0;

// A memory line of /proc/self/status ("VmRSS:", "VmHWM:"), in KiB; 0 when it is not there.
long statusKiB(const char* key)
{
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
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

// The signal that interrupted the benchmark, 0 while none has. Lock-free atomics, so that the
// handler may touch them whichever thread it runs on.
std::atomic<int> interruption{0};
// The contender's process running now (0 when none); an interruption kills it, which ends the
// wait for it.
std::atomic<pid_t> runningChild{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free);

void onInterrupt(int signal)
{
    interruption.store(signal);
    const pid_t child = runningChild.load();
    if (child > 0)
        ::kill(child, SIGKILL);
}

bool interrupted()
{
    return interruption.load() != 0;
}

// From here on an interruption only sets the flag and kills the running contender; the
// benchmark stops at its next step. Calls under way resume (SA_RESTART), so code that does not
// look at the flag goes on undisturbed until the benchmark does. A signal ignored already (a
// background job's SIGINT, nohup's SIGHUP) stays ignored.
void catchInterruptions()
{
    struct sigaction action{};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESTART;
    ::sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before{};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            ::sigaction(signal, &action, nullptr);
    }
}

// Ends the process by the signal that interrupted it, as if it had not been caught, so that
// whoever started the benchmark sees why it ended.
void endAsInterrupted()
{
    const int signal = interruption.load();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// One contender's download: wall and CPU seconds, peak resident memory, and whether it ended
// well.
struct Run {
    double seconds = 0;
    double cpu = 0;
    bool ok = false;
    long peakKiB = 0;
    size_t peakThreads = 0;
    double longestStep = 0;   // seconds of the longest single step on the calling thread
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

// Runs a command and measures the whole process from its own resource usage.
Run commandRun(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    auto start = Clock::now();
    // Forked, not spawned: at exec the kernel counts the memory image being replaced into the
    // process's peak. A spawned child shares ours until then and would report our own peak; a
    // forked one reports at least what we have in use at the fork, under 2.5 MiB in a release
    // build, below every contender.
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        std::perror(argv[0]);
        ::_exit(127);
    }
    if (pid < 0)
        return {};
    runningChild.store(pid);
    if (interrupted())   // before the handler could see the child
        ::kill(pid, SIGKILL);
    // Waited for without reaping first, so that the handler never kills a pid already reused.
    siginfo_t ended{};
    ::waitid(P_PID, id_t(pid), &ended, WEXITED | WNOWAIT);
    runningChild.store(0);
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return {};
    return {secondsSince(start), cpuSeconds(usage), WIFEXITED(status) && WEXITSTATUS(status) == 0,
            usage.ru_maxrss};
}

// Rounds of turns, each an order of count (at least 2) contenders, that run one after another,
// the last round's last turn before the first round's first, put every contender straight
// after every other exactly once: count - 1 rounds. Found by a search, instant for a few.
class OrderSearch {
public:
    explicit OrderSearch(int count) : count_(count), followed_(size_t(count * count), false)
    {
        for (int c = 0; c < count; ++c)
            followed_[pair(c, c)] = true;   // nobody follows itself
        turns_.push_back(0);   // any contender may open, they are alike to the search
        extend();
    }
    std::vector<int> round(int r) const
    {
        const auto first = turns_.begin() + ptrdiff_t(r % rounds()) * count_;
        return {first, first + count_};
    }
    int rounds() const { return count_ - 1; }
    // The contender before the first round's first turn.
    int last() const { return turns_.back(); }

private:
    size_t pair(int before, int after) const { return size_t(before * count_ + after); }
    // Adds turns up to the end, each a contender not yet in its round and not yet straight after
    // the one before it; false when no choice of them leads there.
    bool extend()
    {
        if (int(turns_.size()) == count_ * rounds())
            return !followed_[pair(last(), turns_.front())];
        const auto roundStart = ptrdiff_t(turns_.size() - turns_.size() % size_t(count_));
        for (int c = 0; c < count_; ++c) {
            const size_t step = pair(last(), c);
            if (followed_[step] || std::find(turns_.begin() + roundStart, turns_.end(), c) != turns_.end())
                continue;
            followed_[step] = true;
            turns_.push_back(c);
            if (extend())
                return true;
            turns_.pop_back();
            followed_[step] = false;
        }
        return false;
    }

    int count_;
    std::vector<bool> followed_;   // [pair(a, b)]: b has run straight after a
    std::vector<int> turns_;
};

using Args = std::vector<std::string>;

struct Contender {
    const char* name;
    const char* tag;   // short and unique: the rounds' lines and the ratios name it
    int versus;        // the worker this one is compared with; -1 for a worker
    std::function<Args(const std::string& out)> command;
    std::vector<double> seconds{};   // one a round
    std::vector<double> cpu{};
    long peakKiB = 0;
};

// What a comparison holds its worker to: the worker's rate (cpu: its CPU per GiB, inverted) at
// least factor times that of contender `against`. Judged on the median of the rounds' ratios,
// since the two of a round met the same load.
struct Goal {
    int against;
    bool cpu;
    double factor;
    const char* text;
};

// One file fetched from one loopback nginx by every contender, round after round.
struct Comparison {
    std::string title;
    uint64_t size;
    std::vector<Contender> contenders;
    std::vector<Goal> goals{};
    // An unmeasured turn before the first round, so that the first turn, like every other,
    // follows a download.
    bool warmUp = true;
    std::vector<double> load{};   // the 1-minute load average as each round starts
    bool ok = true;               // every file arrived byte for byte
};

// One turn of c: a download into out after a sync, checked byte for byte and removed, with the
// control file aria2c leaves beside a download it did not end.
Run downloadTurn(const Contender& c, const std::string& out, uint64_t size)
{
    ::sync();   // nobody's writes, the source's included, are still on their way
    Run run = commandRun(c.command(out));
    run.ok = run.ok && moontest::isPatternFile(out, size);
    std::error_code ignored;
    std::filesystem::remove(out, ignored);
    std::filesystem::remove(out + ".aria2", ignored);
    return run;
}

double loadAverage()
{
    double load = 0;
    return ::getloadavg(&load, 1) == 1 ? load : 0;
}

// Runs the rounds, each every contender once in the orders of OrderSearch; false when
// interrupted.
bool runRounds(Comparison& cmp, const std::string& out, int rounds)
{
    const OrderSearch orders(int(cmp.contenders.size()));
    if (cmp.warmUp)
        downloadTurn(cmp.contenders[size_t(orders.last())], out, cmp.size);
    for (int round = 0; round < rounds && !interrupted(); ++round) {
        cmp.load.push_back(loadAverage());
        for (int index : orders.round(round)) {
            Contender& c = cmp.contenders[size_t(index)];
            const Run run = downloadTurn(c, out, cmp.size);
            if (interrupted())
                return false;
            if (!run.ok)
                std::fprintf(stderr, "round %d: %s failed\n", round + 1, c.name);
            cmp.ok = cmp.ok && run.ok;
            c.seconds.push_back(run.seconds);
            c.cpu.push_back(run.cpu);
            c.peakKiB = std::max(c.peakKiB, run.peakKiB);
        }
    }
    return !interrupted();
}

struct Spread {
    double min = 0, median = 0, max = 0;
};

Spread spreadOf(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    return {values.front(), values[values.size() / 2], values.back()};
}

// The rounds' ratios of c to its worker, of wall or CPU time: above 1 where the worker was
// faster or spent less.
std::vector<double> ratios(const Comparison& cmp, const Contender& c, bool cpu)
{
    const Contender& worker = cmp.contenders[size_t(c.versus)];
    const std::vector<double>& mine = cpu ? c.cpu : c.seconds;
    const std::vector<double>& its = cpu ? worker.cpu : worker.seconds;
    std::vector<double> result;
    for (size_t r = 0; r < std::min(mine.size(), its.size()); ++r)
        result.push_back(mine[r] / its[r]);
    return result;
}

std::vector<double> rates(const Comparison& cmp, const Contender& c)
{
    std::vector<double> result;
    for (double seconds : c.seconds)
        result.push_back(double(cmp.size) / 1e6 / seconds);
    return result;
}

void printRounds(const Comparison& cmp)
{
    for (size_t r = 0; r < cmp.load.size(); ++r) {
        std::printf("  round %zu, load %.2f:", r + 1, cmp.load[r]);
        for (const Contender& c : cmp.contenders)
            std::printf("  %s %.1f MB/s", c.tag, double(cmp.size) / 1e6 / c.seconds[r]);
        for (const Contender& c : cmp.contenders) {
            if (c.versus >= 0)
                std::printf("  %s/%s %.2f (CPU %.2f)", cmp.contenders[size_t(c.versus)].tag, c.tag,
                            ratios(cmp, c, false)[r], ratios(cmp, c, true)[r]);
        }
        std::printf("\n");
    }
}

void printSummary(const Comparison& cmp)
{
    const double gib = double(cmp.size) / GIB;
    for (const Contender& c : cmp.contenders) {
        const Spread rate = spreadOf(rates(cmp, c)), cpu = spreadOf(c.cpu);
        std::printf("  %-22s %8.1f / %8.1f / %8.1f MB/s  %6.2f / %6.2f / %6.2f CPU s/GiB  %7.1f MiB peak\n",
                    c.name, rate.min, rate.median, rate.max, cpu.min / gib, cpu.median / gib, cpu.max / gib,
                    double(c.peakKiB) / 1024);
    }
    for (const Contender& c : cmp.contenders) {
        if (c.versus < 0)
            continue;
        const Spread wall = spreadOf(ratios(cmp, c, false)), cpu = spreadOf(ratios(cmp, c, true));
        std::printf("  %s/%s: wall %.2f / %.2f / %.2f, CPU %.2f / %.2f / %.2f\n", cmp.contenders[size_t(c.versus)].tag,
                    c.tag, wall.min, wall.median, wall.max, cpu.min, cpu.median, cpu.max);
    }
    const Spread load = spreadOf(cmp.load);
    std::printf("  load %.2f / %.2f / %.2f (%ld processors)\n", load.min, load.median, load.max,
                ::sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("  (min / median / max of the rounds; a ratio above 1 means the worker was faster or spent less "
                "CPU)\n");
}

// Prints each goal with its verdict; true when every one is met.
bool judgeGoals(const Comparison& cmp)
{
    bool met = true;
    for (const Goal& goal : cmp.goals) {
        const Spread ratio = spreadOf(ratios(cmp, cmp.contenders[size_t(goal.against)], goal.cpu));
        const bool ok = ratio.median >= goal.factor;
        std::printf("  goal: %s: median ratio %.2f (min %.2f, max %.2f): %s\n", goal.text, ratio.median, ratio.min,
                    ratio.max, ok ? "met" : "MISSED");
        met = met && ok;
    }
    return met;
}

// Runs and prints a comparison; 0 when every file arrived whole and every goal is met.
int runComparison(Comparison& cmp, const std::string& out, int rounds)
{
    if (!runRounds(cmp, out, rounds))
        return 1;
    const int cycle = int(cmp.contenders.size()) - 1;
    std::printf("%s: %llu MiB, rounds: %d, every file %s\n", cmp.title.c_str(),
                (unsigned long long)(cmp.size >> 20), rounds, cmp.ok ? "byte for byte" : "WRONG");
    printRounds(cmp);
    printSummary(cmp);
    if (rounds % cycle == 0)
        std::printf("  every contender ran straight after every other %d time(s)\n", rounds / cycle);
    else
        std::printf("  uneven neighbours: a multiple of %d rounds puts every contender straight "
                    "after every other equally often\n", cycle);
    const bool met = judgeGoals(cmp);
    return cmp.ok && met ? 0 : 1;
}

// The worker fetching url into out with the given connections setting.
Args workerCommand(int connections, const std::string& url, const std::string& out)
{
    const std::string worker =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "moon_bench_worker").string();
    return {worker, "--connections", std::to_string(connections), url, out};
}

// The worker's setting, for a comparison's title.
std::string workerSetting(int connections)
{
    return ", the worker set to " + std::to_string(connections) + " connection(s)";
}

// aria2c fetching url into out, with split options (the connections) such as "-x1".
Args aria2Command(const std::string& url, const std::string& out, std::initializer_list<const char*> split)
{
    const std::filesystem::path path(out);
    Args args{"aria2c", "-q", "--no-conf=true", "--allow-overwrite=true", "--auto-file-renaming=false",
              "-d", path.parent_path().string(), "-o", path.filename().string()};
    args.insert(args.end(), split.begin(), split.end());
    args.push_back(url);
    return args;
}

// Starts nginx; false (said unless interrupted) when it did not start.
bool startServer(moontest::NginxServer& nginx)
{
    const bool up = !interrupted() && nginx.start();
    if (!up && !interrupted())
        std::fprintf(stderr, "nginx did not start\n");
    return up;
}

// rounds 0: as many as put every contender straight after every other once.
int benchDownload(const Workspace& space, uint64_t mib, int rounds, int connections)
{
    moontest::NginxServer nginx(space.path("nginx"));
    moontest::NginxServer secure(space.path("tls"));
    nginx.makeFile("big.bin", mib << 20);
    std::filesystem::create_hard_link(nginx.file("big.bin"), secure.file("big.bin"));
    secure.useTls();
    if (!startServer(nginx) || !startServer(secure))
        return 1;
    // Both the worker and curl trust the test authority through the same variable.
    ::setenv("CURL_CA_BUNDLE", secure.authorityFile().c_str(), 1);
    const std::string url = nginx.url("big.bin");
    const std::string secureUrl = secure.url("big.bin");
    Comparison cmp{"download" + workerSetting(connections), mib << 20, {
        {"moonfetch worker", "worker", -1, [&](const std::string& out) { return workerCommand(connections, url, out); }},
        {"curl -s -o", "curl", 0, [&](const std::string& out) { return Args{"curl", "-s", "-o", out, url}; }},
        {"wget -q -O", "wget", 0, [&](const std::string& out) { return Args{"wget", "-q", "-O", out, url}; }},
        {"https, worker", "https-worker", -1, [&](const std::string& out) { return workerCommand(connections, secureUrl, out); }},
        {"https, curl", "https-curl", 3, [&](const std::string& out) { return Args{"curl", "-s", "-o", out, secureUrl}; }},
    }};
    const int result = runComparison(cmp, space.path("out.bin"), rounds > 0 ? rounds : int(cmp.contenders.size()) - 1);
    ::unsetenv("CURL_CA_BUNDLE");
    return result;
}

// The rate nginx allows each connection in the throttled case (2 MiB/s).
constexpr const char* THROTTLE = "2m";

// A server that limits every connection's rate: the worker against curl and aria2c with one
// connection and with sixteen, whose rate the worker's several connections are to reach.
int benchThrottled(const Workspace& space, uint64_t mib, int rounds, int connections)
{
    moontest::NginxServer nginx(space.path("throttled"));
    nginx.makeFile("big.bin", mib << 20);
    nginx.addConfig(std::string("limit_rate ") + THROTTLE + ";");
    if (!startServer(nginx))
        return 1;
    const std::string url = nginx.url("big.bin");
    Comparison cmp{std::string("throttled (limit_rate ") + THROTTLE + " a connection)" + workerSetting(connections),
                   mib << 20, {
        {"moonfetch worker", "worker", -1, [&](const std::string& out) { return workerCommand(connections, url, out); }},
        {"curl -s -o", "curl", 0, [&](const std::string& out) { return Args{"curl", "-s", "-o", out, url}; }},
        {"aria2c -x1", "aria2-x1", 0, [&](const std::string& out) { return aria2Command(url, out, {"-x1"}); }},
        {"aria2c -x16 -s16 -k1M", "aria2-x16", 0,
         [&](const std::string& out) { return aria2Command(url, out, {"-x16", "-s16", "-k1M"}); }},
    }, {{3, false, 0.95, "Moonfetch's rate at least 0.95 times aria2c -x16's"}}};
    // A throttled download leaves no writes behind worth a turn of a minute before the rounds.
    cmp.warmUp = false;
    return runComparison(cmp, space.path("out.bin"), rounds);
}

// A server as fast as loopback allows, where one connection is enough: the worker against curl,
// its added connections to cost neither rate nor CPU.
int benchFast(const Workspace& space, uint64_t mib, int rounds, int connections)
{
    moontest::NginxServer nginx(space.path("fast"));
    nginx.makeFile("big.bin", mib << 20);
    if (!startServer(nginx))
        return 1;
    const std::string url = nginx.url("big.bin");
    Comparison cmp{"fast" + workerSetting(connections), mib << 20, {
        {"moonfetch worker", "worker", -1, [&](const std::string& out) { return workerCommand(connections, url, out); }},
        {"curl -s -o", "curl", 0, [&](const std::string& out) { return Args{"curl", "-s", "-o", out, url}; }},
    }, {{1, false, 1.0, "Moonfetch's rate at least curl's"}, {1, true, 1.0, "Moonfetch's CPU per GiB at most curl's"}}};
    return runComparison(cmp, space.path("out.bin"), rounds);
}

std::string validationName(int i)
{
    return std::string("v/").append(std::to_string(i)).append(".bin");
}

size_t threadCount()
{
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

// The process's peak resident memory since the last reset (VmHWM), in KiB.
long peakResidentKiB()
{
    return statusKiB("VmHWM:");
}

// Lets the next peakResidentKiB count from the memory resident now.
void resetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

// From adding count links until the last is harvested, the way the work timer does it (a save
// handed off after every harvest that changed the list); ok when every link came out valid.
Run validation(const moontest::NginxServer& nginx, int count, const Workspace& space)
{
    CoreRun core;
    MOONQ_SetDownloadDir(space.path("dl").c_str());
    DownloadOptions options{};
    size_t threads = threadCount();
    const double cpuBefore = processCpuSeconds();
    auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        MOONQ_AddURL(nginx.url(validationName(i)).c_str(), &options);
    // The longest tick stands for the longest the window would not answer.
    double longest = 0;
    for (;;) {
        threads = std::max(threads, threadCount());
        const auto tick = Clock::now();
        const int32_t q = MOONQ_CheckBackQueries(&options);
        if (q == 1)
            MOONQ_SavePendingSoon();
        longest = std::max(longest, secondsSince(tick));
        if (q == 2)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Run run{secondsSince(start), processCpuSeconds() - cpuBefore, true, 0, threads, longest};
    for (UrlItem* item = MOONQ_FirstItem(); item != nullptr; item = MOONQ_NextItem(item))
        run.ok = run.ok && (item->flags & ITEM_VALID);
    run.ok = run.ok && MOONQ_CountItems() == size_t(count);
    return run;
}

// The most a link at 10,000 may cost against a link at 10.
constexpr double VALIDATE_GOAL = 1.5;

int benchValidate(const Workspace& space)
{
    moontest::NginxServer nginx(space.path("nginx"));
    nginx.makeFile("one.bin", 1000);
    nginx.addConfig("location /v/ { try_files /one.bin =404; }");
    std::filesystem::create_directories(space.path("dl"));
    if (!nginx.start())
        return 1;
    // A person who has used the program before: the folder is stored already.
    validation(nginx, 1, space);
    const int counts[] = {10, 100, 1000, 10000};
    double perLink[std::size(counts)] = {};
    bool ok = true;
    for (size_t row = 0; row < std::size(counts) && !interrupted(); ++row) {
        const int count = counts[row];
        std::vector<double> seconds, cpu;
        size_t threads = 0;
        double longest = 0;
        resetPeakResident();
        // Rounds enough for a steady median of the small rows, within a few seconds.
        for (int round = 0; round < std::clamp(10000 / count, 3, 21); ++round) {
            const Run run = validation(nginx, count, space);
            ok = ok && run.ok;
            seconds.push_back(run.seconds / count);
            cpu.push_back(run.cpu / count);
            threads = std::max(threads, run.peakThreads);
            longest = std::max(longest, run.longestStep);
        }
        perLink[row] = median(seconds);
        std::printf("validate %5d links: %.3f ms a link (CPU %.3f ms), longest harvest %.1f ms, peak %zu threads, "
                    "peak resident %ld KiB\n",
                    count, perLink[row] * 1e3, median(cpu) * 1e3, longest * 1e3, threads, peakResidentKiB());
    }
    if (interrupted())
        return 1;
    const double ratio = perLink[std::size(counts) - 1] / perLink[0];
    const bool met = ratio <= VALIDATE_GOAL;
    std::printf("validate: a link at 10000 costs %.2f times a link at 10 (%u query workers; goal at most %.1f): "
                "%s%s\n", ratio, MOONQ_QueryPoolSize(), VALIDATE_GOAL, met ? "met" : "MISSED", ok ? "" : ", LINKS LOST");
    return ok && met ? 0 : 1;
}

#ifdef MOON_PROGRAM
// Waits (a step at a time) until done holds, the benchmark is interrupted or timeout passes.
bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(10))
{
    const auto end = Clock::now() + timeout;
    while (!done() && !interrupted() && Clock::now() < end)
        std::this_thread::sleep_for(step);
    return done();
}

size_t linesIn(const std::string& path, const char* word)
{
    std::ifstream in(path);
    size_t count = 0;
    for (std::string line; std::getline(in, line);)
        count += line.find(word) != std::string::npos;
    return count;
}

// 10,000 links handed by a second start to the running program, offscreen: until the second
// start's answer (every link added) and until the last is validated, and the running copy's
// peak thread count meanwhile; then the core alone validates as many links of the same server,
// and the program's time must stay within twice the core's. The program keeps its placeholders
// until the core is done: a file system slows down the creation of files for a while after many
// were deleted, and neither may pay for the other's.
int benchHandoff(const Workspace& space)
{
    constexpr int COUNT = 10000;
    constexpr double GOAL_TIMES_CORE = 2.0;
    moontest::NginxServer nginx(space.path("nginx"));
    nginx.makeFile("one.bin", 1000);
    nginx.addConfig("location /h/ { try_files /one.bin =404; }");
    nginx.addConfig("location /v/ { try_files /one.bin =404; }");
    std::filesystem::create_directories(space.path("dl"));
    std::filesystem::create_directories(space.path("handed"));
    if (!nginx.start() || RegStore_CreateFile(REG_ROOT_CURRENT_USER) != REG_OK ||
        Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD,
                        space.path("handed").c_str()) != REG_OK)
        return 1;
    std::ofstream links(space.path("links.txt"));
    for (int i = 0; i < COUNT; ++i)
        links << nginx.url("h/" + std::to_string(i) + ".bin") << "\n";
    links.close();
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const pid_t copy = ::fork();
    if (copy == 0) {
        ::execl(MOON_PROGRAM, MOON_PROGRAM, nullptr);
        ::_exit(127);
    }
    runningChild.store(copy);
    bool ok = waitUntil([] { return linesIn("moonfch_log.txt", "Options, allowHTML") > 0; }, std::chrono::seconds(30));
    const std::string handOff = std::string(MOON_PROGRAM) + " --input - < " + space.path("links.txt");
    const auto start = Clock::now();
    ok = ok && std::system(handOff.c_str()) == 0;
    const double answered = secondsSince(start);
    size_t threads = 0;
    const std::string tasks = "/proc/" + std::to_string(copy) + "/task";
    // A coarse step: reading the growing list takes processor time from the program.
    ok = ok && waitUntil([&] {
        threads = std::max<size_t>(threads, std::distance(std::filesystem::directory_iterator(tasks), {}));
        return linesIn(PENDING_FILE, "/h/") == COUNT;
    }, std::chrono::minutes(30), std::chrono::milliseconds(100));
    const double validated = secondsSince(start);
    const Run core = validation(nginx, COUNT, space);
    const bool met = core.ok && validated <= GOAL_TIMES_CORE * core.seconds;
    std::printf("handoff %d links: answered in %.2f s, all validated in %.2f s, peak %zu threads%s\n", COUNT,
                answered, validated, threads, ok ? "" : ", FAILED");
    std::printf("handoff: the core alone validated them in %.2f s (longest harvest %.1f ms); the program took %.2f "
                "times that (goal at most %.0f): %s\n",
                core.seconds, core.longestStep * 1e3, validated / core.seconds, GOAL_TIMES_CORE,
                met ? "met" : "MISSED");
    ::kill(copy, SIGTERM);
    ::waitpid(copy, nullptr, 0);
    runningChild.store(0);
    return ok && met ? 0 : 1;
}
#endif

constexpr int LIST_SIZE = 10000;

// count valid items as a harvested query leaves them, with typical names and validators.
void fillList(const Workspace& space, int count)
{
    for (int i = 0; i < count; ++i) {
        const std::string name = std::string("file-").append(std::to_string(i)).append(".zip");
        UrlItem* item = MOONQ_NewItem(("http://downloads.example.org/pub/releases/" + name).c_str());
        item->flags = ITEM_VALID;
        item->size = 123456789;
        Text_CopyBounded(item->etag, "\"5f1c2a-61b4e3a0c8d40\"");
        Text_CopyBounded(item->lastModified, "Wed, 21 Oct 2015 07:28:00 GMT");
        Text_CopyBounded(item->localPath, space.path("dl/" + name).c_str());
    }
}

int benchSave(const Workspace& space)
{
    CoreRun core;
    fillList(space, LIST_SIZE);
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

// The previous release's start-up with STARTUP_ITEMS items: the figures a start may not exceed.
constexpr int STARTUP_ITEMS = 100000;
constexpr double STARTUP_GOAL_CPU_MS = 490;
constexpr double STARTUP_GOAL_PEAK_MIB = 329;

// A start as the program makes it, with STARTUP_ITEMS saved items: the core started and the
// list loaded. Measured: the processor time of the start (median of the rounds) and the
// process's peak resident memory during it (the highest of the rounds); the goal decides the
// case.
int benchStartup(const Workspace& space)
{
    {
        CoreRun core;
        fillList(space, STARTUP_ITEMS);
        if (MOONQ_SavePending() != 0)
            return 1;
    }
    std::vector<double> cpu;
    long peakKiB = 0;
    for (int round = 0; round < 5 && !interrupted(); ++round) {
        // What the stopped core freed goes back to the system, so that the peak is this start's.
        ::malloc_trim(0);
        resetPeakResident();
        const double cpuBefore = processCpuSeconds();
        CoreRun core;
        if (!core.ok || MOONQ_LoadPending() != size_t(STARTUP_ITEMS))
            return 1;
        cpu.push_back(processCpuSeconds() - cpuBefore);
        peakKiB = std::max(peakKiB, peakResidentKiB());
    }
    const double cpuMs = median(cpu) * 1e3, peakMiB = double(peakKiB) / 1024;
    const bool met = cpuMs <= STARTUP_GOAL_CPU_MS && peakMiB <= STARTUP_GOAL_PEAK_MIB;
    std::printf("start-up with %d items: %.0f ms CPU (goal at most %.0f), peak resident %.1f MiB (goal at most %.0f): "
                "%s\n", STARTUP_ITEMS, cpuMs, STARTUP_GOAL_CPU_MS, peakMiB, STARTUP_GOAL_PEAK_MIB,
                met ? "met" : "MISSED");
    return met ? 0 : 1;
}

constexpr double COOKIES_GOAL_SECONDS = 0.020;

int benchCookies(const Workspace& space)
{
    int missed = 0;
    constexpr int COOKIES = 5000;
    std::vector<moontest::BrowserCookie> cookies(COOKIES);
    for (int i = 0; i < COOKIES; ++i) {
        char host[32], name[16];
        std::snprintf(host, sizeof host, ".site%d.example", i % 500);
        std::snprintf(name, sizeof name, "n%d", i);
        cookies[size_t(i)] = {.host = host, .name = name, .value = std::string(32, 'v'), .expiry = 4102444800};
    }
    const struct {
        const char* name;
        std::string file;
        std::function<void(const std::string&)> make;
    } stores[] = {
        {"Firefox", space.path("cookies.sqlite"), [&](const std::string& f) { moontest::makeFirefoxStore(f, 16, cookies); }},
        {"Chromium", space.path("Cookies"), [&](const std::string& f) { moontest::makeChromiumStore(f, 24, cookies); }},
    };
    for (const auto& store : stores) {
        store.make(store.file);
        std::vector<double> times, cpu;
        for (int round = 0; round < 20; ++round) {
            StoreRead read;
            auto start = Clock::now();
            const std::clock_t cpuStart = std::clock();
            if (!CookieStores_Read(store.file, &read) || read.cookies.size() != size_t(COOKIES))
                return 1;
            cpu.push_back(double(std::clock() - cpuStart) / CLOCKS_PER_SEC);
            times.push_back(secondsSince(start));
        }
        // The processor time tells the cost where other work shares the machine: it decides.
        const bool met = median(cpu) < COOKIES_GOAL_SECONDS;
        std::printf("%s store of %d cookies read: %.2f ms, %.2f ms of processor time (target under %.0f ms): %s\n",
                    store.name, COOKIES, median(times) * 1e3, median(cpu) * 1e3, COOKIES_GOAL_SECONDS * 1e3,
                    met ? "met" : "MISSED");
        missed += !met;
    }
    return missed == 0 ? 0 : 1;
}

// What the command line asks for: the case ("all": every one), and the size and rounds of the
// download cases (0: each case's own).
struct BenchOptions {
    std::string which = "all";
    uint64_t mib = 0;
    int rounds = 0;
    int connections = 0;   // the worker's connections setting; 0: each case's own
};

// false on a wrong command line.
bool parseOptions(int argc, char** argv, BenchOptions* options)
{
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--connections") == 0 && i + 1 < argc)
            options->connections = std::atoi(argv[++i]);
        else
            positional.push_back(argv[i]);
    }
    if (positional.size() > 3 || options->connections < 0 || options->connections > 16)
        return false;
    positional.resize(3);
    options->which = positional[0].empty() ? "all" : positional[0];
    options->mib = std::strtoull(positional[1].c_str(), nullptr, 10);
    options->rounds = std::atoi(positional[2].c_str());
    return true;
}

// The cases that the options name, in the workspace; the number that failed.
int runCases(const BenchOptions& options)
{
    Workspace space;
    if (!space.ok())
        return 1;
    // The product's own setting, but where the worker is held to aria2c's sixteen connections.
    const int connections = options.connections > 0 ? options.connections : 8;
    const int sixteen = options.connections > 0 ? options.connections : 16;
    // The download cases' own size (MiB) and rounds; the other cases take neither.
    const struct {
        const char* name;
        uint64_t mib;
        int rounds;
        std::function<int(uint64_t mib, int rounds)> run;
    } cases[] = {
        {"download", 1024, 0, [&](uint64_t mib, int rounds) { return benchDownload(space, mib, rounds, connections); }},
        {"throttled", 128, 3, [&](uint64_t mib, int rounds) { return benchThrottled(space, mib, rounds, sixteen); }},
        {"fast", 1024, 5, [&](uint64_t mib, int rounds) { return benchFast(space, mib, rounds, connections); }},
        {"validate", 0, 0, [&](uint64_t, int) { return benchValidate(space); }},
        {"save", 0, 0, [&](uint64_t, int) { return benchSave(space); }},
        {"startup", 0, 0, [&](uint64_t, int) { return benchStartup(space); }},
        {"cookies", 0, 0, [&](uint64_t, int) { return benchCookies(space); }},
#ifdef MOON_PROGRAM
        {"handoff", 0, 0, [&](uint64_t, int) { return benchHandoff(space); }},
#endif
    };
    int failures = 0;
    bool named = options.which == "all";
    for (const auto& c : cases) {
        named = named || options.which == c.name;
        if ((options.which == "all" || options.which == c.name) && !interrupted())
            failures += c.run(options.mib > 0 ? options.mib : c.mib, options.rounds > 0 ? options.rounds : c.rounds);
    }
    if (!named)
        std::fprintf(stderr, "moon_bench: no case named %s\n", options.which.c_str());
    return failures + !named;
}

}  // namespace

int main(int argc, char** argv)
{
    BenchOptions options;
    if (!parseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: moon_bench [case [size in MiB [rounds]]] [--connections 1..16]\n");
        return 2;
    }
    catchInterruptions();
    const int failures = runCases(options);
    if (interrupted())
        endAsInterrupted();
    return failures == 0 ? 0 : 1;
}

// Download throughput and memory of a worker against curl and wget, all three fetching the same
// file from the same loopback nginx in one run, so the ratios hold on a noisy machine; and the
// worker against curl over https, from one loopback nginx speaking TLS.
//
//   moon_bench [size in MiB, default 1024] [rounds, default 3]
//
// Prints MB/s of each (the median of the rounds), the worker's ratio to curl and wget (and to
// curl over https), and how far the process's resident memory rose while the worker downloaded.
#include "items.h"
#include "workers.h"

#include "servers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

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

struct WorkerRun {
    double seconds;
    long peakRiseKiB;
    bool ok;
};

// One download through the worker path, sampling resident memory while it runs.
WorkerRun workerDownload(const std::string& url, const std::string& out)
{
    UrlItem* item = MOONQ_NewItem(url.c_str());
    item->flags = ITEM_VALID;
    CopyBounded(item->localPath, out.c_str());
    DownloadOptions options{};
    // Each download starts with no other file's writes still on their way to the disk.
    ::sync();
    long base = residentKiB();
    long peak = base;
    auto start = Clock::now();
    UrlRequest* request = nullptr;
    if (MOONQ_StartNextDownload(&request, &options) != 0)
        return {0, 0, false};
    while (request->result.load(std::memory_order_acquire) == RESULT_RUNNING) {
        peak = std::max(peak, residentKiB());
        // Reading the process's status competes with the worker; a sparse sample still sees
        // anything that grows with the file.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    double seconds = secondsSince(start);
    bool ok = MOONQ_CheckBackDown(request) == RESULT_DOWNLOADED;
    MOONQ_FreeRequest(request);
    return {seconds, peak - base, ok};
}

double commandSeconds(const std::string& command)
{
    ::sync();
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "failed: %s\n", command.c_str());
    return secondsSince(start);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    std::string dir = (std::filesystem::temp_directory_path() / "moonfetch-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr)
        return 1;
    std::filesystem::current_path(dir);
    moontest::NginxServer nginx(dir + "/nginx");
    moontest::NginxServer secure(dir + "/tls");
    uint64_t size = mib << 20;
    nginx.makeFile("big.bin", size);
    std::filesystem::create_hard_link(nginx.file("big.bin"), secure.file("big.bin"));
    if (!nginx.start() || !secure.useTls() || !secure.start()) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    // Both the worker and curl trust the throw-away authority through the same variable.
    ::setenv("CURL_CA_BUNDLE", secure.authorityFile().c_str(), 1);
    if (MOONQ_Start() != 0)
        return 1;
    std::string url = nginx.url("big.bin");
    std::string secureUrl = secure.url("big.bin");
    std::vector<double> moon, curl, wget, moonTls, curlTls;
    long peakRise = 0;
    bool ok = true;
    // One download by the worker: its time, and whether every byte arrived.
    auto worker = [&](const std::string& from, std::vector<double>& times) {
        WorkerRun run = workerDownload(from, dir + "/moon.bin");
        ok = ok && run.ok && moontest::isPatternFile(dir + "/moon.bin", size);
        times.push_back(run.seconds);
        peakRise = std::max(peakRise, run.peakRiseKiB);
        std::filesystem::remove(dir + "/moon.bin");
    };
    for (int round = 0; round < rounds; ++round) {
        worker(url, moon);
        curl.push_back(commandSeconds("curl -s -o " + dir + "/curl.bin " + url));
        std::filesystem::remove(dir + "/curl.bin");
        wget.push_back(commandSeconds("wget -q -O " + dir + "/wget.bin " + url));
        std::filesystem::remove(dir + "/wget.bin");
        worker(secureUrl, moonTls);
        curlTls.push_back(commandSeconds("curl -s -o " + dir + "/curl.bin " + secureUrl));
        std::filesystem::remove(dir + "/curl.bin");
    }
    MOONQ_Stop();
    nginx.stop();
    secure.stop();
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);

    double megabytes = double(size) / 1e6;
    double moonRate = megabytes / median(moon);
    double curlRate = megabytes / median(curl);
    double wgetRate = megabytes / median(wget);
    double moonTlsRate = megabytes / median(moonTls);
    double curlTlsRate = megabytes / median(curlTls);
    std::printf("file: %llu MiB, rounds: %d, download %s\n", (unsigned long long)mib, rounds,
                ok ? "byte for byte" : "WRONG");
    std::printf("moonfetch worker: %8.1f MB/s\n", moonRate);
    std::printf("curl -s -o:       %8.1f MB/s   worker/curl = %.2f\n", curlRate, moonRate / curlRate);
    std::printf("wget -q -O:       %8.1f MB/s   worker/wget = %.2f\n", wgetRate, moonRate / wgetRate);
    std::printf("https, worker:    %8.1f MB/s\n", moonTlsRate);
    std::printf("https, curl:      %8.1f MB/s   worker/curl = %.2f\n", curlTlsRate, moonTlsRate / curlTlsRate);
    std::printf("resident memory rise during the worker's downloads: %ld KiB\n", peakRise);
    return ok ? 0 : 1;
}

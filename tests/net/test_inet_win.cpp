// The internet client on WinInet against the loopback servers that the Linux side runs for the
// Wine run (tests/support/wine_servers.cpp), whose ports come in the environment.
#include "net/errors.h"
#include "net/inet.h"

#include "tests/support/fixtures.h"
#include "tests/support/pattern.h"

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <string>
#include <utility>

namespace {

constexpr uint64_t BIG_SIZE = 3 << 20;   // as the Linux side serves "big.bin"
constexpr uint32_t SHORT_MS = 500;
constexpr uint32_t LONG_MS = 20000;
constexpr uint32_t ABORTED_MS = 3000;
using std::chrono::milliseconds;

int portOf(const char* name)
{
    const char* port = std::getenv(name);
    return port ? std::atoi(port) : 0;
}

struct Fetch {
    const char* server;   // the variable that names its port
    InetService service;
    std::string host;
    std::string object;
    uint64_t offset;      // asked with a Range (HTTP) or a restart (FTP)
    const char* ifRange;  // HTTP: the version the Range holds for; null for none
    uint32_t timeout;
    uint32_t error;       // of the open, send or read that failed; 0 for the whole body
    uint32_t wineError;   // where Wine's WinInet gives another number than Windows'
    uint32_t abortMs;     // the abort flag is set this long after the start; 0: never
    uint32_t status;      // HTTP only
    uint64_t bodySize;    // pattern bytes from offset on (from 0 for a 200); 404 is not looked at
};

struct Got {
    uint32_t error = 0;
    uint32_t status = 0;
    std::string body;
};

// Opens, sends and reads the fetch to its end or its first failure, as a worker does.
Got fetch(InetSession* session, const Fetch& f)
{
    Got got;
    InetAbortFlag abort{false};
    std::jthread aborter([&abort, &f] {
        std::this_thread::sleep_for(milliseconds(f.abortMs));
        abort.store(f.abortMs > 0);
    });
    InetHandle* connection = Inet_Connect(session, f.host.c_str(), portOf(f.server), f.service, &abort);
    Inet_SetTimeouts(connection, f.timeout);
    InetHandle* handle = nullptr;
    if (f.service == INET_SERVICE_FTP) {
        handle = Inet_FtpOpenFile(connection, f.object.c_str(), f.offset);
    } else if ((handle = Inet_HttpOpenRequest(connection, "GET", f.object.c_str(), true)) != nullptr) {
        const std::string range = "Range: bytes=" + std::to_string(f.offset) + "-\r\n" +
                                  (f.ifRange ? "If-Range: " + std::string(f.ifRange) + "\r\n" : "");
        if ((f.offset > 0 && !Inet_HttpAddHeader(handle, range.data(), range.size())) || !Inet_HttpSend(handle) ||
            !Inet_HttpStatusCode(handle, &got.status))
            Inet_Close(std::exchange(handle, nullptr));
    }
    char buffer[16384];
    size_t count = 0;
    while (handle && Inet_Read(handle, buffer, sizeof buffer, &count) && count > 0)
        got.body.append(buffer, count);
    got.error = handle && count == 0 ? 0 : Inet_LastError();
    Inet_Close(handle);
    Inet_Close(connection);
    return got;
}

bool underWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

using InetWin = moontest::Sandbox;

TEST_F(InetWin, DownloadsResumesAndFailsWithWinInetsNumbersInWords)
{
    // If-Range names a version the server does not have: the whole file comes again.
    const Fetch fetches[] = {
        {"MOON_TEST_HTTP_PORT", INET_SERVICE_HTTP, "127.0.0.1", "big.bin", 0, nullptr, LONG_MS, 0, 0, 0, 200, BIG_SIZE},
        {"MOON_TEST_HTTP_PORT", INET_SERVICE_HTTP, "127.0.0.1", "big.bin", 1000, nullptr, LONG_MS, 0, 0, 0, 206, BIG_SIZE - 1000},
        {"MOON_TEST_HTTP_PORT", INET_SERVICE_HTTP, "127.0.0.1", "big.bin", 1000, "\"other\"", LONG_MS, 0, 0, 0, 200, BIG_SIZE},
        {"MOON_TEST_HTTP_PORT", INET_SERVICE_HTTP, "127.0.0.1", "missing", 0, nullptr, LONG_MS, 0, 0, 0, 404, 0},
        {"MOON_TEST_FTP_PORT", INET_SERVICE_FTP, "127.0.0.1", "big.bin", 0, nullptr, LONG_MS, 0, 0, 0, 0, BIG_SIZE},
        {"MOON_TEST_FTP_PORT", INET_SERVICE_FTP, "127.0.0.1", "big.bin", 1000, nullptr, LONG_MS, 0, 0, 0, 0, BIG_SIZE - 1000},
        {"MOON_TEST_FTP_PORT", INET_SERVICE_FTP, "127.0.0.1", "missing", 0, nullptr, LONG_MS, INET_ERR_FTP_REFUSED, 0, 0, 0, 0},
        {"MOON_TEST_CLOSED_PORT", INET_SERVICE_HTTP, "127.0.0.1", "f", 0, nullptr, LONG_MS, INET_ERR_CANNOT_CONNECT, 0, 0, 0, 0},
        // Wine ends a request whose answer does not come in time as if the server had dropped it.
        {"MOON_TEST_SILENT_PORT", INET_SERVICE_HTTP, "127.0.0.1", "f", 0, nullptr, SHORT_MS, INET_ERR_TIMEOUT, INET_ERR_CONNECTION_ABORTED, 0, 0, 0},
        // An abort ends the blocked call at once on Windows; Wine's ends only with its time-out.
        {"MOON_TEST_SILENT_PORT", INET_SERVICE_HTTP, "127.0.0.1", "f", 0, nullptr, ABORTED_MS, INET_ERR_CANCELLED, 0, SHORT_MS, 0, 0},
        {"MOON_TEST_HTTP_PORT", INET_SERVICE_HTTP, "127.0.0.1#@evil", "f", 0, nullptr, LONG_MS, INET_ERR_NAME_NOT_RESOLVED, 0, 0, 0, 0},
        // A certificate of an authority the system does not trust; Wine first asks for a revocation
        // list, which the test authority does not name.
        {"MOON_TEST_HTTPS_PORT", INET_SERVICE_HTTPS, "127.0.0.1", "small.bin", 0, nullptr, LONG_MS, INET_ERR_CERT_AUTHORITY, INET_ERR_CERT_REVOCATION_FAILED, 0, 0, 0},
    };
    InetSession* session = Inet_Open("Moonfetch/0.0");
    ASSERT_NE(session, nullptr);
    for (const Fetch& f : fetches) {
        ASSERT_NE(portOf(f.server), 0) << f.server << " is not set: run the tests with scripts/test-windows.sh";
        const auto start = std::chrono::steady_clock::now();
        const Got got = fetch(session, f);
        const auto took = std::chrono::steady_clock::now() - start;
        const uint64_t from = f.status == 200 ? 0 : f.offset;
        const uint32_t error = underWine() && f.wineError != 0 ? f.wineError : f.error;
        const bool whole = error == 0;
        EXPECT_EQ(std::pair(got.error, got.status), std::pair(error, whole ? f.status : 0)) << f.server << " " << f.object << " " << f.offset;
        // Every number a failure gives has its words.
        EXPECT_TRUE(whole || Err_Text(got.error) != nullptr) << got.error;
        EXPECT_LT(took, milliseconds(std::max(f.timeout, f.abortMs) + 2000)) << f.server;
        EXPECT_TRUE(f.status == 404 || got.body == moontest::patternBytes(from, whole ? f.bodySize : 0))
            << f.object << " " << f.offset << ": " << got.body.size() << " bytes";
    }
}

}  // namespace

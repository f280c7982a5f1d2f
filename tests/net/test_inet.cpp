// Only what the request tests of the web module cannot see through Wire_*: interim answers,
// headers that do not fit, the object and host that reach the server, the proxy, time-outs, abort,
// certificates, the cookie jar and threads.
#include "net/inet.h"
#include "store/regstore.h"

#include "tests/support/fixtures.h"
#include "tests/support/servers.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace moontest;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t SHORT_MS = 300;
constexpr uint32_t LONG_MS = 20000;

struct Closer {
    void operator()(InetHandle* handle) const { Inet_Close(handle); }
};
using Handle = std::unique_ptr<InetHandle, Closer>;

// A session of its own for each test, so that no test sees another's cookies. Like the
// program's, sessions are never closed: the list stays reachable to the very end.
InetSession* newSession()
{
    static auto* sessions = new std::vector<InetSession*>;
    sessions->push_back(Inet_Open("Moonfetch/0.0"));
    return sessions->back();
}

// Sets flag from another thread after delay; the thread is joined when the result goes.
std::jthread abortAfter(InetAbortFlag& flag, milliseconds delay)
{
    return std::jthread([&flag, delay] {
        std::this_thread::sleep_for(delay);
        flag.store(true);
    });
}

struct Request {
    std::string host = "127.0.0.1";
    std::string object = "f";
    bool noCookies = true;
    std::vector<std::string> headers{};
    InetAbortFlag* abort = nullptr;
    InetService service = INET_SERVICE_HTTP;
};

struct Answer {
    bool sent = false;
    uint32_t error = 0;   // of the failed send or read; 0 when the body was read to its end
    uint32_t status = 0;
    std::string statusText;
    std::string body;
    std::string etag;     // "<none: error>" when the client gives none in 8 bytes
};

// One GET to the request's host at port as a worker makes it, with everything the client reports.
Answer httpGet(InetSession* session, int port, const Request& request = {})
{
    Answer answer;
    Handle connection(Inet_Connect(session, request.host.c_str(), port, request.service, request.abort));
    Handle handle(Inet_HttpOpenRequest(connection.get(), "GET", request.object.c_str(), request.noCookies));
    if (handle) {
        Inet_SetTimeouts(handle.get(), LONG_MS);
        for (const std::string& header : request.headers)
            EXPECT_TRUE(Inet_HttpAddHeader(handle.get(), header.data(), header.size()));
        answer.sent = Inet_HttpSend(handle.get());
    }
    if (!answer.sent) {
        answer.error = Inet_LastError();
        return answer;
    }
    Inet_HttpStatusCode(handle.get(), &answer.status);
    char text[256];
    if (Inet_HttpStatusText(handle.get(), text, sizeof text))
        answer.statusText = text;
    char value[8];
    answer.etag = Inet_HttpHeader(handle.get(), "ETag", value, sizeof value)
                      ? value : "<none: " + std::to_string(Inet_LastError()) + ">";
    // The body to its end or the first failure; no read may return more than it was asked.
    char buffer[1024];
    size_t count = 0;
    while (Inet_Read(handle.get(), buffer, sizeof buffer, &count)) {
        if (count == 0)
            return answer;
        EXPECT_LE(count, sizeof buffer);
        answer.body.append(buffer, count);
    }
    answer.error = Inet_LastError();
    return answer;
}

// A session of its own, and nginx with its files in the sandbox (started only by the tests
// that need it).
class Inet : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        session = newSession();
        web = std::make_unique<NginxServer>(path("nginx"));
    }
    void TearDown() override
    {
        web.reset();
        Sandbox::TearDown();
    }

    InetSession* session = nullptr;
    std::unique_ptr<NginxServer> web;
};

// Our own server, for what real servers won't do.
using InetScripted = Inet;

TEST_F(InetScripted, ObjectGoesWholeToTheConnectionsHostAndAHostThatUrlReadersTakeForAnotherIsRefused)
{
    ScriptedServer server({{echoRequest()}});
    const struct { std::string object, target; } cases[] = {
        {"a%20b?x=1 y", "/a%20b?x=1%20y"},
        {"x#@127.0.0.2:1/y", "/x%23@127.0.0.2:1/y"},
        {"/127.0.0.2:1/x", "//127.0.0.2:1/x"},
        {"a\\@127.0.0.2/b?c#d@e", "/a\\@127.0.0.2/b?c%23d@e"},
        {"a/../../b/./c?../d", "/b/c?../d"},
    };
    for (const auto& c : cases) {
        Answer answer = httpGet(session, server.port(), {.object = c.object, .headers = {"X-Extra: yes\r\n"}});
        EXPECT_TRUE(answer.body.starts_with("GET " + c.target + " HTTP/1.1\r\n")) << answer.body;
        EXPECT_NE(answer.body.find("\r\nX-Extra: yes\r\n"), std::string::npos) << answer.body;
    }
    const int before = server.connections();
    for (const char* host : {"me@127.0.0.1", "127.0.0.%31", "127.0.0.1#@127.0.0.2", "127.0.0.1?@x",
                             "127.0.0.1/x", "127.0.0.1\\x", "127.0.0.1:1", " 127.0.0.1"}) {
        Handle connection(Inet_Connect(session, host, server.port(), INET_SERVICE_HTTP, nullptr));
        EXPECT_EQ(Inet_HttpOpenRequest(connection.get(), "GET", "f", true), nullptr) << host;
        EXPECT_EQ(Inet_LastError(), INET_ERR_NAME_NOT_RESOLVED) << host;
    }
    EXPECT_EQ(server.connections(), before);
}

TEST_F(InetScripted, RequestsGoThroughTheProxyThatHttpProxyNamesUnlessNoProxyNamesTheHost)
{
    ScriptedServer proxy({{echoRequest()}});
    ::setenv("http_proxy", proxy.url("").c_str(), 1);
    EXPECT_TRUE(httpGet(session, 1).body.starts_with("GET http://127.0.0.1:1/f HTTP/1.1\r\n"));
    ::setenv("no_proxy", "127.0.0.1", 1);
    EXPECT_EQ(httpGet(session, 1).error, INET_ERR_CANNOT_CONNECT);   // straight to the closed port
}

TEST_F(InetScripted, StatusTextAndHeadersAreThoseOfTheFinalAnswer)
{
    // An interim answer arrives on its own, so that a client taking it for the answer shows. A
    // header fits the caller's 8 bytes with its NUL, or is refused.
    auto none = [](uint32_t error) { return "<none: " + std::to_string(error) + ">"; };
    const struct {
        std::string interim, final, seen;   // seen: status, text and ETag
    } cases[] = {
        {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 Fine\r\nETag:  \"fits7\" \r\n", "200 Fine, \"fits7\""},
        {"HTTP/1.1 103 Early Hints\r\nETag: \"early\"\r\n\r\n", "HTTP/1.1 404 Gone Fishing\r\n",
         "404 Gone Fishing, " + none(INET_ERR_HEADER_NOT_FOUND)},
        {"", "HTTP/1.1 200\r\netag: \"1\"\r\nETag: \"2\"\r\n", "200 , \"2\""},
        {"", "HTTP/1.0 200 Old Fine\r\nETag: \"eight8\"\r\n", "200 Old Fine, " + none(INET_ERR_INSUFFICIENT_BUFFER)},
    };
    for (const auto& c : cases) {
        ScriptedServer server({{readRequest(), sendText(c.interim), pauseFor(100),
                                sendText(c.final + "Content-Length: 0\r\n\r\n")}});
        const Answer answer = httpGet(session, server.port());
        EXPECT_EQ(std::to_string(answer.status) + " " + answer.statusText + ", " + answer.etag, c.seen);
        EXPECT_EQ(answer.error, 0u);
    }
}

TEST_F(InetScripted, BlockedCallsEndInTimeOrSoonAfterAnAbortAndLaterCallsFailAtOnce)
{
    // A silent FTP server counts as connecting until its greeting; after it, the receive time-out rules.
    StuckListener stuck;
    ScriptedServer mute({{staySilent()}}), greeter({{sendText("220 Welcome\r\n"), staySilent()}});
    ScriptedServer silent({{readRequest(), staySilent()}}), stalled({{readRequest(), sendText(
        "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n"), sendBody(10), staySilent()}});
    const struct {
        const char* name;
        bool ftp;
        int port;
        uint32_t connectMs, receiveMs, abortMs, error;
    } cases[] = {
        {"never accepted", false, stuck.port(), SHORT_MS, LONG_MS, 0, INET_ERR_TIMEOUT},
        {"no greeting", true, mute.port(), SHORT_MS, LONG_MS, 0, INET_ERR_TIMEOUT},
        {"silent after the greeting", true, greeter.port(), LONG_MS, SHORT_MS, 0, INET_ERR_TIMEOUT},
        {"aborted before the greeting", true, mute.port(), LONG_MS, LONG_MS, 200, INET_ERR_CANCELLED},
        {"aborted before the answer", false, silent.port(), LONG_MS, LONG_MS, 200, INET_ERR_CANCELLED},
        {"aborted in the body", false, stalled.port(), LONG_MS, LONG_MS, 200, INET_ERR_CANCELLED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InetAbortFlag abort{false};
        auto call = [&] {   // a whole GET, or the opening of an FTP file
            if (!c.ftp)
                return httpGet(session, c.port, {.abort = &abort}).error;
            Handle connection(Inet_Connect(session, "127.0.0.1", c.port, INET_SERVICE_FTP, &abort));
            Inet_SetTimeouts(connection.get(), c.receiveMs);
            return Handle(Inet_FtpOpenFile(connection.get(), "f")) ? 0 : Inet_LastError();
        };
        ASSERT_TRUE(Inet_SetConnectTimeout(session, c.connectMs));
        auto start = Clock::now();
        std::jthread late = c.abortMs > 0 ? abortAfter(abort, milliseconds(c.abortMs)) : std::jthread();
        EXPECT_EQ(call(), c.error);
        EXPECT_LT(Clock::now() - start, milliseconds(c.abortMs > 0 ? 1000 : 3000));
        start = Clock::now();   // after an abort every later call fails at once
        EXPECT_EQ(c.abortMs > 0 ? call() : c.error, c.error);
        EXPECT_LT(Clock::now() - start, milliseconds(100));
    }
}

TEST_F(Inet, CertificatesAreCheckedAgainstTheNamedAuthoritiesAndAFailureSaysWhy)
{
    std::vector<std::unique_ptr<NginxServer>> servers;
    for (Certificate kind : {Certificate::GOOD, Certificate::UNKNOWN_AUTHORITY, Certificate::EXPIRED}) {
        servers.push_back(std::make_unique<NginxServer>(path("tls" + std::to_string(servers.size()))));
        servers.back()->useTls(kind);
        servers.back()->makeFile("f", 10);
        ASSERT_TRUE(servers.back()->start());
    }
    // The authorities that CURL_CA_BUNDLE and SSL_CERT_FILE name: the test authority, none, or a missing
    // file. The good certificate names 127.0.0.1 alone, not localhost.
    const std::string own = "own", missing = "/nonexistent/authorities.pem";
    const struct {
        size_t server;
        std::string caBundle, certFile;
        uint32_t error;
        const char* text = nullptr;
        std::string host = "127.0.0.1";
    } cases[] = {
        {0, own, "", 0}, {0, "", own, 0}, {0, "", "", INET_ERR_CERT_AUTHORITY},
        {0, missing, own, INET_ERR_CERT_AUTHORITY},
        {1, own, "", INET_ERR_CERT_AUTHORITY, "The certificate is not trusted"},
        {0, own, "", INET_ERR_CERT_NAME, "The certificate belongs to another host name", "localhost"},
        {2, own, "", INET_ERR_CERT_DATE, "The certificate has expired or is not yet valid"},
    };
    for (const auto& c : cases) {
        const NginxServer& server = *servers[c.server];
        SCOPED_TRACE(std::to_string(c.server) + " " + c.caBundle + " " + c.certFile + " " + c.host);
        for (const auto& [name, value] : {std::pair{"CURL_CA_BUNDLE", c.caBundle}, {"SSL_CERT_FILE", c.certFile}})
            ::setenv(name, (value == own ? server.authorityFile() : value).c_str(), 1);
        const Answer answer = httpGet(session, server.port(), {.host = c.host, .service = INET_SERVICE_HTTPS});
        EXPECT_TRUE(answer.error == c.error && answer.body.size() == (c.error ? 0u : 10u)) << answer.error;
        EXPECT_EQ(Inet_IsCertificateError(answer.error), c.error != 0);
        EXPECT_TRUE(!c.text || Inet_ErrorText(answer.error) == std::string(c.text)) << c.text;
    }
    EXPECT_FALSE(Inet_IsCertificateError(INET_ERR_SECURE_CHANNEL));
}

// Run under ThreadSanitizer too.
using InetConcurrent = Inet;

TEST_F(InetConcurrent, ThreadsGetTheirOwnAnswersAndShareOneCookieJarThatTheNextSessionReads)
{
    constexpr int THREADS = 8;
    auto size = [](int i) { return 200000 + static_cast<uint64_t>(i) * 1001; };
    for (int i = 0; i < THREADS; ++i)
        web->makeFile("f" + std::to_string(i), size(i));
    web->addConfig(R"(location ~ ^/set/(\d+)$ { add_header Set-Cookie "t$1=v$1; Path=/"; return 200 "ok"; })");
    web->addConfig(R"(location = /echo { return 200 "$http_cookie"; })");
    ASSERT_TRUE(web->start());
    const auto jar = std::filesystem::path(RegStore_FilePath(REG_ROOT_CURRENT_USER)).replace_filename(
        "cookies-session.txt");
    std::vector<Answer> files(THREADS), echoes(THREADS);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < THREADS; ++i)
            threads.emplace_back([&, i] {
                const std::string n = std::to_string(i);
                for (int round = 0; round < 5; ++round) {
                    files[i] = httpGet(session, web->port(), {.object = "f" + n});
                    httpGet(session, web->port(), {.object = "set/" + n, .noCookies = false});
                    echoes[i] = httpGet(session, web->port(), {.object = "echo", .noCookies = false});
                }
            });
    }
    // The jar is kept beside the settings file, and a request without it neither sends nor learns.
    EXPECT_NE(readFile(jar).find("\tt7\tv7"), std::string::npos);
    // Holding logins, a new jar and its new folder are for their owner alone.
    EXPECT_EQ(std::filesystem::status(jar).permissions(), std::filesystem::perms(0600));
    EXPECT_EQ(std::filesystem::status(jar.parent_path()).permissions(), std::filesystem::perms(0700));
    EXPECT_EQ(httpGet(session, web->port(), {.object = "echo"}).body, "");
    const std::string next = httpGet(newSession(), web->port(), {.object = "echo", .noCookies = false}).body;
    for (int i = 0; i < THREADS; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_TRUE(files[i].error == 0 && files[i].body == patternBytes(0, size(i))) << i;
        EXPECT_NE(echoes[i].body.find("t" + n + "=v" + n), std::string::npos) << echoes[i].body;
        EXPECT_NE(next.find("t" + n + "=v" + n), std::string::npos) << next;
    }
}

TEST_F(InetConcurrent, AbortRacingAReadEndsCleanly)
{
    web->makeFile("big", 32 * 1024 * 1024);
    ASSERT_TRUE(web->start());
    std::mt19937 random(42);
    int cancelledReads = 0;
    for (int round = 0; round < 6; ++round) {
        InetAbortFlag abort{false};
        auto late = abortAfter(abort, milliseconds(random() % 10));
        const Answer answer = httpGet(session, web->port(), {.object = "big", .abort = &abort});
        EXPECT_TRUE(answer.error == 0 || answer.error == INET_ERR_CANCELLED) << answer.error;
        cancelledReads += answer.sent && answer.error != 0;
        EXPECT_TRUE(answer.body == patternBytes(0, answer.body.size()));
    }
    EXPECT_GT(cancelledReads, 0) << "no abort met a read";
}

}  // namespace

// Only what the request tests of the web module cannot see through Wire_*: read sizes, buffers
// too small, interim answers, how a body ends, time-outs, abort and threads.
#include "inet.h"
#include "regstore.h"

#include "fixtures.h"
#include "servers.h"

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
const std::string HEAD_10000 = "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n";

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

milliseconds since(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
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
    std::string object = "f";
    bool noCookies = true;
    uint32_t timeout = LONG_MS;
    std::vector<std::string> headers{};
    size_t readSize = 1024;
    InetAbortFlag* abort = nullptr;
    const char* header = "ETag";   // read into Answer::header once the answer has come
};

struct Answer {
    bool sent = false;
    uint32_t error = 0;   // of the failed send or read; 0 when the body was read to its end
    uint32_t status = 0;
    std::string statusText;
    std::string body;
    std::string header;   // "<none>" when the answer has no such header
};

// Reads the body to its end or the first failure; no read may return more than it was asked.
void readBody(InetHandle* handle, size_t readSize, Answer& answer)
{
    std::vector<char> buffer(readSize);
    size_t count = 0;
    while (Inet_Read(handle, buffer.data(), buffer.size(), &count)) {
        if (count == 0)
            return;
        EXPECT_LE(count, readSize);
        answer.body.append(buffer.data(), count);
    }
    answer.error = Inet_LastError();
}

// One GET to 127.0.0.1:port as a worker makes it, with everything the client reports.
Answer httpGet(InetSession* session, int port, const Request& request = {})
{
    Answer answer;
    Handle connection(Inet_Connect(session, "127.0.0.1", port, INET_SERVICE_HTTP, request.abort));
    Handle handle(Inet_HttpOpenRequest(connection.get(), "GET", request.object.c_str(), request.noCookies));
    if (handle) {
        Inet_SetTimeouts(handle.get(), request.timeout);
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
    char value[64];
    answer.header = Inet_HttpHeader(handle.get(), request.header, value, sizeof value) ? value : "<none>";
    readBody(handle.get(), request.readSize, answer);
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

TEST_F(Inet, NothingExceedsTheSizeTheCallerGives)
{
    web->makeFile("f", 100000);
    ASSERT_TRUE(web->start());
    for (size_t readSize : {size_t{1}, size_t{7}, size_t{1024}, size_t{100000}}) {
        SCOPED_TRACE(readSize);
        Answer answer = httpGet(session, web->port(), {.readSize = readSize});
        EXPECT_EQ(answer.error, 0u);
        EXPECT_TRUE(answer.body == patternBytes(0, 100000));
    }

    Handle connection(Inet_Connect(session, "127.0.0.1", web->port(), INET_SERVICE_HTTP, nullptr));
    Handle request(Inet_HttpOpenRequest(connection.get(), "HEAD", "f", true));
    ASSERT_TRUE(Inet_HttpSend(request.get()));
    char text[3];
    EXPECT_TRUE(Inet_HttpStatusText(request.get(), text, sizeof text));
    EXPECT_STREQ(text, "OK");
    EXPECT_FALSE(Inet_HttpStatusText(request.get(), text, 2));
    EXPECT_EQ(Inet_LastError(), INET_ERR_INSUFFICIENT_BUFFER);
    std::string url = web->url("f");
    std::vector<char> buffer(url.size() + 1);
    EXPECT_TRUE(Inet_RequestUrl(request.get(), buffer.data(), buffer.size()));
    EXPECT_FALSE(Inet_RequestUrl(request.get(), buffer.data(), url.size()));
    EXPECT_EQ(Inet_LastError(), INET_ERR_INSUFFICIENT_BUFFER);
}

// Our own server, for what real servers won't do.
using InetScripted = Inet;

TEST_F(InetScripted, StatusTextAndHeadersAreThoseOfTheFinalAnswer)
{
    // An interim answer arrives on its own, so that a client taking it for the answer shows.
    struct {
        std::string interim, final;
        uint32_t status;
        std::string text;
        std::string etag;
    } cases[] = {
        {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 Fine Today\r\nETag:  \"a\" \r\n", 200,
         "Fine Today", "\"a\""},
        {"HTTP/1.1 103 Early Hints\r\nETag: \"early\"\r\n\r\n", "HTTP/1.1 404 Gone Fishing\r\n", 404,
         "Gone Fishing", "<none>"},
        {"", "HTTP/1.1 200\r\netag: \"1\"\r\nETag: \"2\"\r\n", 200, "", "\"2\""},
        {"", "HTTP/1.0 200 Old But Fine\r\nETag: \"much-too-long-for-the-sixty-four-bytes-that-the-caller-gives-to-hold-it\"\r\n",
         200, "Old But Fine", "<none>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.final);
        ScriptedServer server({{readRequest(), sendText(c.interim), pauseFor(100),
                                sendText(c.final + "Content-Length: 0\r\n\r\n")}});
        Answer answer = httpGet(session, server.port());
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.statusText, c.text);
        EXPECT_EQ(answer.header, c.etag);
        EXPECT_EQ(answer.error, 0u);
    }
}

TEST_F(InetScripted, ObjectGoesWholeToTheConnectionsHostAndOtherHeadersAsTheyAre)
{
    ScriptedServer server({{echoRequest()}});
    struct {
        std::string object, target;
    } cases[] = {
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
}

TEST_F(InetScripted, HostThatUrlReadersTakeForAnotherServerIsRefusedBeforeSending)
{
    ScriptedServer server({{echoRequest()}});
    for (const char* host : {"me@127.0.0.1", "127.0.0.%31", "127.0.0.1#@127.0.0.2", "127.0.0.1?@x",
                             "127.0.0.1/x", "127.0.0.1\\x", "127.0.0.1:1", " 127.0.0.1"}) {
        Handle connection(Inet_Connect(session, host, server.port(), INET_SERVICE_HTTP, nullptr));
        EXPECT_EQ(Inet_HttpOpenRequest(connection.get(), "GET", "f", true), nullptr) << host;
        EXPECT_EQ(Inet_LastError(), INET_ERR_NAME_NOT_RESOLVED) << host;
    }
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(InetScripted, HowTheBodyEnds)
{
    constexpr size_t ANY = SIZE_MAX;   // a reset may drop what was still under way
    struct {
        const char* name;
        Script script;
        uint32_t timeout;
        bool sent;
        uint32_t error;
        size_t arrived;
    } cases[] = {
        {"closed, no length", {readRequest(), sendText("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"), sendBody(5000)},
         LONG_MS, true, 0, 5000},
        {"closed early", {readRequest(), sendText(HEAD_10000), sendBody(4000)},
         LONG_MS, true, INET_ERR_CONNECTION_ABORTED, 4000},
        {"reset", {readRequest(), sendText(HEAD_10000), sendBody(4000), pauseFor(100), resetConnection()},
         LONG_MS, true, INET_ERR_CONNECTION_ABORTED, ANY},
        {"silent", {readRequest(), sendText(HEAD_10000), sendBody(3000), staySilent()},
         SHORT_MS, true, INET_ERR_TIMEOUT, 3000},
        {"closed unanswered", {readRequest()}, LONG_MS, false, INET_ERR_CONNECTION_ABORTED, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({c.script});
        Answer answer = httpGet(session, server.port(), {.timeout = c.timeout});
        EXPECT_EQ(answer.sent, c.sent);
        EXPECT_EQ(answer.error, c.error);
        EXPECT_TRUE(answer.body == patternBytes(0, c.arrived == ANY ? answer.body.size() : c.arrived));
    }
}

TEST_F(InetScripted, TimeOutsWhileConnectingAndAfterTheFtpGreeting)
{
    // A silent FTP server counts as connecting until its greeting; after it, the receive
    // time-out rules. An abort ends the wait for the greeting too.
    StuckListener stuck;
    ScriptedServer mute({{staySilent()}});
    ScriptedServer greeter({{sendText("220 Welcome\r\n"), staySilent()}});
    InetAbortFlag abort{false};   // outlives the connections
    ASSERT_TRUE(Inet_SetConnectTimeout(session, SHORT_MS));
    auto start = Clock::now();
    EXPECT_EQ(httpGet(session, stuck.port()).error, INET_ERR_TIMEOUT);
    Handle connection(Inet_Connect(session, "127.0.0.1", mute.port(), INET_SERVICE_FTP, nullptr));
    uint64_t size = 0;
    EXPECT_EQ(Inet_FtpFindFile(connection.get(), "f", &size), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_TIMEOUT);
    EXPECT_EQ(Inet_FtpOpenFile(connection.get(), "f"), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_TIMEOUT);
    EXPECT_LT(since(start), milliseconds(5000));

    ASSERT_TRUE(Inet_SetConnectTimeout(session, LONG_MS));
    connection.reset(Inet_Connect(session, "127.0.0.1", greeter.port(), INET_SERVICE_FTP, nullptr));
    Inet_SetTimeouts(connection.get(), SHORT_MS);
    start = Clock::now();
    EXPECT_EQ(Inet_FtpOpenFile(connection.get(), "f"), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_TIMEOUT);

    connection.reset(Inet_Connect(session, "127.0.0.1", mute.port(), INET_SERVICE_FTP, &abort));
    auto late = abortAfter(abort, milliseconds(200));
    EXPECT_EQ(Inet_FtpOpenFile(connection.get(), "f"), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_CANCELLED);
    EXPECT_LT(since(start), milliseconds(3000));
}

using InetFtp = Inet;

TEST_F(InetFtp, EmptyFileHasSizeZeroAFileMissingFailsAtOpenAndAnOffsetSkipsItsStart)
{
    FtpServer ftp(path("ftp"));
    ftp.makeFile("empty", 0);
    ftp.makeFile("full", 5000);
    ASSERT_TRUE(ftp.start());
    Handle connection(Inet_Connect(session, "127.0.0.1", ftp.port(), INET_SERVICE_FTP, nullptr));
    uint64_t found = 99;
    EXPECT_TRUE(Handle(Inet_FtpFindFile(connection.get(), "empty", &found))) << Inet_LastError();
    EXPECT_EQ(found, 0u);
    Handle file(Inet_FtpOpenFile(connection.get(), "empty"));
    ASSERT_TRUE(file) << Inet_LastError();
    Answer answer;
    readBody(file.get(), 1024, answer);
    EXPECT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.body, "");
    EXPECT_EQ(Inet_FtpOpenFile(connection.get(), "missing"), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_FTP_REFUSED);

    Handle rest(Inet_FtpOpenFile(connection.get(), "full", 3000));
    ASSERT_TRUE(rest) << Inet_LastError();
    Answer tail;
    readBody(rest.get(), 1024, tail);
    EXPECT_TRUE(tail.body == patternBytes(3000, 2000)) << tail.body.size();
}

using InetAbort = Inet;

TEST_F(InetAbort, BlockedCallsReturnSoonAndLaterCallsFailAtOnce)
{
    ScriptedServer silent({{readRequest(), staySilent()}});
    ScriptedServer stalled({{readRequest(), sendText(HEAD_10000), sendBody(10), staySilent()}});
    for (const ScriptedServer* server : {&silent, &stalled}) {
        InetAbortFlag abort{false};
        Handle connection(Inet_Connect(session, "127.0.0.1", server->port(), INET_SERVICE_HTTP, &abort));
        Handle request(Inet_HttpOpenRequest(connection.get(), "GET", "f", true));
        Inet_SetTimeouts(request.get(), LONG_MS);
        auto start = Clock::now();
        bool failed = false;
        {
            auto late = abortAfter(abort, milliseconds(200));
            char buffer[1024];
            size_t count = 0;
            failed = !Inet_HttpSend(request.get()) ||
                     (Inet_Read(request.get(), buffer, sizeof buffer, &count) && count == 10 &&
                      !Inet_Read(request.get(), buffer, sizeof buffer, &count));
        }
        EXPECT_TRUE(failed);
        EXPECT_EQ(Inet_LastError(), INET_ERR_CANCELLED);
        EXPECT_LT(since(start), milliseconds(1000));
        uint32_t status = 0;
        EXPECT_FALSE(Inet_HttpStatusCode(request.get(), &status));
        EXPECT_EQ(Inet_LastError(), INET_ERR_CANCELLED);
        EXPECT_EQ(Inet_HttpOpenRequest(connection.get(), "GET", "f", true), nullptr);
        EXPECT_EQ(Inet_LastError(), INET_ERR_CANCELLED);
    }
}

TEST_F(Inet, CookieJarIsKeptInTheSettingsFolderForTheNextSession)
{
    web->addConfig(R"(location = /set { add_header Set-Cookie "kept=yes; Path=/"; return 200 "ok"; })");
    web->addConfig(R"(location = /echo { return 200 "$http_cookie"; })");
    ASSERT_TRUE(web->start());
    httpGet(session, web->port(), {.object = "set", .noCookies = false});
    std::filesystem::path jar = RegStore_FilePath(REG_ROOT_CURRENT_USER);
    EXPECT_NE(readFile(jar.replace_filename("cookies-session.txt")).find("\tkept\tyes"), std::string::npos);
    EXPECT_EQ(httpGet(newSession(), web->port(), {.object = "echo", .noCookies = false}).body, "kept=yes");
}

// Run under ThreadSanitizer too.
using InetConcurrent = Inet;

TEST_F(InetConcurrent, ThreadsGetTheirOwnAnswersAndShareOneCookieJar)
{
    constexpr int THREADS = 8;
    auto size = [](int i) { return 200000 + static_cast<uint64_t>(i) * 1001; };
    for (int i = 0; i < THREADS; ++i)
        web->makeFile("f" + std::to_string(i), size(i));
    web->addConfig(R"(location ~ ^/set/(\d+)$ { add_header Set-Cookie "t$1=v$1; Path=/"; return 200 "ok"; })");
    web->addConfig(R"(location = /echo { return 200 "$http_cookie"; })");
    ASSERT_TRUE(web->start());
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
    for (int i = 0; i < THREADS; ++i) {
        const std::string n = std::to_string(i);
        EXPECT_TRUE(files[i].error == 0 && files[i].body == patternBytes(0, size(i))) << i;
        EXPECT_NE(echoes[i].body.find("t" + n + "=v" + n), std::string::npos) << echoes[i].body;
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
        Answer answer;
        {
            auto late = abortAfter(abort, milliseconds(random() % 10));
            answer = httpGet(session, web->port(), {.object = "big", .abort = &abort});
        }
        EXPECT_TRUE(answer.error == 0 || answer.error == INET_ERR_CANCELLED) << answer.error;
        cancelledReads += answer.sent && answer.error != 0;
        EXPECT_TRUE(answer.body == patternBytes(0, answer.body.size()));
    }
    EXPECT_GT(cancelledReads, 0) << "no abort met a read";
}

}  // namespace

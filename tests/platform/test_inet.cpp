#include "inet.h"

#include "fixtures.h"
#include "servers.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

using moontest::patternBytes;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* AGENT = "Moonfetch/0.0";
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
    sessions->push_back(Inet_Open(AGENT));
    return sessions->back();
}

milliseconds since(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

struct Request {
    const char* verb = "GET";
    std::string object{};
    bool noCookies = true;
    uint32_t timeout = LONG_MS;
    std::vector<std::string> headers{};
    size_t readSize = 1024;
    std::string saveTo{};  // streams the body into this file instead of keeping it
    InetAbortFlag* abort = nullptr;
};

struct Answer {
    bool sent = false;
    uint32_t sendError = 0;
    uint32_t status = 0;
    std::string statusText;
    std::optional<uint64_t> length;
    std::string url;
    std::optional<std::string> location;
    std::string body;
    bool readToEnd = false;
    uint32_t readError = 0;
    size_t largestRead = 0;
};

std::string textOf(bool (*query)(InetHandle*, char*, size_t), InetHandle* request)
{
    char buffer[2058];
    return query(request, buffer, sizeof buffer) ? buffer : "";
}

// Reads the body to its end or the first failure.
void readBody(InetHandle* handle, const Request& request, Answer& answer)
{
    std::ofstream file;
    if (!request.saveTo.empty())
        file.open(request.saveTo, std::ios::binary);
    std::vector<char> buffer(request.readSize);
    size_t count = 0;
    while (Inet_Read(handle, buffer.data(), buffer.size(), &count)) {
        if (count == 0) {
            answer.readToEnd = true;
            return;
        }
        answer.largestRead = std::max(answer.largestRead, count);
        if (file.is_open())
            file.write(buffer.data(), static_cast<std::streamsize>(count));
        else
            answer.body.append(buffer.data(), count);
    }
    answer.readError = Inet_LastError();
}

// One HTTP request to 127.0.0.1:port as a worker makes it, with everything the client reports.
Answer httpRequest(InetSession* session, int port, const Request& request)
{
    Answer answer;
    Handle connection(Inet_Connect(session, "127.0.0.1", port, INET_SERVICE_HTTP, request.abort));
    Handle handle(Inet_HttpOpenRequest(connection.get(), request.verb, request.object.c_str(), request.noCookies));
    if (!handle) {
        answer.sendError = Inet_LastError();
        return answer;
    }
    Inet_SetTimeouts(handle.get(), request.timeout);
    for (const std::string& header : request.headers)
        EXPECT_TRUE(Inet_HttpAddHeader(handle.get(), header.data(), header.size()));
    answer.sent = Inet_HttpSend(handle.get());
    if (!answer.sent) {
        answer.sendError = Inet_LastError();
        return answer;
    }
    Inet_HttpStatusCode(handle.get(), &answer.status);
    answer.statusText = textOf(Inet_HttpStatusText, handle.get());
    uint64_t length = 0;
    if (Inet_HttpContentLength(handle.get(), &length))
        answer.length = length;
    answer.url = textOf(Inet_RequestUrl, handle.get());
    char location[2058];
    if (Inet_HttpLocation(handle.get(), location, sizeof location))
        answer.location = location;
    readBody(handle.get(), request, answer);
    return answer;
}

// nginx with its files in the sandbox.
class InetHttp : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        session = newSession();
        web = std::make_unique<moontest::NginxServer>(path("nginx"));
    }
    void TearDown() override
    {
        web.reset();
        Sandbox::TearDown();
    }
    Answer get(const std::string& object, size_t readSize = 1024)
    {
        Request request;
        request.object = object;
        request.readSize = readSize;
        return httpRequest(session, web->port(), request);
    }
    Answer head(const std::string& object)
    {
        Request request;
        request.verb = "HEAD";
        request.object = object;
        return httpRequest(session, web->port(), request);
    }

    InetSession* session = nullptr;
    std::unique_ptr<moontest::NginxServer> web;
};

TEST_F(InetHttp, HeadAndGetDeliverFilesOfEverySizeWhole)
{
    const uint64_t sizes[] = {0, 9999, 10000, 3 * 1024 * 1024 + 17};
    for (uint64_t size : sizes)
        web->makeFile("f" + std::to_string(size), size);
    ASSERT_TRUE(web->start());
    for (uint64_t size : sizes) {
        std::string name = "f" + std::to_string(size);
        SCOPED_TRACE(name);
        Answer answer = head(name);
        ASSERT_TRUE(answer.sent) << answer.sendError;
        EXPECT_EQ(answer.status, 200u);
        EXPECT_EQ(answer.statusText, "OK");
        EXPECT_EQ(answer.length, size);
        EXPECT_EQ(answer.url, web->url(name));
        EXPECT_FALSE(answer.location);
        EXPECT_TRUE(answer.readToEnd);
        EXPECT_EQ(answer.body, "");

        answer = get(name);
        EXPECT_EQ(answer.status, 200u);
        EXPECT_EQ(answer.length, size);
        EXPECT_TRUE(answer.readToEnd) << answer.readError;
        EXPECT_TRUE(answer.body == patternBytes(0, size));
        EXPECT_LE(answer.largestRead, 1024u);
    }
}

TEST_F(InetHttp, ReadsNeverReturnMoreThanAsked)
{
    web->makeFile("f", 100000);
    ASSERT_TRUE(web->start());
    for (size_t readSize : {size_t{1}, size_t{7}, size_t{1024}, size_t{100000}}) {
        SCOPED_TRACE(readSize);
        Answer answer = get("f", readSize);
        EXPECT_TRUE(answer.readToEnd);
        EXPECT_TRUE(answer.body == patternBytes(0, 100000));
        EXPECT_LE(answer.largestRead, readSize);
    }
}

TEST_F(InetHttp, LargeDownloadIntoAFileIsByteForByte)
{
    web->makeFile("dir/big.bin", 24 * 1024 * 1024 + 3);
    ASSERT_TRUE(web->start());
    Request request;
    request.object = "dir/big.bin";
    request.saveTo = path("big.bin");
    Answer answer = httpRequest(session, web->port(), request);
    EXPECT_TRUE(answer.readToEnd);
    EXPECT_TRUE(moontest::sameFile(web->file("dir/big.bin"), path("big.bin")));
}

TEST_F(InetHttp, NotFoundKeepsStatusAndText)
{
    ASSERT_TRUE(web->start());
    for (Answer answer : {head("missing.zip"), get("missing.zip")}) {
        ASSERT_TRUE(answer.sent);
        EXPECT_EQ(answer.status, 404u);
        EXPECT_EQ(answer.statusText, "Not Found");
    }
}

TEST_F(InetHttp, RedirectReportsLocationResolvedAgainstTheRequest)
{
    struct Case {
        const char* from;
        const char* to;
        int status;
        bool relative;
        const char* text;
        std::string expected;  // empty: the server's URL of to
    };
    const Case cases[] = {
        {"/rel", "/files/a.bin", 302, true, "Moved Temporarily", ""},
        {"/dir/sibling", "b.bin", 302, true, "Moved Temporarily", "dir/b.bin"},
        {"/abs", "/files/a.bin", 301, false, "Moved Permanently", ""},
        {"/other", "/x", 303, true, "See Other", ""},
        {"/temp", "/x", 307, true, "Temporary Redirect", ""},
        {"/perm", "/x", 308, false, "Permanent Redirect", ""},
        {"/ftp", "ftp://127.0.0.1:2121/pub/file.iso", 302, false, "Moved Temporarily",
         "ftp://127.0.0.1:2121/pub/file.iso"},
    };
    for (const Case& c : cases)
        web->addRedirect(c.from, c.to, c.status, c.relative);
    ASSERT_TRUE(web->start());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from);
        Answer answer = head(c.from + 1);
        EXPECT_EQ(answer.status, static_cast<uint32_t>(c.status));
        EXPECT_EQ(answer.statusText, c.text);
        std::string expected = c.expected;
        if (expected.empty())
            expected = web->url(c.to + 1);
        else if (!expected.starts_with("ftp:"))
            expected = web->url(expected);
        EXPECT_EQ(answer.location, expected);
    }
}

TEST_F(InetHttp, AnswersThatDoNotFitTheBufferFail)
{
    web->makeFile("f", 1);
    ASSERT_TRUE(web->start());
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
class InetScripted : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        session = newSession();
    }
    Answer send(const moontest::ScriptedServer& server, Request request = {})
    {
        return httpRequest(session, server.port(), request);
    }

    InetSession* session = nullptr;
};

TEST_F(InetScripted, AnswerWithoutContentLengthHasNoLengthButItsBody)
{
    moontest::ScriptedServer server({{moontest::readRequest(),
                                      moontest::sendText("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"),
                                      moontest::sendBody(5000)}});
    Answer answer = send(server);
    EXPECT_EQ(answer.status, 200u);
    EXPECT_FALSE(answer.length);
    EXPECT_TRUE(answer.readToEnd);
    EXPECT_EQ(answer.body, patternBytes(0, 5000));
}

TEST_F(InetScripted, StatusTextIsThatOfTheFinalStatusLine)
{
    // An interim answer arrives on its own, so that a client taking it for the answer shows.
    struct Case {
        std::string interim;
        std::string final;
        uint32_t status;
        std::string text;
    };
    const Case cases[] = {
        {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 Fine Today\r\n", 200, "Fine Today"},
        {"HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n", "HTTP/1.1 404 Gone Fishing\r\n", 404,
         "Gone Fishing"},
        {"", "HTTP/1.1 200\r\n", 200, ""},
        {"", "HTTP/1.0 200 Old But Fine\r\n", 200, "Old But Fine"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.final);
        moontest::ScriptedServer server({{moontest::readRequest(), moontest::sendText(c.interim),
                                          moontest::pauseFor(100),
                                          moontest::sendText(c.final + "Content-Length: 0\r\n\r\n")}});
        Answer answer = send(server);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.statusText, c.text);
        EXPECT_TRUE(answer.readToEnd);
    }
}

TEST_F(InetScripted, HeadAndGetMayBeAnsweredDifferently)
{
    moontest::ScriptedServer server({{moontest::answerByVerb(
        "HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n",
        "HTTP/1.1 404 Gone Fishing\r\nContent-Length: 4\r\n\r\nnope")}});
    Answer head = send(server, {.verb = "HEAD", .object = "f"});
    EXPECT_EQ(head.status, 200u);
    EXPECT_EQ(head.length, 1234u);
    Answer get = send(server, {.object = "f"});
    EXPECT_EQ(get.status, 404u);
    EXPECT_EQ(get.statusText, "Gone Fishing");
    EXPECT_EQ(get.body, "nope");
}

TEST_F(InetScripted, RequestCarriesTheAgentAndOneJoinedCookieHeader)
{
    moontest::ScriptedServer server({{moontest::echoRequest()}});
    Answer answer = send(server, {.object = "a%20b?x=1 y", .headers = {"Cookie: a=1\r\n", "Cookie: b=2\r\n", "X-Extra: yes\r\n"}});
    EXPECT_TRUE(answer.body.starts_with("GET /a%20b?x=1%20y HTTP/1.1\r\n")) << answer.body;
    EXPECT_NE(answer.body.find("\r\nUser-Agent: Moonfetch/0.0\r\n"), std::string::npos) << answer.body;
    EXPECT_NE(answer.body.find("\r\nCookie: a=1; b=2\r\n"), std::string::npos) << answer.body;
    EXPECT_EQ(answer.body.find("Cookie:"), answer.body.rfind("Cookie:")) << "one Cookie header";
    EXPECT_NE(answer.body.find("\r\nX-Extra: yes\r\n"), std::string::npos) << answer.body;
}

TEST_F(InetScripted, SessionJarIsFedAndSentOnlyWithoutNoCookies)
{
    struct Case {
        bool firstNoCookies;
        bool secondNoCookies;
        const char* expected;  // the Cookie line of the second request, or "" for none
    };
    const Case cases[] = {
        {false, false, "Cookie: jar=full; added=1"},
        {true, false, "Cookie: added=1"},
        {false, true, "Cookie: added=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        session = newSession();
        moontest::ScriptedServer server(
            {{moontest::readRequest(),
              moontest::sendText("HTTP/1.1 200 OK\r\nSet-Cookie: jar=full; Path=/\r\nContent-Length: 0\r\n\r\n")},
             {moontest::echoRequest()}});
        send(server, {.object = "login", .noCookies = c.firstNoCookies});
        Answer answer = send(server, {.object = "file", .noCookies = c.secondNoCookies, .headers = {"Cookie: added=1\r\n"}});
        EXPECT_NE(answer.body.find(std::string("\r\n") + c.expected + "\r\n"), std::string::npos) << answer.body;
    }
}

TEST_F(InetScripted, SilentServerTimesOut)
{
    moontest::ScriptedServer server({{moontest::readRequest(), moontest::staySilent()}});
    auto start = Clock::now();
    Answer answer = send(server, {.object = "f", .timeout = SHORT_MS});
    EXPECT_FALSE(answer.sent);
    EXPECT_EQ(answer.sendError, INET_ERR_TIMEOUT);
    EXPECT_GE(since(start), milliseconds(SHORT_MS - 50));
    EXPECT_LT(since(start), milliseconds(3000));
}

TEST_F(InetScripted, ServerFallingSilentInTheBodyTimesOutAfterWhatArrived)
{
    moontest::ScriptedServer server({{moontest::readRequest(),
                                      moontest::sendText("HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n"),
                                      moontest::sendBody(3000), moontest::staySilent()}});
    Answer answer = send(server, {.object = "f", .timeout = SHORT_MS});
    EXPECT_EQ(answer.body, patternBytes(0, 3000));
    EXPECT_FALSE(answer.readToEnd);
    EXPECT_EQ(answer.readError, INET_ERR_TIMEOUT);
}

TEST_F(InetScripted, ConnectTimeOutWhenNobodyAccepts)
{
    moontest::StuckListener stuck;
    ASSERT_TRUE(Inet_SetConnectTimeout(session, SHORT_MS));
    auto start = Clock::now();
    Answer answer = httpRequest(session, stuck.port(), {.object = "f"});
    EXPECT_EQ(answer.sendError, INET_ERR_TIMEOUT);
    EXPECT_LT(since(start), milliseconds(3000));
}

TEST_F(InetScripted, RefusedConnectionCannotConnect)
{
    Answer answer = httpRequest(session, moontest::freePort(), {.object = "f"});
    EXPECT_FALSE(answer.sent);
    EXPECT_EQ(answer.sendError, INET_ERR_CANNOT_CONNECT);
}

TEST_F(InetScripted, BodyCutShortFailsAfterDeliveringWhatArrived)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n";
    moontest::ScriptedServer dropped(
        {{moontest::readRequest(), moontest::sendText(head), moontest::sendBody(4000)}});
    Answer answer = send(dropped, {.object = "f"});
    EXPECT_EQ(answer.body, patternBytes(0, 4000));
    EXPECT_EQ(answer.readError, INET_ERR_CONNECTION_ABORTED);

    moontest::ScriptedServer reset({{moontest::readRequest(), moontest::sendText(head), moontest::sendBody(4000),
                                     moontest::pauseFor(100), moontest::resetConnection()}});
    answer = send(reset, {.object = "f"});
    EXPECT_EQ(answer.body, patternBytes(0, answer.body.size()));
    EXPECT_EQ(answer.readError, INET_ERR_CONNECTION_ABORTED);

    moontest::ScriptedServer nothing({{moontest::readRequest()}});
    answer = send(nothing, {.object = "f"});
    EXPECT_EQ(answer.sendError, INET_ERR_CONNECTION_ABORTED);
}

// Debian's FTP server, anonymous and passive.
class InetFtp : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        session = newSession();
        ftp = std::make_unique<moontest::FtpServer>(path("ftp"));
    }
    void TearDown() override
    {
        ftp.reset();
        Sandbox::TearDown();
    }
    Handle connect(int port, InetAbortFlag* abort = nullptr)
    {
        Handle connection(Inet_Connect(session, "127.0.0.1", port, INET_SERVICE_FTP, abort));
        EXPECT_TRUE(connection && Inet_SetTimeouts(connection.get(), LONG_MS));
        return connection;
    }

    InetSession* session = nullptr;
    std::unique_ptr<moontest::FtpServer> ftp;
};

TEST_F(InetFtp, FindFileGivesTheSizeOrRefuses)
{
    const uint64_t sizes[] = {0, 10000, 5ull * 1024 * 1024};
    for (uint64_t size : sizes)
        ftp->makeFile("pub/f" + std::to_string(size), size);
    ASSERT_TRUE(ftp->start());
    Handle connection = connect(ftp->port());
    for (uint64_t size : sizes) {
        uint64_t found = 99;
        Handle find(Inet_FtpFindFile(connection.get(), ("pub/f" + std::to_string(size)).c_str(), &found));
        EXPECT_TRUE(find) << Inet_LastError();
        EXPECT_EQ(found, size);
    }
    uint64_t found = 99;
    EXPECT_EQ(Inet_FtpFindFile(connection.get(), "pub/missing", &found), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_FTP_REFUSED);
    EXPECT_EQ(found, 99u);
}

TEST_F(InetFtp, DownloadIsByteForByteAndAMissingFileFailsAtOpen)
{
    const uint64_t sizes[] = {0, 9999, 10000, 3ull * 1024 * 1024 + 5};
    for (uint64_t size : sizes)
        ftp->makeFile("f" + std::to_string(size), size);
    ASSERT_TRUE(ftp->start());
    Handle connection = connect(ftp->port());
    for (uint64_t size : sizes) {
        std::string name = "f" + std::to_string(size);
        SCOPED_TRACE(name);
        Handle file(Inet_FtpOpenFile(connection.get(), name.c_str()));
        ASSERT_TRUE(file) << Inet_LastError();
        Answer answer;
        readBody(file.get(), {.saveTo = path(name)}, answer);
        EXPECT_TRUE(answer.readToEnd) << answer.readError;
        EXPECT_LE(answer.largestRead, 1024u);
        EXPECT_TRUE(moontest::sameFile(ftp->file(name), path(name)));
    }
    EXPECT_EQ(Inet_FtpOpenFile(connection.get(), "missing"), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_FTP_REFUSED);
}

TEST_F(InetFtp, SilentServerTimesOut)
{
    // Before its greeting the server counts as connecting; after it, the receive time-out rules.
    moontest::ScriptedServer mute({{moontest::staySilent()}});
    ASSERT_TRUE(Inet_SetConnectTimeout(session, SHORT_MS));
    Handle connection = connect(mute.port());
    auto start = Clock::now();
    uint64_t size = 0;
    EXPECT_EQ(Inet_FtpFindFile(connection.get(), "f", &size), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_TIMEOUT);
    EXPECT_EQ(Inet_FtpOpenFile(connection.get(), "f"), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_TIMEOUT);
    EXPECT_LT(since(start), milliseconds(4000));

    moontest::ScriptedServer greeter({{moontest::sendText("220 Welcome\r\n"), moontest::staySilent()}});
    ASSERT_TRUE(Inet_SetConnectTimeout(session, LONG_MS));
    connection = connect(greeter.port());
    Inet_SetTimeouts(connection.get(), SHORT_MS);
    start = Clock::now();
    EXPECT_EQ(Inet_FtpOpenFile(connection.get(), "f"), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_TIMEOUT);
    EXPECT_LT(since(start), milliseconds(3000));
}

// Sets flag from another thread after delay; joins on destruction.
class LateAbort {
public:
    LateAbort(InetAbortFlag& flag, milliseconds delay)
        : thread_([&flag, delay] {
              std::this_thread::sleep_for(delay);
              flag.store(true);
          })
    {
    }
    ~LateAbort() { thread_.join(); }

private:
    std::thread thread_;
};

class InetAbort : public InetScripted {};

TEST_F(InetAbort, BlockedCallsReturnSoonAndLaterCallsFailAtOnce)
{
    moontest::ScriptedServer silent({{moontest::readRequest(), moontest::staySilent()}});
    moontest::ScriptedServer stalled({{moontest::readRequest(),
                                       moontest::sendText("HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n"),
                                       moontest::sendBody(10), moontest::staySilent()}});
    for (const moontest::ScriptedServer* server : {&silent, &stalled}) {
        InetAbortFlag abort{false};
        Handle connection(Inet_Connect(session, "127.0.0.1", server->port(), INET_SERVICE_HTTP, &abort));
        Handle request(Inet_HttpOpenRequest(connection.get(), "GET", "f", true));
        Inet_SetTimeouts(request.get(), LONG_MS);
        auto start = Clock::now();
        bool failed = false;
        {
            LateAbort late(abort, milliseconds(200));
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

TEST_F(InetAbort, FtpWaitingForItsGreetingStopsSoon)
{
    moontest::ScriptedServer silent({{moontest::staySilent()}});
    InetAbortFlag abort{false};
    Handle connection(Inet_Connect(session, "127.0.0.1", silent.port(), INET_SERVICE_FTP, &abort));
    auto start = Clock::now();
    LateAbort late(abort, milliseconds(200));
    EXPECT_EQ(Inet_FtpOpenFile(connection.get(), "f"), nullptr);
    EXPECT_EQ(Inet_LastError(), INET_ERR_CANCELLED);
    EXPECT_LT(since(start), milliseconds(1000));
}

// Run under ThreadSanitizer too.
class InetConcurrent : public InetHttp {};

TEST_F(InetConcurrent, TwentyRequestsAtOnceEachGetTheirOwnAnswer)
{
    constexpr int THREADS = 20;
    for (int i = 0; i < THREADS; ++i)
        web->makeFile("f" + std::to_string(i), 200000 + static_cast<uint64_t>(i) * 1001);
    ASSERT_TRUE(web->start());
    std::vector<Answer> heads(THREADS), gets(THREADS);
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i)
        threads.emplace_back([&, i] {
            std::string name = "f" + std::to_string(i);
            heads[i] = httpRequest(session, web->port(), {.verb = "HEAD", .object = name});
            gets[i] = httpRequest(session, web->port(), {.object = name});
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < THREADS; ++i) {
        uint64_t size = 200000 + static_cast<uint64_t>(i) * 1001;
        EXPECT_EQ(heads[i].length, size);
        EXPECT_TRUE(gets[i].readToEnd);
        EXPECT_TRUE(gets[i].body == patternBytes(0, size)) << i;
    }
}

TEST_F(InetConcurrent, SharedCookieJarServesThreadsAtOnce)
{
    constexpr int THREADS = 8;
    web->addConfig(R"(location ~ ^/set/(\d+)$ { add_header Set-Cookie "t$1=v$1; Path=/"; return 200 "ok"; })");
    web->addConfig(R"(location = /echo { return 200 "$http_cookie"; })");
    ASSERT_TRUE(web->start());
    std::vector<std::string> seen(THREADS);
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 5; ++round) {
                httpRequest(session, web->port(), {.object = "set/" + std::to_string(i), .noCookies = false});
                seen[i] = httpRequest(session, web->port(), {.object = "echo", .noCookies = false}).body;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < THREADS; ++i) {
        std::string own = "t" + std::to_string(i) + "=v" + std::to_string(i);
        EXPECT_NE(seen[i].find(own), std::string::npos) << seen[i];
    }
}

TEST_F(InetConcurrent, AbortRacingAReadEndsCleanly)
{
    constexpr uint64_t SIZE = 32 * 1024 * 1024;
    web->makeFile("big", SIZE);
    ASSERT_TRUE(web->start());
    std::mt19937 random(42);
    int cancelledReads = 0;
    for (int round = 0; round < 6; ++round) {
        InetAbortFlag abort{false};
        Answer answer;
        {
            LateAbort late(abort, milliseconds(random() % 10));
            answer = httpRequest(session, web->port(), {.object = "big", .abort = &abort});
        }
        if (!answer.sent) {
            EXPECT_EQ(answer.sendError, INET_ERR_CANCELLED);
        } else if (!answer.readToEnd) {
            EXPECT_EQ(answer.readError, INET_ERR_CANCELLED);
            ++cancelledReads;
        }
        EXPECT_TRUE(answer.body == patternBytes(0, answer.body.size()));
    }
    EXPECT_GT(cancelledReads, 0) << "no abort met a read";
}

}  // namespace

#include "wire.h"

#include "cookies.h"
#include "session.h"
#include "trace.h"

#include "fixtures.h"
#include "servers.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace {

using moontest::readFile;
using moontest::Step;

constexpr uint32_t LONG_MS = 20000;

// Counts the occurrences of needle in text.
size_t count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

class Wire : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        ASSERT_EQ(Wire_Init(), 0);
        Trace_EnableLevels(TRACE_ALL);
        ASSERT_NE(Trace_Open("log.txt"), nullptr);
        web = std::make_unique<WireRequest>();
    }
    void TearDown() override
    {
        Wire_Close(web.get());
        Trace_Close();
        Sandbox::TearDown();
    }

    // What the trace log holds since the last call.
    std::string log()
    {
        Trace_Close();
        std::string text = readFile("log.txt");
        Trace_Open("log.txt");
        return text;
    }

    // Reads the whole body block by block into path; the last Wire_Read result.
    int32_t readAll(const std::string& path)
    {
        FILE* out = std::fopen(path.c_str(), "wb");
        int32_t r = 0;
        while ((r = Wire_Read(web.get())) == 0) {
            EXPECT_LE(web->bufferCount, 1024);
            // An untaken block is not overwritten by another read.
            EXPECT_EQ(Wire_Read(web.get()), 0);
            std::fwrite(web->buffer, 1, size_t(web->bufferCount), out);
            web->bufferCount = 0;
        }
        std::fclose(out);
        EXPECT_EQ(web->bufferCount, 0);
        return r;
    }

    // A fresh record for another request in the same test.
    void renew(int32_t cookieSource = COOKIES_NONE, const std::string& cookieFile = "")
    {
        Wire_Close(web.get());
        web = std::make_unique<WireRequest>();
        web->cookieSource = cookieSource;
        CopyBounded(web->cookieFile, cookieFile.c_str());
    }

    std::unique_ptr<WireRequest> web;
};

class WireNginx : public Wire {
protected:
    void SetUp() override
    {
        Wire::SetUp();
        nginx = std::make_unique<moontest::NginxServer>(path("nginx"));
    }
    void start() { ASSERT_TRUE(nginx->start()); }
    // An nginx in the sandbox's folder name that speaks https with certificate; the client
    // trusts its authority.
    std::unique_ptr<moontest::NginxServer> tlsServer(const std::string& name,
                                                     moontest::Certificate certificate = moontest::Certificate::GOOD)
    {
        auto server = std::make_unique<moontest::NginxServer>(path(name));
        EXPECT_TRUE(server->useTls(certificate));
        ::setenv("CURL_CA_BUNDLE", server->authorityFile().c_str(), 1);
        return server;
    }
    std::unique_ptr<moontest::NginxServer> nginx;
};

TEST_F(WireNginx, QueryAndDownloadFilesOfEverySizeOverHttpAndHttps)
{
    const uint64_t sizes[] = {0, 9999, 10000, 3 * 1024 * 1024 + 17};
    auto secure = tlsServer("tls");
    for (uint64_t size : sizes) {
        nginx->makeFile("f" + std::to_string(size), size);
        secure->makeFile("f" + std::to_string(size), size);
    }
    start();
    ASSERT_TRUE(secure->start());
    for (const moontest::NginxServer* server : {nginx.get(), secure.get()}) {
        for (uint64_t size : sizes) {
            std::string url = server->url("f" + std::to_string(size));
            SCOPED_TRACE(url);
            renew();
            ASSERT_EQ(Wire_Request(web.get(), url.c_str(), MODE_QUERY, LONG_MS), 1);
            EXPECT_EQ(web->status, 200u);
            EXPECT_STREQ(web->statusText, "OK");
            EXPECT_EQ(web->contentLength, size);
            EXPECT_EQ(std::string(web->location), url);
            EXPECT_EQ(std::string(web->objectName), "f" + std::to_string(size));

            renew();
            ASSERT_EQ(Wire_Request(web.get(), url.c_str(), MODE_DOWNLOAD, LONG_MS), 1);
            EXPECT_EQ(readAll("out.bin"), 1);
            EXPECT_TRUE(moontest::isPatternFile("out.bin", size));
        }
    }
    // The scheme is matched in any case.
    for (std::string url : {nginx->url("f9999"), secure->url("f9999")}) {
        std::transform(url.begin(), url.begin() + 5, url.begin(), ::toupper);
        renew();
        EXPECT_EQ(Wire_Request(web.get(), url.c_str(), MODE_QUERY, LONG_MS), 1) << url;
    }
}

TEST_F(WireNginx, RedirectsBetweenHttpAndHttpsEndWithTheSchemeOfTheFinalUrl)
{
    nginx->makeFile("plain.bin", 1000);
    start();
    auto secure = tlsServer("tls");
    secure->makeFile("secure.bin", 2000);
    secure->addRedirect("/to-plain", nginx->url("plain.bin"), 301);
    ASSERT_TRUE(secure->start());
    auto redirectTo = [](const std::string& url) {
        return moontest::Script{moontest::readRequest(),
                                moontest::sendText("HTTP/1.1 302 Found\r\nLocation: " + url +
                                                   "\r\nContent-Length: 0\r\n\r\n")};
    };
    moontest::ScriptedServer toSecure({redirectTo(secure->url("secure.bin"))});
    moontest::ScriptedServer throughSecure({redirectTo(secure->url("to-plain"))});
    const struct {
        std::string url, final;
        int32_t scheme;
        uint64_t size;
    } cases[] = {
        {toSecure.url("a"), secure->url("secure.bin"), SCHEME_HTTPS, 2000},
        {secure->url("to-plain"), nginx->url("plain.bin"), SCHEME_HTTP, 1000},
        {throughSecure.url("b"), nginx->url("plain.bin"), SCHEME_HTTP, 1000},
    };
    for (const auto& c : cases) {
        renew();
        ASSERT_EQ(Wire_Request(web.get(), c.url.c_str(), MODE_QUERY, LONG_MS), 1) << c.url;
        EXPECT_EQ(std::string(web->location), c.final);
        EXPECT_EQ(web->scheme, c.scheme);
        EXPECT_EQ(web->contentLength, c.size);
    }
}

TEST_F(WireNginx, CertificatesAreCheckedAgainstTheNamedAuthoritiesAndAFailureSaysWhy)
{
    using moontest::Certificate;
    nginx->makeFile("f", 10);
    start();
    std::map<Certificate, std::unique_ptr<moontest::NginxServer>> servers;
    for (Certificate kind : {Certificate::GOOD, Certificate::UNKNOWN_AUTHORITY, Certificate::WRONG_NAME,
                             Certificate::EXPIRED}) {
        servers[kind] = tlsServer("tls" + std::to_string(int(kind)), kind);
        servers[kind]->makeFile("f", 10);
        ASSERT_TRUE(servers[kind]->start());
    }
    const std::string notTrusted = "The certificate is not trusted.";
    // Which authorities a variable names: the server's own, none, or a file that is not there.
    const std::string own = "own", missing = "/nonexistent/authorities.pem";
    const struct {
        Certificate certificate;
        std::string caBundle, certFile;
        uint32_t status;
        const char* text;
    } cases[] = {
        {Certificate::GOOD, own, "", 200, "OK"},
        {Certificate::GOOD, "", own, 200, "OK"},
        {Certificate::GOOD, "", "", INET_ERR_CERT_AUTHORITY, notTrusted.c_str()},
        {Certificate::GOOD, missing, own, INET_ERR_CERT_AUTHORITY, notTrusted.c_str()},
        {Certificate::UNKNOWN_AUTHORITY, own, "", INET_ERR_CERT_AUTHORITY, notTrusted.c_str()},
        {Certificate::WRONG_NAME, own, "", INET_ERR_CERT_NAME, "The certificate belongs to another host name."},
        {Certificate::EXPIRED, own, "", INET_ERR_CERT_DATE, "The certificate has expired or is not yet valid."},
    };
    for (const auto& c : cases) {
        const moontest::NginxServer& server = *servers[c.certificate];
        SCOPED_TRACE(std::to_string(int(c.certificate)) + " " + c.caBundle + " " + c.certFile);
        auto setVariable = [&](const char* name, const std::string& value) {
            if (value.empty())
                ::unsetenv(name);
            else
                ::setenv(name, (value == own ? server.authorityFile() : value).c_str(), 1);
        };
        setVariable("CURL_CA_BUNDLE", c.caBundle);
        setVariable("SSL_CERT_FILE", c.certFile);
        const std::string url = server.url("f");
        for (int32_t mode : {MODE_QUERY, MODE_DOWNLOAD}) {
            renew();
            EXPECT_EQ(Wire_Request(web.get(), url.c_str(), mode, LONG_MS), c.status == 200 ? 1 : -1);
            EXPECT_EQ(web->status, c.status);
            EXPECT_STREQ(web->statusText, c.text);
            EXPECT_EQ(Inet_IsCertificateError(web->status), c.status != 200);
        }
    }
    // Speaking TLS to a server that does not is no certificate's fault.
    const std::string plain = "https://" + nginx->url("f").substr(7);
    EXPECT_EQ(Wire_Request(web.get(), plain.c_str(), MODE_QUERY, LONG_MS), -1);
    EXPECT_EQ(web->status, INET_ERR_SECURE_CHANNEL);
    EXPECT_STREQ(web->statusText, "The secure connection could not be established.");
    EXPECT_FALSE(Inet_IsCertificateError(web->status));
    EXPECT_NE(log().find("Wire_HTTP_Request, hostError = 12157\n"), std::string::npos);
}

TEST_F(WireNginx, SecureCookiesTravelOverHttpsOnly)
{
    moontest::writeFile("cookies.txt", "127.0.0.1\tFALSE\t/\tFALSE\t0\tplain\t1\n"
                                       "127.0.0.1\tFALSE\t/\tTRUE\t0\tsecret\t2\n");
    const char* echo = R"(location = /echo { return 200 "$http_cookie"; })";
    nginx->addConfig(echo);
    start();
    auto secure = tlsServer("tls");
    secure->addConfig(echo);
    ASSERT_TRUE(secure->start());
    for (const auto& [url, cookies] : {std::pair{nginx->url("echo"), "plain=1"},
                                       std::pair{secure->url("echo"), "plain=1; secret=2"}}) {
        renew(COOKIES_NETSCAPE, path("cookies.txt"));
        ASSERT_EQ(Wire_Request(web.get(), url.c_str(), MODE_DOWNLOAD, LONG_MS), 1);
        EXPECT_EQ(readAll("echo.txt"), 1);
        EXPECT_EQ(readFile("echo.txt"), cookies) << url;
    }
}

TEST_F(WireNginx, NotFoundKeepsTheServersWordsWithoutAHostError)
{
    start();
    EXPECT_EQ(Wire_Request(web.get(), nginx->url("missing.zip").c_str(), MODE_QUERY, LONG_MS), -1);
    EXPECT_EQ(web->status, 404u);
    EXPECT_STREQ(web->statusText, "Not Found");
    std::string text = log();
    EXPECT_NE(text.find("Wire_Request: result = -1\n"), std::string::npos);
    EXPECT_EQ(text.find("hostError"), std::string::npos);
}

TEST_F(WireNginx, RedirectChainsFollowFiveHopsAndStopAtTheSixth)
{
    nginx->makeFile("target.zip", 1234);
    // Chain a: absolute Locations; chain b: relative ones, which the client resolves.
    for (int hop = 1; hop <= 6; ++hop) {
        std::string next = hop == 6 ? "/target.zip" : "/a" + std::to_string(hop + 1);
        nginx->addRedirect("/a" + std::to_string(hop), next, hop % 2 ? 302 : 301);
        std::string nextB = hop == 6 ? "/target.zip" : "/b" + std::to_string(hop + 1);
        nginx->addRedirect("/b" + std::to_string(hop), nextB, 307, true);
    }
    start();
    for (const char* chain : {"a", "b"}) {
        for (int first = 6; first >= 1; --first) {
            SCOPED_TRACE(std::string(chain) + std::to_string(first));
            int hops = 7 - first;
            renew();
            log();
            int32_t r = Wire_Request(web.get(), nginx->url(chain + std::to_string(first)).c_str(),
                                     MODE_QUERY, LONG_MS);
            std::string text = log();
            if (hops <= 5) {
                EXPECT_EQ(r, 1);
                EXPECT_EQ(web->contentLength, 1234u);
                EXPECT_EQ(std::string(web->location), nginx->url("target.zip"));
                EXPECT_STREQ(web->objectName, "target.zip");
            } else {
                // The sixth answer (from /a6 or /b6) stays in the record.
                EXPECT_EQ(r, 0);
                bool absolute = chain[0] == 'a';
                EXPECT_EQ(web->status, absolute ? 301u : 307u);
                EXPECT_STREQ(web->statusText, absolute ? "Moved Permanently" : "Temporary Redirect");
            }
            size_t followed = size_t(std::min(hops, 5));
            EXPECT_EQ(count(text, "Wire_Request: http"), 1 + followed);
        }
    }
}

TEST_F(WireNginx, RedirectToFtpAndFtpItself)
{
    moontest::FtpServer ftp(path("ftp"));
    ftp.makeFile("pub/data.bin", 70000);
    ASSERT_TRUE(ftp.start());
    nginx->addRedirect("/to-ftp", ftp.url("pub/data.bin"), 302);
    start();

    ASSERT_EQ(Wire_Request(web.get(), nginx->url("to-ftp").c_str(), MODE_QUERY, LONG_MS), 1);
    EXPECT_EQ(web->scheme, SCHEME_FTP);
    EXPECT_EQ(web->contentLength, 70000u);
    EXPECT_EQ(web->status, 302u);   // an FTP success leaves the redirect's words

    renew();
    ASSERT_EQ(Wire_Request(web.get(), ftp.url("pub/data.bin").c_str(), MODE_DOWNLOAD, LONG_MS), 1);
    EXPECT_EQ(readAll("ftp.bin"), 1);
    EXPECT_TRUE(moontest::isPatternFile("ftp.bin", 70000));

    renew();
    EXPECT_EQ(Wire_Request(web.get(), ftp.url("pub/none.bin").c_str(), MODE_QUERY, LONG_MS), -1);
    EXPECT_EQ(web->status, INET_ERR_FTP_REFUSED);
    EXPECT_STREQ(web->statusText, "WinInet error.");
}

// What a scripted server answers, and what the request must end with.
struct ScriptCase {
    const char* name;
    std::string answer;
    int32_t result;
    uint32_t status;
    const char* statusText;
    uint64_t contentLength;
};

TEST_F(Wire, StatusesOutsideTheUsualOnes)
{
    const ScriptCase cases[] = {
        {"no length", "HTTP/1.1 200 Fine\r\nConnection: close\r\n\r\n", 1, 200, "Fine", 0},
        {"other 2xx", "HTTP/1.1 203 Elsewhere\r\nContent-Length: 5\r\n\r\n", 1, 203, "Elsewhere", 5},
        {"not modified", "HTTP/1.1 304 Not Modified\r\n\r\n", -1, 304, "Not Modified", 0},
        {"multiple choices", "HTTP/1.1 300 Choose\r\nContent-Length: 0\r\n\r\n", -1, 300, "Choose", 0},
        {"server error", "HTTP/1.1 503 Busy Now\r\nContent-Length: 0\r\n\r\n", -1, 503, "Busy Now", 0},
        {"relative 303", "HTTP/1.1 303 See Other\r\nLocation: /there/x.zip\r\nContent-Length: 0\r\n\r\n",
         0, 303, "See Other", 0},
    };
    for (const ScriptCase& c : cases) {
        SCOPED_TRACE(c.name);
        // The redirect case answers its own target with the same redirect, six times over.
        moontest::ScriptedServer server({{moontest::readRequest(), moontest::sendText(c.answer)}});
        renew();
        EXPECT_EQ(Wire_Request(web.get(), server.url("x.zip").c_str(), MODE_QUERY, 5000), c.result);
        EXPECT_EQ(web->status, c.status);
        EXPECT_STREQ(web->statusText, c.statusText);
        EXPECT_EQ(web->contentLength, c.contentLength);
        if (c.result == 0) {
            EXPECT_EQ(server.connections(), 6);
            EXPECT_EQ(std::string(web->location), server.url("there/x.zip"));
        }
    }
}

TEST_F(Wire, QueryWhoseHeadTellsNoSizeAsksForTheFirstByteAndTakesThatAnswer)
{
    const std::string refused = "HTTP/1.1 405 Not Allowed\r\nContent-Length: 0\r\n\r\n";
    const std::string partial = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/123456\r\n"
                                "Content-Length: 1\r\n\r\nX";
    // A huge whole answer: reading it would take longer than the test's time-out.
    const std::string whole = "HTTP/1.1 200 Whole\r\nContent-Length: 1000000000000\r\n\r\n";
    const struct {
        const char* name;
        std::string head, get;
        int32_t result;
        uint32_t status;
        const char* statusText;
        uint64_t contentLength;
    } cases[] = {
        {"405, then 206", refused, partial, 1, 206, "Partial Content", 123456},
        {"501, then 200", "HTTP/1.1 501 Not Implemented\r\nContent-Length: 0\r\n\r\n", whole, 1, 200, "Whole",
         1000000000000},
        {"no length, then 206", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", partial, 1, 206,
         "Partial Content", 123456},
        {"range of unknown size", refused,
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/*\r\nContent-Length: 1\r\n\r\nX", 1, 206,
         "Partial Content", 0},
        {"refused twice", refused, "HTTP/1.1 405 Still Not\r\nContent-Length: 0\r\n\r\n", -1, 405, "Still Not", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        moontest::ScriptedServer server({{moontest::readRequest(), moontest::sendText(c.head)},
                                         {moontest::readRequest(), moontest::sendText(c.get),
                                          moontest::sendBody(1 << 20), moontest::staySilent()}});
        renew();
        EXPECT_EQ(Wire_Request(web.get(), server.url("x.zip").c_str(), MODE_QUERY, 2000), c.result);
        EXPECT_EQ(web->status, c.status);
        EXPECT_STREQ(web->statusText, c.statusText);
        EXPECT_EQ(web->contentLength, c.contentLength);
        const auto heads = server.requests();
        ASSERT_EQ(heads.size(), 2u);
        EXPECT_TRUE(heads[0].starts_with("HEAD /x.zip ")) << heads[0];
        EXPECT_TRUE(heads[1].starts_with("GET /x.zip ")) << heads[1];
        EXPECT_NE(heads[1].find("\r\nRange: bytes=0-0\r\n"), std::string::npos) << heads[1];
    }
}

TEST_F(Wire, SilentServerTimesOutAndRefusalIsAClientError)
{
    moontest::ScriptedServer silent({{moontest::readRequest(), moontest::staySilent()}});
    EXPECT_EQ(Wire_Request(web.get(), silent.url("x").c_str(), MODE_QUERY, 300), -1);
    EXPECT_EQ(web->status, INET_ERR_TIMEOUT);
    EXPECT_STREQ(web->statusText, "Timeout in HTTP Request.");
    EXPECT_NE(log().find("Wire_HTTP_Request, hostError = 12002\n"), std::string::npos);

    renew();
    std::string refused = "http://127.0.0.1:" + std::to_string(moontest::freePort()) + "/x";
    EXPECT_EQ(Wire_Request(web.get(), refused.c_str(), MODE_QUERY, 5000), -1);
    EXPECT_EQ(web->status, INET_ERR_CANNOT_CONNECT);
    EXPECT_STREQ(web->statusText, "WinInet error.");

    renew();
    EXPECT_EQ(Wire_Request(web.get(), "file:///x", MODE_QUERY, 5000), ERR_BAD_SCHEME);
    EXPECT_EQ(Wire_Request(web.get(), "http://host", MODE_QUERY, 5000), ERR_BAD_URL);
    moontest::ScriptedServer any({{moontest::readRequest()}});
    EXPECT_EQ(Wire_Request(web.get(), any.url("x").c_str(), 7, 5000), ERR_BAD_MODE);
}

TEST_F(Wire, BodyCutShortFailsTheReadAndKeepsWhatArrived)
{
    moontest::ScriptedServer server({{moontest::readRequest(),
                                      moontest::sendText("HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n"),
                                      moontest::sendBody(4000)}});
    ASSERT_EQ(Wire_Request(web.get(), server.url("x").c_str(), MODE_DOWNLOAD, 5000), 1);
    EXPECT_EQ(readAll("cut.bin"), -1);
    EXPECT_EQ(web->status, INET_ERR_CONNECTION_ABORTED);
    EXPECT_STREQ(web->statusText, "WinInet error.");
    EXPECT_TRUE(moontest::isPatternFile("cut.bin", 4000));
}

TEST_F(Wire, AnswersToARangeAreTakenOnlyWhenTheyAreExactlyTheRestOfTheSameFile)
{
    using moontest::sendText;
    const std::string whole = "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n";
    auto partial = [](const std::string& range, const std::string& etag) {
        return "HTTP/1.1 206 Partial Content\r\nETag: " + etag + "\r\nContent-Range: bytes " + range +
               "\r\nContent-Length: 0\r\n\r\n";
    };
    const struct {
        const char* name;
        std::string answer;
        int64_t resumeFrom, expectedSize;   // what the request offers
        int64_t from;                       // where the data handed out begin; -1: starts over
        uint64_t contentLength;
    } cases[] = {
        {"the rest", partial("3000-8999/9000", "\"v1\""), 3000, 9000, 3000, 9000},
        {"the rest, total unknown", partial("3000-8999/*", "\"v1\""), 3000, 0, 3000, 9000},
        {"elsewhere", partial("0-8999/9000", "\"v1\""), 3000, 9000, -1, 9000},
        {"up to another size", partial("3000-9999/10000", "\"v1\""), 3000, 9000, -1, 9000},
        {"not to the end", partial("3000-5999/9000", "\"v1\""), 3000, 9000, -1, 9000},
        {"another version", partial("3000-8999/9000", "\"v2\""), 3000, 9000, -1, 9000},
        {"held whole already",
         "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */9000\r\nContent-Length: 5\r\n\r\nnope!",
         9000, 9000, 9000, 9000},
        {"held more than there is",
         "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */2000\r\nContent-Length: 0\r\n\r\n",
         3000, 9000, -1, 9000},
        {"whole file instead", whole, 3000, 9000, 0, 9000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        moontest::ScriptedServer server({{moontest::readRequest(), sendText(c.answer)},
                                         {moontest::readRequest(), sendText(whole), moontest::sendBody(9000)}});
        renew();
        web->resumeFrom = c.resumeFrom;
        web->expectedSize = c.expectedSize;
        CopyBounded(web->ifRange, "\"v1\"");
        ASSERT_EQ(Wire_Request(web.get(), server.url("f").c_str(), MODE_DOWNLOAD, 5000), 1);
        EXPECT_EQ(web->resumeFrom, std::max<int64_t>(c.from, 0));
        EXPECT_EQ(web->contentLength, c.contentLength);
        EXPECT_EQ(server.connections(), c.from < 0 ? 2 : 1);
        if (c.from < 0) {
            EXPECT_EQ(server.requests().back().find("Range:"), std::string::npos);
        }
        if (c.from == c.resumeFrom) {
            EXPECT_EQ(Wire_Read(web.get()), 1);   // these carry no byte of the file, a 416 body least
        }
    }
}

TEST_F(Wire, AgentAndCookieHeadersAsTheServerSeesThem)
{
    moontest::writeFile("cookies.txt",
                        "# Netscape HTTP Cookie File\n"
                        "127.0.0.1\tFALSE\t/\tFALSE\t0\ta\t1\n"
                        "127.0.0.1\tFALSE\t/\tTRUE\t0\tsecret\tnever\n"
                        "127.0.0.1\tFALSE\t/other\tFALSE\t0\tc\t3\n"
                        ".0.0.1\tTRUE\t/x\tfalse\t0\tb\t2\twith tab\n");
    moontest::ScriptedServer server({{moontest::echoRequest()}});
    renew(COOKIES_NETSCAPE, path("cookies.txt"));
    ASSERT_EQ(Wire_Request(web.get(), server.url("x.zip").c_str(), MODE_QUERY, 5000), 1);
    ASSERT_EQ(server.requests().size(), 1u);
    std::string head = server.requests()[0];
    EXPECT_EQ(count(head, "\r\nUser-Agent: Moonfetch/0.0\r\n"), 1u) << head;
    EXPECT_EQ(count(head, "Cookie:"), 1u) << head;
    EXPECT_NE(head.find("\r\nCookie: a=1; b=2\twith tab\r\n"), std::string::npos) << head;

    // A bad line fails the request before anything is sent.
    moontest::writeFile("bad.txt", "127.0.0.1\tFALSE\t/\tFALSE\t0\tname\n");
    renew(COOKIES_NETSCAPE, path("bad.txt"));
    EXPECT_EQ(Wire_Request(web.get(), server.url("x.zip").c_str(), MODE_QUERY, 5000), ERR_BAD_COOKIE);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(WireNginx, CookieFileWrittenByCurlReachesTheServerHttpOnlyLoginsToo)
{
    nginx->addConfig("location = /login { add_header Set-Cookie \"session=abc123; Path=/\";"
                     " add_header Set-Cookie \"login=key9; Path=/; HttpOnly\"; return 204; }");
    start();
    std::string command = "curl -s -o /dev/null -c " + path("jar.txt") + " " + nginx->url("login");
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_NE(readFile(path("jar.txt")).find("#HttpOnly_127.0.0.1\t"), std::string::npos);

    moontest::ScriptedServer server({{moontest::echoRequest()}});
    renew(COOKIES_NETSCAPE, path("jar.txt"));
    ASSERT_EQ(Wire_Request(web.get(), server.url("file.zip").c_str(), MODE_QUERY, 5000), 1);
    const std::string head = server.requests().at(0);
    EXPECT_TRUE(head.find("\r\nCookie: session=abc123; login=key9\r\n") != std::string::npos ||
                head.find("\r\nCookie: login=key9; session=abc123\r\n") != std::string::npos)
        << head;
}

TEST_F(Wire, HostileHostNeverGetsTheCookiesOfTheHostItSeemsToName)
{
    // Behind '#' or '?' the client reads no port, so a host that tucks another name there is
    // reached on the default one: this test needs to listen on port 80.
    std::unique_ptr<moontest::ScriptedServer> hostile;
    try {
        hostile = std::make_unique<moontest::ScriptedServer>(
            std::vector<moontest::Script>{{moontest::echoRequest()}}, "127.0.0.77", 80);
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    moontest::writeFile("cookies.txt", "bank.example\tFALSE\t/\tFALSE\t0\tbank\tsecret\n"
                                       "127.0.0.77\tFALSE\t/\tFALSE\t0\tlocal\tplain\n");
    moontest::ScriptedServer redirect({{moontest::readRequest(),
                                        moontest::sendText("HTTP/1.1 302 Found\r\nLocation: "
                                                           "http://127.0.0.77#@bank.example/x.bin\r\n"
                                                           "Content-Length: 0\r\n\r\n")}});
    // Each URL and the request line that reaches 127.0.0.77, if any.
    struct {
        std::string url;
        int32_t result;
        const char* requestLine;
    } cases[] = {
        {"http://127.0.0.77#@bank.example/x.bin", ERR_BAD_URL, nullptr},
        {"http://127.0.0.77?@bank.example/x.bin", ERR_BAD_URL, nullptr},
        {"http://127.0.0.77/a@bank.example/b\\c?@bank.example/#@bank.example/",
         1, "HEAD /a@bank.example/b\\c?@bank.example/ HTTP/1.1"},
        {redirect.url("r"), 1, "HEAD / HTTP/1.1"},
    };
    for (const auto& c : cases) {
        const size_t before = hostile->requests().size();
        renew(COOKIES_NETSCAPE, path("cookies.txt"));
        EXPECT_EQ(Wire_Request(web.get(), c.url.c_str(), MODE_QUERY, 5000), c.result) << c.url;
        const auto heads = hostile->requests();
        ASSERT_EQ(heads.size(), before + (c.requestLine ? 1 : 0)) << c.url;
        if (c.requestLine) {
            EXPECT_TRUE(heads.back().starts_with(std::string(c.requestLine) + "\r\n")) << heads.back();
            EXPECT_NE(heads.back().find("\r\nCookie: local=plain\r\n"), std::string::npos) << heads.back();
        }
    }
}

TEST_F(Wire, SessionCookiesOnlyForTheSystemSource)
{
    const std::string setCookie =
        "HTTP/1.1 200 OK\r\nSet-Cookie: jar=from-server; Path=/\r\nContent-Length: 1\r\n\r\n";
    moontest::ScriptedServer server({{moontest::readRequest(), moontest::sendText(setCookie)},
                                     {moontest::echoRequest()}});
    renew(COOKIES_SYSTEM);
    ASSERT_EQ(Wire_Request(web.get(), server.url("login").c_str(), MODE_QUERY, 5000), 1);
    renew(COOKIES_NONE);
    ASSERT_EQ(Wire_Request(web.get(), server.url("a").c_str(), MODE_QUERY, 5000), 1);
    renew(COOKIES_SYSTEM);
    ASSERT_EQ(Wire_Request(web.get(), server.url("b").c_str(), MODE_QUERY, 5000), 1);
    auto heads = server.requests();
    ASSERT_EQ(heads.size(), 3u);
    EXPECT_EQ(heads[1].find("Cookie:"), std::string::npos);
    EXPECT_NE(heads[2].find("\r\nCookie: jar=from-server\r\n"), std::string::npos);
}

}  // namespace

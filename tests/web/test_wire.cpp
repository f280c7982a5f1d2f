#include "web/wire.h"

#include "diag/trace.h"
#include "platform/text.h"
#include "web/cookies.h"
#include "web/session.h"

#include "tests/support/browserstores.h"
#include "tests/support/fixtures.h"
#include "tests/support/servers.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace moontest;

constexpr uint64_t ANY = UINT64_MAX;   // any number of bytes: a reset may drop what was under way

Script redirect(const std::string& status, const std::string& to)
{
    return answer(head(status, "Location: " + to + "\r\nContent-Length: 0"));
}

// What the server saw: each request line without its version, followed by the Range, If-Range,
// Cookie and Referer fields it carried; one line per request.
std::string seen(const ScriptedServer& server)
{
    std::string all;
    for (const std::string& request : server.requests()) {
        all += (all.empty() ? "" : "\n") + request.substr(0, request.find(" HTTP/1.1\r\n"));
        for (const std::string name : {"\r\nRange: ", "\r\nIf-Range: ", "\r\nCookie: ", "\r\nReferer: "}) {
            const size_t at = request.find(name);
            if (at != std::string::npos)
                all += " " + request.substr(at + 2, request.find("\r\n", at + 2) - at - 2);
        }
        EXPECT_NE(request.find("\r\nUser-Agent: Moonfetch/0.0\r\n"), std::string::npos) << request;
        EXPECT_EQ(request.find("User-Agent"), request.rfind("User-Agent")) << request;
    }
    return all;
}

// How a request ends: Wire_Request's result, then status, statusText and contentLength.
struct End {
    int32_t result = 1;
    uint32_t status = 200;
    std::string text = "OK";
    uint64_t length = 0;
};

// One request, like the cases of a test-data file: what a scripted server sends, what the request
// asks, and what it must end with. Every download offers a part of the file's version "v1".
struct Case {
    std::string name;
    std::vector<Script> scripts = {};   // connection n plays scripts[n], later ones the last
    std::string path = "ORIGIN/x";      // the URL, "ORIGIN/" standing for the scripted server's
    int32_t mode = MODE_QUERY;
    uint32_t timeout = 5000;
    std::string cookies = "";           // the Netscape cookie file's text, when there is one
    std::string handed = "";            // cookies handed over with the link, when there are any
    std::string handedHost = "127.0.0.1";
    bool handedSecure = false;
    std::string referrer = "", referrerOrigin = "";   // the page handed over; "ORIGIN/" is the server's
    int64_t from = 0, size = 0;         // resumeFrom and expectedSize
    int64_t to = 0;                     // rangeEnd
    bool askRange = false;
    End end = {};
    int connections = 1;                // to the scripted server
    std::string seen = "";              // see seen(); not checked when empty
    std::string final = "";             // the location after success or a sixth redirect, if not the URL
    int64_t at = 0;                     // resumeFrom afterwards: where the data handed out belong
    uint64_t bytes = 0;                 // download: the pattern bytes from there that Wire_Read hands out
    std::string body = "";              // download: the body instead of pattern bytes
    int32_t lastRead = 1;               // download: Wire_Read's last result unless a client error ended it
    std::vector<std::string> traced = {};   // texts of the log, "ORIGIN/" standing for the scripted server's
};

class Wire : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        ASSERT_EQ(Wire_Init(), 0);
        Trace_EnableLevels(TRACE_ALL);
        web = std::make_unique<WireRequest>();
    }
    void TearDown() override
    {
        Wire_Close(web.get());
        Trace_Close();
        Sandbox::TearDown();
    }

    // A fresh record for another request; with a cookie file when one is named.
    void renew(int32_t cookieSource = COOKIES_NONE, const std::string& cookieFile = "")
    {
        Wire_Close(web.get());
        web = std::make_unique<WireRequest>();
        web->cookieSource = cookieSource;
        Text_CopyBounded(web->cookieFile, cookieFile.c_str());
    }

    void run(const Case& c)
    {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.scripts);
        ASSERT_NE(Trace_Open("log.txt"), nullptr);
        renew(c.cookies.empty() ? COOKIES_NONE : COOKIES_NETSCAPE, path("cookies.txt"));
        writeFile("cookies.txt", c.cookies);
        web->handedCookies = c.handed.empty() ? nullptr : c.handed.c_str();
        Text_CopyBounded(web->handedHost, c.handedHost.c_str());
        web->handedSecure = c.handedSecure;
        auto onServer = [&](std::string text) {
            for (size_t at; (at = text.find("ORIGIN/")) != std::string::npos;)
                text.replace(at, 7, server.url(""));
            return text;
        };
        const std::string referrer = onServer(c.referrer);
        web->referrer = referrer.empty() ? nullptr : referrer.c_str();
        Text_CopyBounded(web->referrerOrigin, onServer(c.referrerOrigin).c_str());
        web->resumeFrom = c.from;
        web->expectedSize = c.size;
        web->rangeEnd = c.to;
        web->askRange = c.askRange;
        Text_CopyBounded(web->ifRange, "\"v1\"");
        const std::string url = onServer(c.path), final = onServer(c.final.empty() ? c.path : c.final);
        EXPECT_EQ(Wire_Request(web.get(), url.c_str(), c.mode, c.timeout), c.end.result);
        std::string body;
        if (c.mode == MODE_DOWNLOAD && c.end.result == 1) {   // the body block by block, to -1 on a client error
            int32_t r = 0;
            while ((r = Wire_Read(web.get())) == 0) {
                EXPECT_LE(web->bufferCount, 1024);
                EXPECT_EQ(Wire_Read(web.get()), 0);   // an untaken block is not overwritten
                body.append(web->buffer, size_t(web->bufferCount));
                web->bufferCount = 0;
            }
            EXPECT_TRUE(r == (c.end.status > 999 ? -1 : c.lastRead) && web->bufferCount == 0) << r;
            const uint64_t bytes = c.bytes == ANY ? body.size() : c.bytes;
            EXPECT_TRUE(body == (c.body.empty() ? patternBytes(uint64_t(c.at), bytes) : c.body)) << body.size();
        }
        EXPECT_EQ(std::tuple(web->status, std::string(web->statusText), web->contentLength, web->resumeFrom),
                  std::tuple(c.end.status, c.end.text, c.end.length, c.at));
        EXPECT_TRUE(c.end.result < 0 || web->scheme == SCHEME_FTP || web->location == final) << web->location;
        if (c.end.result == 1) {
            EXPECT_EQ(final.substr(final.find('/', 8) + 1), web->objectName);
            EXPECT_EQ(web->scheme, final.starts_with("https") ? SCHEME_HTTPS
                                   : final.starts_with("ftp") ? SCHEME_FTP : SCHEME_HTTP);
        }
        const std::string served = seen(server);
        EXPECT_TRUE(!url.starts_with(server.url("")) || server.connections() == c.connections) << server.connections();
        EXPECT_TRUE(c.seen.empty() || served == onServer(c.seen)) << served;
        Trace_Close();
        const std::string text = readFile("log.txt");
        EXPECT_TRUE(c.handed.empty() || text.find(c.handed) == std::string::npos);
        // A URL that cannot be parsed leaves no trace of its parts.
        EXPECT_EQ(text.find("ParseURL") == std::string::npos,
                  (c.end.result == ERR_BAD_URL || c.end.result == ERR_BAD_SCHEME) && c.end.status == 0);
        for (const std::string& traced : c.traced)
            EXPECT_NE(text.find(onServer(traced)), std::string::npos) << traced;
    }

    std::unique_ptr<WireRequest> web;
};

TEST_F(Wire, EveryCaseEndsWithItsResultStatusBodyAndWhatTheServerSaw)
{
    // Real servers: nginx over http (with a redirect to FTP) and https, and an FTP server.
    const uint64_t big = 3 * 1024 * 1024 + 17;
    NginxServer plain(path("nginx")), secure(path("tls"));
    FtpServer ftp(path("ftp"));
    secure.useTls();
    ::setenv("CURL_CA_BUNDLE", secure.authorityFile().c_str(), 1);
    secure.makeFile("big", big);
    secure.addConfig(R"(location = /echo { return 200 "$http_cookie"; })");
    plain.makeFile("small", 5000);
    ftp.makeFile("data.bin", 70000);
    ftp.makeFile("empty", 0);
    ASSERT_TRUE(ftp.start());
    plain.addRedirect("/to-ftp", ftp.url("data.bin"));
    ASSERT_TRUE(plain.start());
    secure.addRedirect("/to-plain", plain.url("small"), 301);
    ASSERT_TRUE(secure.start());

    const std::string ok = head("200 OK"), refused = head("405 Not Allowed");
    auto firstOf = [](const std::string& total) {
        return head("206 Partial Content", "Content-Range: bytes 0-0/" + total + "\r\nContent-Length: 1") + "X";
    };
    const Script whole = {readRequest(), sendText(head("200 OK", "Content-Length: 9000")), sendBody(9000)};
    const End wholeFile = {1, 200, "OK", 9000}, ftpDone = {1, 0, ""};
    const End ftpRefused = {-1, INET_ERR_FTP_REFUSED, "WinInet error."};
    const std::string head10000 = head("200 OK", "Content-Length: 10000");
    // A failure status and its words, as the server sent them.
    auto failing = [](const std::string& line, std::vector<std::string> traced = {}) {
        return Case{.name = line, .scripts = {answer(head(line))},
                    .end = {-1, uint32_t(std::stoul(line)), line.substr(4)}, .traced = traced};
    };
    // A query whose HEAD gets headAnswer asks for the first byte, which gets text with far more
    // body behind it than the client may read.
    auto firstByte = [](const char* name, const std::string& headAnswer, const std::string& text, End end) {
        return Case{.name = name, .scripts = {answer(headAnswer), {readRequest(), sendText(text), sendBody(1 << 20),
                                                                  staySilent()}},
                    .timeout = 2000, .end = end, .connections = 2, .seen = "HEAD /x\nGET /x Range: bytes=0-0"};
    };
    // A download that holds 3000 of 9000 bytes and gets first, then (if it asks again) the whole file.
    const std::string askRest = "GET /x Range: bytes=3000- If-Range: \"v1\"";
    auto resumes = [&](const char* name, const std::string& first, int64_t size = 9000) {
        return Case{.name = name, .scripts = {answer(first), whole}, .mode = MODE_DOWNLOAD, .from = 3000,
                    .size = size, .end = {1, 206, "Partial Content", 9000}, .seen = askRest, .at = 3000};
    };
    auto startsOver = [&](const char* name, const std::string& first) {
        return Case{.name = name, .scripts = {answer(first), whole}, .mode = MODE_DOWNLOAD, .from = 3000,
                    .size = 9000, .end = wholeFile, .connections = 2, .seen = askRest + "\nGET /x", .bytes = 9000};
    };
    auto range = [](const std::string& range, const std::string& etag = "\"v1\"") {
        return head("206 Partial Content",
                    "ETag: " + etag + "\r\nContent-Range: bytes " + range + "\r\nContent-Length: 0");
    };
    const std::string unsatisfiable = "416 Range Not Satisfiable";
    const std::string notAsked = "The server sent a part of the file that was not asked for.";
    // A query with the cookie file text.
    auto cookies = [&](const char* name, const std::string& text, int32_t result, const std::string& cookie,
                       std::vector<std::string> traced = {}) {
        return Case{.name = name, .scripts = {answer(ok)}, .cookies = text,
                    .end = result == 1 ? End{} : End{result, 0, ""}, .connections = result == 1,
                    .seen = result == 1 ? "HEAD /x" + cookie : "", .traced = traced};
    };
    const std::string longest(491, 'v');   // with "n" the longest cookie a header takes
    const std::string tooLong = "\tF\t/\tFALSE\t0\tn\t" + longest + "v\n";
    const Case cases[] = {
        {.name = "other 2xx", .scripts = {answer(head("203 Elsewhere", "Content-Length: 5"))},
         .end = {1, 203, "Elsewhere", 5}},
        failing("304 Not Modified"), failing("300 Choose"), failing("503 Busy Now"),
        failing("404 Not Found", {"Wire_Request: ORIGIN/x\nParseURL, hostName = 127.0.0.1:",
                                  "ParseURL, objectName = x\n", "Wire_Request: result = -1\n"}),
        {.name = "sixth redirect", .scripts = {redirect("303 See Other", "/there/x")}, .end = {0, 303, "See Other"},
         .connections = 6, .final = "ORIGIN/there/x"},
        {.name = "five redirects",
         .scripts = {redirect("301 Moved Permanently", "/b"), redirect("302 Found", "/c"),
                     redirect("305 Use Proxy", "/d"), redirect("307 Temporary Redirect", "/e"),
                     redirect("308 Permanent Redirect", "/f"),
                     answer(head("200 OK", "Content-Length: 1234"))},
         .path = "ORIGIN/a", .end = {1, 200, "OK", 1234}, .connections = 6, .final = "ORIGIN/f",
         .traced = {"Wire_Request: ORIGIN/a\n", "Wire_Request: result = 0\nWire_Request: ORIGIN/b\n"}},
        firstByte("405, then 206", refused, firstOf("123456"), {1, 206, "Partial Content", 123456}),
        firstByte("501, then 200", head("501 Not Implemented"), head("200 Whole", "Content-Length: 1000000000000"),
                  {1, 200, "Whole", 1000000000000}),
        firstByte("no length, then 206", head("200 OK", "Connection: close"), firstOf("123456"),
                  {1, 206, "Partial Content", 123456}),
        firstByte("range of unknown size", refused, firstOf("*"), {1, 206, "Partial Content"}),
        firstByte("refused twice", refused, head("405 Still Not"), {-1, 405, "Still Not"}),
        firstByte("another range", refused, range("5-5/123456"), {-1, 206, notAsked}),
        {.name = "a part not asked for", .scripts = {answer(range("0-1999/4000"))}, .mode = MODE_DOWNLOAD,
         .size = 4000, .end = {-1, 206, notAsked}},
        // Failures before an answer, and how a body ends.
        {.name = "silent", .scripts = {{readRequest(), staySilent()}}, .timeout = 300,
         .end = {-1, INET_ERR_TIMEOUT, "Timeout in HTTP Request."},
         .traced = {"Wire_HTTP_Request, hostError = 12002\n"}},
        {.name = "closed unanswered", .scripts = {{readRequest()}}, .mode = MODE_DOWNLOAD,
         .end = {-1, INET_ERR_CONNECTION_ABORTED, "WinInet error."}},
        {.name = "closed, no length", .scripts = {{readRequest(), sendText(head("200 OK", "Connection: close")),
                                                   sendBody(5000)}},
         .mode = MODE_DOWNLOAD, .bytes = 5000},
        {.name = "closed early", .scripts = {{readRequest(), sendText(head10000), sendBody(4000)}},
         .mode = MODE_DOWNLOAD, .end = {1, INET_ERR_CONNECTION_ABORTED, "WinInet error.", 10000}, .bytes = 4000},
        {.name = "reset", .scripts = {{readRequest(), sendText(head10000), sendBody(4000), pauseFor(100),
                                       resetConnection()}},
         .mode = MODE_DOWNLOAD, .end = {1, INET_ERR_CONNECTION_ABORTED, "WinInet error.", 10000}, .bytes = ANY},
        {.name = "silent body", .scripts = {{readRequest(), sendText(head10000), sendBody(3000), staySilent()}},
         .mode = MODE_DOWNLOAD, .timeout = 300, .end = {1, INET_ERR_TIMEOUT, "Timeout in InternetReadFile.", 10000},
         .bytes = 3000},
        {.name = "refused", .path = "http://127.0.0.1:1/x", .end = {-1, INET_ERR_CANNOT_CONNECT, "WinInet error."}},
        {.name = "other scheme", .path = "file:///x", .end = {ERR_BAD_SCHEME, 0, ""}},
        {.name = "no object", .path = "http://host", .end = {ERR_BAD_URL, 0, ""}},
        {.name = "unknown mode", .mode = 7, .end = {ERR_BAD_MODE, 0, ""}, .connections = 0},
        // A download that offers a part takes only exactly the rest of the same file, else starts over.
        {.name = "nothing held", .scripts = {whole}, .mode = MODE_DOWNLOAD, .end = wholeFile, .seen = "GET /x",
         .bytes = 9000},
        {.name = "whole file instead", .scripts = {whole}, .mode = MODE_DOWNLOAD, .from = 3000, .size = 9000,
         .end = wholeFile, .seen = askRest, .bytes = 9000},
        resumes("the rest", range("3000-8999/9000")),
        resumes("the rest of unknown size", range("3000-8999/*"), 0),
        startsOver("elsewhere", range("0-8999/9000")),
        startsOver("up to another size", range("3000-9999/10000")),
        startsOver("not to the end", range("3000-5999/9000")),
        startsOver("another version", range("3000-8999/9000", "\"v2\"")),
        startsOver("an end past every size", range("3000-9223372036854775807/*")),
        {.name = "more than the rest",
         .scripts = {answer(head("206 Partial Content", "Content-Range: bytes 3000-8999/9000\r\nConnection: close") +
                            patternBytes(3000, 9000))},
         .mode = MODE_DOWNLOAD, .from = 3000, .size = 9000,
         .end = {1, 206, "The server sent more bytes than it announced.", 9000}, .seen = askRest, .at = 3000,
         .bytes = 6000, .lastRead = ERR_TOO_MANY_BYTES},
        {.name = "the rest above 4 GiB",
         .scripts = {answer(head("206 Partial Content", "Content-Range: bytes 5000000000-5000008999/5000009000\r\n"
                                 "Content-Length: 9000") + patternBytes(5000000000, 9000))},
         .mode = MODE_DOWNLOAD, .from = 5000000000, .size = 5000009000, .end = {1, 206, "Partial Content", 5000009000},
         .seen = "GET /x Range: bytes=5000000000- If-Range: \"v1\"", .at = 5000000000, .bytes = 9000},
        // A range that ends early, or one from the first byte, is that range or the whole file.
        {.name = "a range", .scripts = {answer(range("3000-5999/9000"))}, .mode = MODE_DOWNLOAD, .from = 3000,
         .size = 9000, .to = 6000, .end = {1, 206, "Partial Content", 9000},
         .seen = "GET /x Range: bytes=3000-5999 If-Range: \"v1\"", .at = 3000},
        {.name = "a range from the first byte", .scripts = {answer(range("0-8999/9000"))}, .mode = MODE_DOWNLOAD,
         .size = 9000, .askRange = true, .end = {1, 206, "Partial Content", 9000},
         .seen = "GET /x Range: bytes=0- If-Range: \"v1\""},
        {.name = "a range answered whole", .scripts = {whole}, .mode = MODE_DOWNLOAD, .from = 3000, .size = 9000,
         .to = 6000, .end = wholeFile, .bytes = 9000},
        {.name = "a range answered with more", .scripts = {answer(range("3000-8999/9000"))}, .mode = MODE_DOWNLOAD,
         .from = 3000, .size = 9000, .to = 6000, .end = {-1, 206, notAsked}, .at = 3000},
        {.name = "a range of another version", .scripts = {answer(range("3000-5999/9000", "\"v2\""))},
         .mode = MODE_DOWNLOAD, .from = 3000, .size = 9000, .to = 6000, .end = {-1, 206, notAsked, 9000}, .at = 3000},
        {.name = "a range that goes on",
         .scripts = {answer(head("206 Partial Content", "Content-Range: bytes 3000-5999/9000\r\nConnection: close") +
                            patternBytes(3000, 4000))},
         .mode = MODE_DOWNLOAD, .from = 3000, .size = 9000, .to = 6000,
         .end = {1, 206, "The server sent more bytes than it announced.", 9000}, .at = 3000, .bytes = 3000,
         .lastRead = ERR_TOO_MANY_BYTES},
        startsOver("held more than there is", head(unsatisfiable, "Content-Range: bytes */2000")),
        startsOver("a 416 for a larger file than the part", head(unsatisfiable, "Content-Range: bytes */9000")),
        {.name = "held whole already",
         .scripts = {answer(head(unsatisfiable, "Content-Range: bytes */9000\r\nContent-Length: 5") + "nope!")},
         .mode = MODE_DOWNLOAD, .from = 9000, .size = 9000, .end = {1, 416, "Range Not Satisfiable", 9000},
         .at = 9000},
        // FTP continues only while the server's size is the expected one.
        {.name = "ftp", .path = ftp.url("data.bin"), .mode = MODE_DOWNLOAD, .end = ftpDone, .bytes = 70000},
        {.name = "ftp, the rest", .path = ftp.url("data.bin"), .mode = MODE_DOWNLOAD, .from = 3000, .size = 70000,
         .end = ftpDone, .at = 3000, .bytes = 67000},
        {.name = "ftp, grown", .path = ftp.url("data.bin"), .mode = MODE_DOWNLOAD, .from = 3000, .size = 69999,
         .end = ftpDone, .bytes = 70000},
        {.name = "ftp, empty", .path = ftp.url("empty"), .mode = MODE_DOWNLOAD, .end = ftpDone},
        {.name = "ftp, missing", .path = ftp.url("none"), .end = ftpRefused},
        {.name = "ftp, missing download", .path = ftp.url("none"), .mode = MODE_DOWNLOAD, .end = ftpRefused},
        // Redirects lead between http, https and ftp, and to nothing else; the last answer has the last word.
        {.name = "to ftp", .path = plain.url("to-ftp"), .end = {1, 0, "", 70000},
         .final = ftp.url("data.bin")},
        {.name = "to file", .scripts = {redirect("302 Found", "file:///etc/passwd")},
         .end = {ERR_BAD_SCHEME, 302, "Redirected to an address Moonfetch cannot fetch: file"}},
        {.name = "to https", .scripts = {redirect("302 Found", secure.url("big"))}, .end = {1, 200, "OK", big},
         .final = secure.url("big")},
        {.name = "to http", .path = secure.url("to-plain"), .end = {1, 200, "OK", 5000}, .final = plain.url("small")},
        {.name = "https", .path = secure.url("big"), .mode = MODE_DOWNLOAD, .end = {1, 200, "OK", big}, .bytes = big},
        {.name = "https to a plain server", .path = "https://" + plain.url("big").substr(7),
         .end = {-1, INET_ERR_SECURE_CHANNEL, "The secure connection could not be established."},
         .traced = {"Wire_HTTP_Request, hostError = 12157\n"}},
        // A refused certificate has words of its own; which refusal it is, the client's tests tell.
        {.name = "certificate of another host", .path = "https://localhost:" + std::to_string(secure.port()) + "/x",
         .end = {-1, INET_ERR_CERT_NAME, "The certificate belongs to another host name."}},
        // The matching cookies of a Netscape file go in file order, a secure one only over https.
        cookies("cookies",
                "# Netscape HTTP Cookie File\n127.0.0.1\tFALSE\t/\tFALSE\t0\ta\t1\n"
                "127.0.0.1\tFALSE\t/\tTRUE\t0\tsecret\tnever\n127.0.0.1\tFALSE\t/other\tFALSE\t0\tc\t3\n"
                ".0.0.1\tTRUE\t/x\tfalse\t0\tb\t2\twith tab\n",
                1, " Cookie: a=1; b=2\twith tab",
                {"Cookies_Open, load ", "Wire_SendCookies: a = (1 characters)\nWire_SendCookies: b = (10 characters)\n"}),
        cookies("a bad line", "127.0.0.1\tF\t/\tFALSE\t0\ta\t1\n\tFALSE\t/\tFALSE\t0\tn\tv\n" "127.0.0.1" + tooLong,
                ERR_BAD_COOKIE, "", {"Wire_SendCookies: a = (1 characters)\nCookies_LoadNetscape, bad line = FALSE\n"}),
        cookies("longest", "127.0.0.1\tF\t/\tFALSE\t0\tn\t" + longest, 1, " Cookie: n=" + longest),
        cookies("too long", "127.0.0.1" + tooLong, ERR_COOKIE_TOO_LONG, ""),
        cookies("a file too big", std::string(COOKIE_FILE_LIMIT + 1, '#'), ERR_FILE_TOO_LARGE, ""),
        cookies("too long but not sent", "127.0.0.1\tF\t/\tTRUE\t0\tn\t" + longest + "v\n127.0.0.2" + tooLong, 1, ""),
        {.name = "cookies over https", .path = secure.url("echo"), .mode = MODE_DOWNLOAD,
         .cookies = "127.0.0.1\tF\t/\tFALSE\t0\tplain\t1\n127.0.0.1\tF\t/\tTRUE\t0\tsecret\t2\n",
         .end = {1, 200, "OK", 17}, .body = "plain=1; secret=2"},
        // Cookies handed over with the link go to their host alone, in place of the file's.
        {.name = "handed cookies", .scripts = {answer(ok)}, .cookies = "127.0.0.1\tF\t/\tFALSE\t0\ta\t1\n",
         .handed = "h=1; g=2", .seen = "HEAD /x Cookie: h=1; g=2"},
        {.name = "handed for another host", .scripts = {answer(ok)}, .cookies = "127.0.0.1\tF\t/\tFALSE\t0\ta\t1\n",
         .handed = "h=1", .handedHost = "localhost", .seen = "HEAD /x Cookie: a=1"},
        {.name = "handed for https, asked over http", .scripts = {answer(ok)}, .handed = "h=1", .handedSecure = true,
         .seen = "HEAD /x"},
        {.name = "handed for https", .path = secure.url("echo"), .mode = MODE_DOWNLOAD, .handed = "h=1",
         .handedSecure = true, .end = {1, 200, "OK", 3}, .body = "h=1"},
        // The page a link came from goes whole to its own origin, else only its origin, and
        // never from https to http.
        {.name = "a page of the same origin", .scripts = {answer(ok)}, .referrer = "ORIGIN/p?q=1",
         .referrerOrigin = "ORIGIN/", .seen = "HEAD /x Referer: ORIGIN/p?q=1"},
        {.name = "a page of another origin", .scripts = {answer(ok)}, .referrer = "http://pages.example/p?q=1",
         .referrerOrigin = "http://pages.example/", .seen = "HEAD /x Referer: http://pages.example/"},
        {.name = "an https page", .scripts = {answer(ok)}, .referrer = "https://pages.example/p",
         .referrerOrigin = "https://pages.example/", .seen = "HEAD /x"},
    };
    for (const Case& c : cases)
        run(c);
}

TEST_F(Wire, SessionCookiesOnlyForTheSystemSource)
{
    ScriptedServer server({answer(head("200 OK", "Set-Cookie: jar=from-server; Path=/\r\nContent-Length: 0")),
                           answer(head("200 OK"))});
    for (int32_t source : {COOKIES_SYSTEM, COOKIES_NONE, COOKIES_SYSTEM}) {
        renew(source);
        ASSERT_EQ(Wire_Request(web.get(), server.url("x").c_str(), MODE_QUERY, 5000), 1);
    }
    // The first request may carry what an earlier run left in the jar.
    EXPECT_TRUE(seen(server).ends_with("\nHEAD /x\nHEAD /x Cookie: jar=from-server")) << seen(server);
}

TEST_F(Wire, HostileHostNeverGetsTheCookiesOfTheHostItSeemsToName)
{
    // Behind '#' or '?' the client reads no port, so a host that tucks another name there is
    // reached on the default one: this test needs to listen on port 80.
    std::unique_ptr<ScriptedServer> hostile;
    try {
        hostile = std::make_unique<ScriptedServer>(std::vector<Script>{answer(head("200 OK"))}, "127.0.0.77", 80);
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    writeFile("cookies.txt", "bank.example\tFALSE\t/\tFALSE\t0\tbank\tsecret\n"
                             "127.0.0.77\tFALSE\t/\tFALSE\t0\tlocal\tplain\n");
    ScriptedServer redirector({redirect("302 Found", "http://127.0.0.77#@bank.example/x.bin")});
    for (const std::string& url : {std::string("http://127.0.0.77/a@bank.example/b\\c?@bank.example/#@bank.example/"),
                                   redirector.url("r")}) {
        renew(COOKIES_NETSCAPE, path("cookies.txt"));
        EXPECT_EQ(Wire_Request(web.get(), url.c_str(), MODE_QUERY, 5000), 1) << url;
    }
    EXPECT_EQ(seen(*hostile), "HEAD /a@bank.example/b\\c?@bank.example/ Cookie: local=plain\n"
                              "HEAD / Cookie: local=plain");
}

// What matches which host is the cookie store's whatever the family (whose reading is the
// platform's test): one Firefox store, whose secure cookie stays off http, read again once its
// -wal grows.
TEST_F(Wire, BrowserStoresSendEachHostItsOwnCookiesAndReadAgainWhenTheBrowserWrites)
{
    NginxServer plain(path("nginx"));
    plain.addConfig(R"(location = /echo { return 200 "[$http_cookie]"; })");
    ASSERT_TRUE(plain.start());
    makeFirefoxStore(path("cookies.sqlite"), 16,
                     {{"127.0.0.1", "host", "1"}, {".0.0.1", "domain", "2", false, 4102444800}, {"0.0.1", "other", "3"},
                      {"127.0.0.1", "secure", "4", true}, {"127.0.0.1", "expired", "5", false, 1000000000},
                      {"127.0.0.1", "box", "6", false, 0, "^userContextId=1"}});
    auto echoed = [&] {
        renew(COOKIES_NETSCAPE, path("cookies.sqlite"));
        EXPECT_EQ(Wire_Request(web.get(), plain.url("echo").c_str(), MODE_DOWNLOAD, 5000), 1);
        EXPECT_EQ(Wire_Read(web.get()), 0);
        return std::string(web->buffer, size_t(web->bufferCount));
    };
    EXPECT_EQ(echoed(), "[host=1; domain=2]");
    const auto browser = holdStore(path("cookies.sqlite"), "", {{"127.0.0.1", "login", "7"}});
    EXPECT_EQ(echoed(), "[host=1; domain=2; login=7]");
}

}  // namespace

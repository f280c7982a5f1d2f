#include "cookies.h"

#include "fixtures.h"
#include "inet.h"
#include "session.h"
#include "trace.h"
#include "urlparse.h"
#include "wire.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using moontest::readFile;
using moontest::writeFile;
using namespace std::string_literals;

// One cookie line of seven fields; the domain flag and expiry (long past) never count.
std::string cookie(const std::string& domain, const std::string& path, const std::string& name,
                   const std::string& value = "v", const std::string& secure = "FALSE")
{
    return domain + "\tTRUE\t" + path + "\t" + secure + "\t1\t" + name + "\t" + value + "\n";
}

class Cookies : public moontest::Sandbox {
protected:
    std::string file() const { return path("cookies.txt"); }

    // Everything a walk over text yields, one line per call: "[S ]domain path name=value",
    // "bad" for a bad line, then "end" or "open <code>". With a host, only matching cookies.
    std::string walk(const std::string& text, const char* host = nullptr, const char* object = "")
    {
        writeFile(file(), text);
        CookieStore store{};
        const int32_t opened = Cookies_Open(&store, file().c_str());
        if (opened != 0)
            return "open " + std::to_string(opened);
        std::string seen;
        CookieEntry e;
        int32_t r;
        // Bounded, so that a cursor that stops moving fails instead of hanging.
        for (int calls = 0; calls < 1000 && (r = host ? Cookies_NextMatch(&store, &e, host, object)
                                                      : Cookies_LoadNetscape(&store, &e)) != 0;
             ++calls) {
            if (r == ERR_BAD_COOKIE)
                seen += "bad\n";
            else
                seen += std::string(e.secure ? "S " : "") + e.domain + " " + e.path + " " +
                        e.name + "=" + e.value + "\n";
        }
        Cookies_Close(&store);
        EXPECT_EQ(store.text, nullptr);
        return seen + "end";
    }

    // Runs body with the trace log open and returns what it wrote.
    template <typename Body>
    std::string traced(Body body)
    {
        Trace_EnableLevels(TRACE_ALL);
        EXPECT_NE(Trace_Open(path("log.txt").c_str()), nullptr);
        body();
        Trace_Close();
        return readFile(path("log.txt"));
    }
};

TEST_F(Cookies, LineEndsCommentsWhiteSpaceAndFields)
{
    const std::string a = "a.com\tTRUE\t/\tFALSE\t0\tn\tv";
    const std::string b = "b.com\tFALSE\t/p\tfalse\t0\tm\tw";
    const std::string ab = "a.com / n=v\nb.com /p m=w\nend";
    struct {
        std::string text, seen;
    } cases[] = {
        {"", "end"},
        {"# only comments\n\n  \t \r\n#another\r\r\n   ", "end"},
        {a + "\r\n" + b + "\r\n", ab},
        {a + "\n" + b + "\n", ab},
        {a + "\r" + b + "\r", ab},
        {a + "\n\n\r\n" + b, ab},
        {"# c\n  \t " + a + "\n\t\t#x\n" + b + "\n", ab},
        {"#HttpOnly_" + a + "\n" + b, "b.com /p m=w\nend"},
        // The value runs to the line's end: TABs, '#' and an empty value are all kept.
        {"a.com\tx\t/\tFALSE\tnever\tn\tv1\tv2 #3\n", "a.com / n=v1\tv2 #3\nend"},
        {"a.com\t\t/\tFALSE\t\tn\t\n", "a.com / n=\nend"},
        // Unrooted and empty paths become "/".
        {"a.com\tx\tdl\tFALSE\t0\tn\tv\na.com\tx\t\tFALSE\t0\tn\tv",
         "a.com / n=v\na.com / n=v\nend"},
        // Only "FALSE" in any case is not secure.
        {cookie("f", "/", "1", "v", "False") + cookie("t", "/", "2", "v", "TRUE") +
             cookie("e", "/", "3", "v", "") + cookie("x", "/", "4", "v", "FALSEX") +
             cookie("y", "/", "5", "v", "FALS"),
         "f / 1=v\nS t / 2=v\nS e / 3=v\nS x / 4=v\nS y / 5=v\nend"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(walk(c.text), c.seen) << c.text;
}

TEST_F(Cookies, LinesOfTooFewFieldsAreBadAndTracedByTheirDomain)
{
    const std::string log = traced([&] {
        EXPECT_EQ(walk(cookie("a", "/", "1") + "six.com\tTRUE\t/\tFALSE\t0\tname\n" +
                       "\tFALSE\t/\tFALSE\t0\tn\tv\r\n" + "garbage\n" + cookie("b", "/", "2")),
                  "a / 1=v\nbad\nbad\nbad\nb / 2=v\nend");
    });
    EXPECT_EQ(log, "Cookies_Open, load " + file() + "\n" +
                       "Cookies_LoadNetscape, bad line = six.com\n"
                       "Cookies_LoadNetscape, bad line = FALSE\n"
                       "Cookies_LoadNetscape, bad line = garbage\n");
}

TEST_F(Cookies, DomainIsTheHostsTailAndPathAPrefixOfTheObject)
{
    struct {
        const char *domain, *path, *host, *object;
        bool matches;
    } cases[] = {
        {".b.c", "/", "a.b.c", "x", true},
        {".b.c", "/", "b.c", "x", false},
        {"b.c", "/", "b.c", "x", true},
        {"b.c", "/", "a.b.c", "x", true},
        {"b.c", "/", "xb.c", "x", true},
        {"B.c", "/", "b.c", "x", false},
        {"b.c", "/", "b.C", "x", false},
        {"a.b.c", "/", "b.c", "x", false},
        {"b.c", "/", "b.c.d", "x", false},
        {"b.c", "/", "b.c", "", true},
        {"b.c", "", "b.c", "a/b", true},
        {"b.c", "dl", "b.c", "x", true},
        {"b.c", "/dl", "b.c", "dl/a.zip", true},
        {"b.c", "/dl", "b.c", "dlx/a.zip", true},
        {"b.c", "/dl", "b.c", "dl", true},
        {"b.c", "/dl", "b.c", "d", false},
        {"b.c", "/dl", "b.c", "DL/a.zip", false},
        {"b.c", "/dl", "b.c", "x/dl/a.zip", false},
        {"b.c", "/dl/", "b.c", "dl", false},
    };
    for (const auto& c : cases) {
        const std::string seen = walk(cookie(c.domain, c.path, "n"), c.host, c.object);
        EXPECT_EQ(seen != "end", c.matches) << c.domain << " " << c.path << " for " << c.host
                                            << "/" << c.object;
    }
}

TEST_F(Cookies, MatchesComeInFileOrderSecureOnesIncluded)
{
    const std::string text = cookie(".b.c", "/", "1") + cookie("b.c", "/", "2") +
                             cookie("b.c", "/dl", "3", "v", "TRUE") + cookie("x.c", "/", "4") +
                             cookie("c", "/d", "5");
    EXPECT_EQ(walk(text, "a.b.c", "dl/f.zip"),
              ".b.c / 1=v\nb.c / 2=v\nS b.c /dl 3=v\nc /d 5=v\nend");
}

TEST_F(Cookies, WholeFileReaderLimitsAndCodes)
{
    char stale[] = "stale";
    char* text = stale;
    EXPECT_EQ(ReadWholeFile(nullptr, 10, &text), -1);
    EXPECT_EQ(text, nullptr);
    text = stale;
    EXPECT_EQ(ReadWholeFile(path("missing").c_str(), 10, &text), -2);
    EXPECT_EQ(text, nullptr);

    struct {
        std::string bytes;
        int64_t largest, result;
    } cases[] = {
        {"", 0, 0},
        {"a\0b\r\nc"s, 6, 6},   // binary: NULs and CR LF kept as they are
        {"abcd", 3, -3},
        {std::string(COOKIE_FILE_LIMIT, 'x'), COOKIE_FILE_LIMIT, COOKIE_FILE_LIMIT},
        {std::string(COOKIE_FILE_LIMIT + 1, 'x'), COOKIE_FILE_LIMIT, -3},
    };
    for (const auto& c : cases) {
        writeFile(file(), c.bytes);
        EXPECT_EQ(ReadWholeFile(file().c_str(), c.largest, &text), c.result) << c.bytes.size();
        if (c.result < 0) {
            EXPECT_EQ(text, nullptr);
            continue;
        }
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text, c.bytes.size() + 1), c.bytes + '\0');
        std::free(text);
    }
}

TEST_F(Cookies, FilesAreClosedOnEveryPath)
{
    auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    writeFile(path("big"), std::string(COOKIE_FILE_LIMIT + 1, '#'));
    writeFile(path("small"), cookie("a", "/", "n"));
    const auto before = openFiles();
    for (int i = 0; i < 20; ++i) {
        for (const std::string name : {"big", "small", "missing"}) {
            CookieStore store{};
            Cookies_Open(&store, path(name).c_str());
            Cookies_Close(&store);
        }
    }
    EXPECT_EQ(openFiles(), before);
}

TEST_F(Cookies, AFileOfExactlyTheLimitIsReadToItsLastLine)
{
    const std::string last = cookie("a.com", "/", "last");
    const std::string head = "#" + std::string(COOKIE_FILE_LIMIT - last.size() - 2, 'x') + "\n";
    EXPECT_EQ(walk(head + last), "a.com / last=v\nend");
    EXPECT_EQ(walk(head + "x" + last), "open -3");

    const std::string log = traced([&] {
        CookieStore store{};
        EXPECT_EQ(Cookies_Open(&store, file().c_str()), -3);
        EXPECT_EQ(store.size, -3);
        EXPECT_EQ(store.text, nullptr);
    });
    EXPECT_EQ(log, "Cookies_Open, load " + file() + "\n");
}

// Names of the cookies in path that match a.b.c/f, one per line.
std::string matchingNames(const std::string& path)
{
    CookieStore store{};
    std::string names = Cookies_Open(&store, path.c_str()) == 0 ? "" : "no file";
    CookieEntry e;
    while (Cookies_NextMatch(&store, &e, "a.b.c", "f") == 1)
        names += std::string(e.name) + "\n";
    Cookies_Close(&store);
    return names;
}

using CookiesConcurrent = Cookies;

TEST_F(CookiesConcurrent, WalksOfOneFileSeeTheSameCookies)
{
    std::string text, expected;
    for (int i = 0; i < 200; ++i) {
        const std::string name = "n" + std::to_string(i);
        text += cookie(i % 2 ? "b.c" : "x.c", "/", name);
        expected += i % 2 ? name + "\n" : "";
    }
    writeFile(file(), text);
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (auto& s : seen) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                if ((s = matchingNames(file())) != expected)
                    return;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    for (const auto& s : seen)
        EXPECT_EQ(s, expected);
}

// Wire_SendCookies on a real request that is opened but never sent, so nothing reaches the
// network; the headers themselves are checked against a live server elsewhere.
class SendCookies : public Cookies {
protected:
    // Runs Wire_SendCookies with the cookie file cookieFile for the URL http://a.b.c/dl/f.zip.
    int32_t send(const std::string& cookieFile)
    {
        if (Wire_Init() != 0) {
            ADD_FAILURE() << "no internet session";
            return 1;
        }
        auto request = std::make_unique<WireRequest>();
        std::strncpy(request->url, "http://a.b.c/dl/f.zip", sizeof request->url - 1);
        ParseURL(request->url, &request->scheme, &request->hostName, &request->objectName,
                 &request->port);
        std::strncpy(request->cookieFile, cookieFile.c_str(), sizeof request->cookieFile - 1);
        request->cookieSource = COOKIES_NETSCAPE;
        request->hConnect =
            Inet_Connect(Wire_Session(), "127.0.0.1", 9, INET_SERVICE_HTTP, &request->abort);
        request->hRequest =
            Inet_HttpOpenRequest(request->hConnect, "GET", request->objectName, true);
        EXPECT_NE(request->hRequest, nullptr);
        const int32_t result = request->hRequest ? Wire_SendCookies(request.get()) : 1;
        Inet_Close(request->hRequest);
        Inet_Close(request->hConnect);
        return result;
    }

    int32_t sendText(const std::string& text)
    {
        writeFile(file(), text);
        return send(file());
    }
};

TEST_F(SendCookies, FailuresBeforeAnyHeaderIsAdded)
{
    EXPECT_EQ(send(path("missing")), -2);
    EXPECT_EQ(send(""), -2);
    EXPECT_EQ(sendText(std::string(COOKIE_FILE_LIMIT + 1, '#')), -3);
}

TEST_F(SendCookies, ResultOfTheWalk)
{
    const std::string fits(491, 'v'), tooLong(492, 'v');   // with the name "n": 492 and 493
    struct {
        std::string text;
        int32_t result;
    } cases[] = {
        {"# nothing\n\n", 0},
        {cookie("x.c", "/", "n"), 0},
        {cookie("b.c", "/", "n", fits), 0},
        {cookie("b.c", "/", "n", tooLong), ERR_COOKIE_TOO_LONG},
        {cookie("b.c", "/", "n", tooLong, "TRUE") + cookie("x.c", "/", "n", tooLong), 0},
        {cookie("b.c", "/", "n", tooLong) + "bad line\n", ERR_COOKIE_TOO_LONG},
        {cookie("b.c", "/", "n") + cookie("x.c", "/", "n") + "\tFALSE\t/\tFALSE\t0\tn\tv\n" +
             cookie("b.c", "/", "m"),
         ERR_BAD_COOKIE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sendText(c.text), c.result) << c.text;
}

TEST_F(SendCookies, TracesEachCookieSentAndNoSecureOne)
{
    const std::string log = traced([&] {
        EXPECT_EQ(sendText(cookie("b.c", "/", "a", "1") + cookie("b.c", "/", "s", "2", "TRUE") +
                           cookie("b.c", "/x", "c", "3") + cookie(".b.c", "/dl", "b", "x\ty")),
                  0);
    });
    EXPECT_EQ(log, "ParseURL, hostName = a.b.c\nParseURL, objectName = dl/f.zip\n"
                   "Cookies_Open, load " + file() + "\n" +
                   "Wire_SendCookies: a =  1\n"
                   "Wire_SendCookies: b =  x\ty\n");
}

}  // namespace

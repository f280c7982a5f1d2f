#include "urlparse.h"

#include "fixtures.h"
#include "trace.h"

#include <cstring>
#include <string>

namespace {

char notCleared;

// One parse of a private, writable copy of the URL.
struct Parsed {
    char buffer[2058] = {};
    int32_t result, scheme = -1, port = -1;
    char* host = nullptr;
    char* object = &notCleared;

    explicit Parsed(const char* url)
    {
        std::strncpy(buffer, url, sizeof buffer - 1);
        result = ParseURL(buffer, &scheme, &host, &object, &port);
    }
};

TEST(UrlParse, SplitsSchemeHostObjectAndPort)
{
    struct {
        const char *url, *host, *object;
        int32_t result, scheme, port;
    } cases[] = {
        {"HTTP://Host.Name/a/B.zip", "Host.Name", "a/B.zip", 0, SCHEME_HTTP, 80},
        {"fTp://server/pub/file.tar.gz", "server", "pub/file.tar.gz", 0, SCHEME_FTP, 21},
        {"http://server/", "server", "", 0, SCHEME_HTTP, 80},
        {"http://server/get?f=a/b.zip&x=%41", "server", "get?f=a/b.zip&x=%41", 0, SCHEME_HTTP, 80},
        {"http://server:8080/x", "server", "x", 0, SCHEME_HTTP, 8080},
        {"ftp://server:2121/x", "server", "x", 0, SCHEME_FTP, 2121},
        {"http://server:abc/x", "server", "x", 0, SCHEME_HTTP, 0},
        {"http://server: 81/x", "server", "x", 0, SCHEME_HTTP, 81},
        {"http://server:\t+82z/x", "server", "x", 0, SCHEME_HTTP, 82},
        {"http://server:-5/x", "server", "x", 0, SCHEME_HTTP, -5},
        {"http://user:pw@server/x", "user", "x", 0, SCHEME_HTTP, 0},
        {"http://s:99999999999999999999/x", "s", "x", 0, SCHEME_HTTP, INT32_MAX},
        {"http://s:-99999999999999999999/x", "s", "x", 0, SCHEME_HTTP, INT32_MIN},
        {"http://server", "server", nullptr, ERR_BAD_URL, SCHEME_HTTP, 80},
        {"ftp://server:21", "server:21", nullptr, ERR_BAD_URL, SCHEME_FTP, 21},
    };
    for (const auto& c : cases) {
        Parsed p(c.url);
        EXPECT_EQ(p.result, c.result) << c.url;
        EXPECT_EQ(p.scheme, c.scheme) << c.url;
        EXPECT_STREQ(p.host, c.host) << c.url;
        EXPECT_STREQ(p.object, c.object) << c.url;
        EXPECT_EQ(p.port, c.port) << c.url;
    }
}

TEST(UrlParse, OtherSchemesAreRefusedWithoutTouchingHostOrPort)
{
    for (const char* url : {"https://server/x", "file:///etc/passwd", "http:/server/x", "", "htt",
                            " http://server/x"}) {
        Parsed p(url);
        EXPECT_EQ(p.result, ERR_BAD_SCHEME) << url;
        EXPECT_LT(p.result, 0);
        EXPECT_EQ(p.scheme, 0) << url;
        EXPECT_EQ(p.object, nullptr) << url;
        EXPECT_EQ(p.host, nullptr) << url;
        EXPECT_EQ(p.port, -1) << url;
        EXPECT_STREQ(p.buffer, url) << url;
    }
}

class UrlParseTrace : public moontest::Sandbox {};

TEST_F(UrlParseTrace, HostLineShowsThePortAndFailuresWriteNothing)
{
    ASSERT_NE(Trace_Open(path("log.txt").c_str()), nullptr);
    Trace_EnableLevels(TRACE_ALL);
    Parsed("https://server/x");
    Parsed("http://server");
    Parsed("http://server:8080/dir/f.zip?q=1");
    Trace_Close();
    EXPECT_EQ(moontest::readFile(path("log.txt")),
              "ParseURL, hostName = server:8080\nParseURL, objectName = dir/f.zip?q=1\n");
}

// The local name, or "error <code>"; out starts full of garbage to show what is written.
std::string localName(const std::string& object, const char* directory, bool byExtension,
                      size_t outSize = 260)
{
    char out[600];
    std::memset(out, '#', sizeof out);
    const int32_t result = LocalNameFromURL(object.c_str(), directory, out, outSize, byExtension);
    return result == 0 ? std::string(out) : "error " + std::to_string(result);
}

const std::string TOO_LONG = "error " + std::to_string(ERR_NAME_TOO_LONG);
const std::string BAD_URL = "error " + std::to_string(ERR_BAD_URL);

TEST(LocalName, LastSegmentWithoutQueryInDirectoryOrExtensionFolder)
{
    struct {
        const char *object, *directory;
        bool byExtension;
        const char* name;
    } cases[] = {
        {"pub/tools/setup.zip?id=7", "/home/u/dl", false, "/home/u/dl/setup.zip"},
        {"pub/tools/setup.zip?id=7", "/home/u/dl", true, "/home/u/dl/zip/setup.zip"},
        {"a/b/c", nullptr, false, "c"},
        {"a/b/c", "", true, "c"},
        {"get?f=x/y.zip", "d", true, "d/get"},
        {"dir/", "d", false, "d/"},
        {"%2e%2e", "d", false, "d/%2e%2e"},
        {"Photo.JPG", "d", true, "d/JPG/Photo.JPG"},
        {"file.tar.gz", nullptr, true, "gz/file.tar.gz"},
        {"file.", "d", true, "d/file."},
        {"v1.2/readme", "d", true, "d/readme"},
        {"...", "d", true, "d/..."},
        {"..a", "d", true, "d/a/..a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(localName(c.object, c.directory, c.byExtension), c.name) << c.object;
}

TEST(LocalName, DotEntriesNeverNameTheDirectoryOrItsParent)
{
    for (const char* object : {".", "..", "a/..", "a/.?x", "../..?y=1"}) {
        EXPECT_EQ(localName(object, "/dl", false), BAD_URL) << object;
        EXPECT_EQ(localName(object, nullptr, true), BAD_URL) << object;
    }
}

TEST(LocalName, NameAndNulMustFitAndOutIsUntouchedOtherwise)
{
    const std::string dir(200, 'd');
    // 200 + '/' + 58 = 259 characters fit into 260 with the NUL.
    EXPECT_EQ(localName(std::string(58, 'f'), dir.c_str(), false).size(), 259u);
    EXPECT_EQ(localName(std::string(59, 'f'), dir.c_str(), false), TOO_LONG);
    // "zip/" counts four.
    EXPECT_EQ(localName(std::string(50, 'f') + ".zip", dir.c_str(), true).size(), 259u);
    EXPECT_EQ(localName(std::string(51, 'f') + ".zip", dir.c_str(), true), TOO_LONG);
    // An empty extension inserts no folder but still counts one character.
    EXPECT_EQ(localName(std::string(56, 'f') + ".", dir.c_str(), true).size(), 258u);
    EXPECT_EQ(localName(std::string(57, 'f') + ".", dir.c_str(), true), TOO_LONG);
    EXPECT_EQ(localName("", nullptr, false, 0), TOO_LONG);

    char out[8] = "keepme";
    EXPECT_EQ(LocalNameFromURL("toolong", nullptr, out, 7, false), ERR_NAME_TOO_LONG);
    EXPECT_EQ(LocalNameFromURL("..", nullptr, out, sizeof out, false), ERR_BAD_URL);
    EXPECT_STREQ(out, "keepme");
}

TEST(StringHelpers, FindAndSkip)
{
    EXPECT_EQ(FindChar('.', "a.b.c"), 1);
    EXPECT_EQ(FindLastChar('.', "a.b.c"), 3);
    EXPECT_EQ(FindChar('x', "a.b"), -1);
    EXPECT_EQ(FindLastChar('x', ""), -1);
    EXPECT_EQ(FindLastChar('\xE9', "caf\xE9 \xE9t\xE9"), 7);
    EXPECT_EQ(FindLineEnd("\nabc"), 0);
    EXPECT_EQ(FindLineEnd("ab\r\ncd"), 2);
    EXPECT_EQ(FindLineEnd("ab\ncd\r"), 2);
    EXPECT_EQ(FindLineEnd("abc"), -1);

    char white[] = " \t\r\n", empty[] = "", text[] = " \t\r\n\vx";
    EXPECT_EQ(SkipWhite(white), nullptr);
    EXPECT_EQ(SkipWhite(empty), nullptr);
    EXPECT_EQ(SkipWhite(text), text + 4);
}

TEST(StringHelpers, SplitWritesNulAndCrLfLeavesAnEmptyLine)
{
    char pair[] = "name=value=x";
    char* rest = SplitAtChar('=', pair);
    EXPECT_STREQ(pair, "name");
    EXPECT_STREQ(rest, "value=x");
    EXPECT_EQ(SplitAtChar(';', rest), nullptr);
    EXPECT_STREQ(rest, "value=x");

    char lines[] = "one\r\ntwo\nthree";
    char* line[4] = {lines};
    for (int i = 1; i < 4; ++i)
        ASSERT_NE(line[i] = SplitLine(line[i - 1]), nullptr);
    EXPECT_STREQ(line[0], "one");
    EXPECT_STREQ(line[1], "");
    EXPECT_STREQ(line[2], "two");
    EXPECT_STREQ(line[3], "three");
    EXPECT_EQ(SplitLine(line[3]), nullptr);
}

}  // namespace

#include "web/cookies.h"

#include "tests/support/fixtures.h"

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using moontest::writeFile;
using namespace std::string_literals;

// One cookie line of seven fields; the domain flag never counts.
std::string cookie(const std::string& domain, const std::string& path, const std::string& name,
                   const std::string& value = "v", const std::string& secure = "FALSE",
                   const std::string& expiry = "0")
{
    return domain + "\tTRUE\t" + path + "\t" + secure + "\t" + expiry + "\t" + name + "\t" + value + "\n";
}

// Everything a walk over the file at path yields, one line per call: "[S ]domain path
// name=value", "bad" for a bad line, then "end" or "open <code>". With a host, only matching
// cookies.
std::string walkFile(const std::string& path, const char* host, const char* object)
{
    CookieStore store{};
    if (const int32_t opened = Cookies_Open(&store, path.c_str()))
        return "open " + std::to_string(opened);
    std::string seen;
    CookieEntry e;
    int32_t r;
    // Bounded, so that a cursor that stops moving fails instead of hanging.
    for (int calls = 0; calls < 1000 && (r = host ? Cookies_NextMatch(&store, &e, host, object)
                                                  : Cookies_LoadNetscape(&store, &e)) != 0;
         ++calls)
        seen += r == ERR_BAD_COOKIE ? "bad\n"s
                                    : (e.secure ? "S "s : ""s) + e.domain + " " + e.path + " " +
                                          e.name + "=" + e.value + "\n";
    Cookies_Close(&store);
    EXPECT_EQ(store.text, nullptr);
    return seen + "end";
}

class Cookies : public moontest::Sandbox {
protected:
    std::string file() const { return path("cookies.txt"); }

    std::string walk(const std::string& text, const char* host = nullptr, const char* object = "")
    {
        writeFile(file(), text);
        return walkFile(file(), host, object);
    }
};

TEST_F(Cookies, LineEndsCommentsWhiteSpaceAndFields)
{
    const std::string a = "a.com\tTRUE\t/\tFALSE\t0\tn\tv";
    const std::string b = "b.com\tFALSE\t/p\tfalse\t0\tm\tw";
    const std::string ab = "a.com / n=v\nb.com /p m=w\nend";
    const std::string last = cookie("a.com", "/", "last");
    const std::string atLimit = "#" + std::string(COOKIE_FILE_LIMIT - last.size() - 2, 'x') + "\n" + last;
    struct {
        std::string text, seen;
    } cases[] = {
        {"# only comments\n\n  \t \r\n#another\r\r\n   ", "end"},
        {a + "\r\n" + b + "\r\n", ab},
        {a + "\r" + b + "\r", ab},
        {a + "\n\n\r\n" + b, ab},
        {"# c\n  \t " + a + "\n\t\t#x\n" + b + "\n", ab},
        {"#HttpOnly_" + a + "\n#HttpOnly" + b + "\n#httponly_" + b, "a.com / n=v\nend"},
        // The value runs to the line's end: TABs, '#' and an empty value are all kept.
        {"a.com\tx\t/\tFALSE\tnever\tn\tv1\tv2 #3\n", "a.com / n=v1\tv2 #3\nend"},
        {"a.com\t\t/\tFALSE\t\tn\t\n", "a.com / n=\nend"},
        // Too few fields make a bad line, also when an empty domain's TAB goes as white space.
        {cookie("a", "/", "1") + "six.com\tTRUE\t/\tFALSE\t0\tname\n" + "\tFALSE\t/\tFALSE\t0\tn\tv\r\n" +
             "garbage\n" + cookie("b", "/", "2"),
         "a / 1=v\nbad\nbad\nbad\nb / 2=v\nend"},
        // Unrooted and empty paths become "/".
        {"a.com\tx\tdl\tFALSE\t0\tn\tv\na.com\tx\t\tFALSE\t0\tn\tv", "a.com / n=v\na.com / n=v\nend"},
        // Only "FALSE" in any case is not secure.
        {cookie("f", "/", "1", "v", "False") + cookie("t", "/", "2", "v", "TRUE") +
             cookie("e", "/", "3", "v", "") + cookie("x", "/", "4", "v", "FALSEX") +
             cookie("y", "/", "5", "v", "FALS"),
         "f / 1=v\nS t / 2=v\nS e / 3=v\nS x / 4=v\nS y / 5=v\nend"},
        // A file of exactly the limit is read to its last line; one byte more is not read.
        {atLimit, "a.com / last=v\nend"},
        {"x" + atLimit, "open " + std::to_string(ERR_FILE_TOO_LARGE)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(walk(c.text), c.seen) << c.text.substr(0, 80);
}

TEST_F(Cookies, DomainIsTheHostOrADotBeforeItAndPathAPrefixOfTheObjectAndExpiredNeverMatch)
{
    struct {
        const char *domain, *path, *host, *object;
        bool matches;
        const char* expiry = "0";
    } cases[] = {
        {".b.c", "/", "a.b.c", "x", true},         {".b.c", "/", "b.c", "x", true},
        {"b.c", "/", "a.b.c", "x", true},          {"b.c", "/", "xb.c", "x", false},
        {".b.c", "/", "xb.c", "x", false},         {".", "/", "b.c.", "x", false},
        {"B.c", "/", "b.c", "x", false},           {"a.b.c", "/", "b.c", "x", false},
        {"b.c", "/", "b.c.d", "x", false},         {"b.c", "/", "b.c", "", true},
        {"b.c", "/dl", "b.c", "dl/a.zip", true},   {"b.c", "/dl", "b.c", "dlx/a.zip", true},
        {"b.c", "/dl", "b.c", "dl", true},         {"b.c", "/dl", "b.c", "d", false},
        {"b.c", "/dl", "b.c", "DL/a.zip", false},  {"b.c", "/dl", "b.c", "x/dl/a.zip", false},
        {"b.c", "/dl/", "b.c", "dl", false},
        // Whole seconds of a fraction count; 0 or less is a session cookie.
        {"b.c", "/", "b.c", "x", false, "1"},      {"b.c", "/", "b.c", "x", false, "1791.9"},
        {"b.c", "/", "b.c", "x", true, "4102444800.742"},  {"b.c", "/", "b.c", "x", true, "-1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(walk(cookie(c.domain, c.path, "n", "v", "FALSE", c.expiry), c.host, c.object) != "end", c.matches)
            << c.domain << " " << c.path << " for " << c.host << "/" << c.object;
}

TEST_F(Cookies, AFileThatCannotBeLoadedIsNamedAndLeavesNoText)
{
    std::filesystem::create_directory(path("folder"));
    for (const auto& [name, expected] :
         {std::pair{"", ERR_FILE_NO_PATH}, {"missing", ERR_FILE_OPEN}, {"folder", ERR_FILE_OPEN}}) {
        CookieStore store{};
        EXPECT_EQ(Cookies_Open(&store, *name ? path(name).c_str() : nullptr), expected) << name;
        EXPECT_TRUE(store.size == expected && store.text == nullptr) << name;
    }
}

using CookiesConcurrent = Cookies;

TEST_F(CookiesConcurrent, WalksOfOneFileSeeTheSameCookies)
{
    std::string text, expected;
    for (int i = 0; i < 200; ++i) {
        const std::string name = "n" + std::to_string(i);
        text += cookie(i % 2 ? "b.c" : "x.c", "/", name);
        expected += i % 2 ? "b.c / " + name + "=v\n" : "";
    }
    writeFile(file(), text);
    std::vector<std::string> seen(8, expected += "end");
    {
        std::vector<std::jthread> threads;
        for (auto& s : seen)
            threads.emplace_back([&] {
                for (int round = 0; round < 20 && s == expected; ++round)
                    s = walkFile(file(), "a.b.c", "f");
            });
    }
    EXPECT_EQ(seen, std::vector<std::string>(8, expected));
}

}  // namespace

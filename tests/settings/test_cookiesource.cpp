#include "settings/cookiesource.h"

#include "diag/trace.h"
#include "platform/text.h"
#include "settings/registry.h"

#include "tests/support/browserstores.h"
#include "tests/support/fixtures.h"

#include <filesystem>
#include <string>

namespace {

using moontest::writeFile;

const std::string LOADING = "Error loading Netscape cookies.";
const std::string BLANK = "Blank Netscape cookie file name specified.";
const std::string NO_OPEN = "Could not open Netscape cookie file for specified user.";

// Replaces the whole stored choice; a null text or a negative number is left out.
void store(int32_t source, int32_t ifOther, const char* user, const char* other)
{
    std::filesystem::remove(RegStore_FilePath(REG_ROOT_CURRENT_USER));
    for (auto [name, value] : {std::pair{REG_VAL_SOURCE, source}, {REG_VAL_IF_OTHER, ifOther}})
        if (value >= 0)
            Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, name, value);
    for (auto [name, text] : {std::pair{REG_VAL_USER_NAME, user}, {REG_VAL_OTHER_NAME, other}})
        if (text)
            Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, name, text);
}

using CookieSourceLoad = moontest::Sandbox;

TEST_F(CookieSourceLoad, ResultTellingAndCookieFileFollowTheStoredChoice)
{
    // Four users over two programs: "carol" and "bob" (whose folder lies outside) with a cookie
    // file, "dave" in the second program's CRLF file.
    for (const char* folder : {"home/.mozilla/firefox/c.carol", "home/.thunderbird", "elsewhere/bob"})
        std::filesystem::create_directories(path(folder));
    writeFile(path("home/.mozilla/firefox/c.carol/cookies.txt"), "");
    writeFile(path("elsewhere/bob/cookies.txt"), "");
    writeFile(path("home/.mozilla/firefox/profiles.ini"),
              "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=alice\nIsRelative=1\nPath=a.alice\n\n"
              "[Profile1]\nName=bob\nIsRelative=0\nPath=" + path("elsewhere/bob") + "/\n\n"
              "[Profile2]\nName=carol\nIsRelative=1\nPath=c.carol\n\n[Install1234]\nDefault=a.alice\n"
              "[Profile3]\nName=erin\nIsRelative=1\nPath=e.erin\n[Profile4]\nName=frank\nIsRelative=1\nPath=f.frank\n"
              "[Profile5]\nName=mallory\nIsRelative=1\nPath=../../elsewhere/bob\n");
    writeFile(path("home/.thunderbird/profiles.ini"), "[Profile0]\r\nName=dave\r\nIsRelative=1\r\nPath=d.dave\r\n");
    writeFile(path("mine.txt"), "");
    // "erin" has a browser's database alone (beside a cookies.txt), "frank" a damaged one; a
    // Chromium profile has its own key and its database in Network.
    for (const char* folder : {"home/.mozilla/firefox/e.erin", "home/.mozilla/firefox/f.frank", "config/chromium/Default/Network"})
        std::filesystem::create_directories(path(folder));
    writeFile(path("home/.mozilla/firefox/e.erin/cookies.txt"), "");
    moontest::makeFirefoxStore(path("home/.mozilla/firefox/e.erin/cookies.sqlite"), 16, {});
    writeFile(path("home/.mozilla/firefox/f.frank/cookies.sqlite"), std::string(4096, 'x'));
    moontest::makeChromiumStore(path("config/chromium/Default/Network/Cookies"), 24, {});
    writeFile(path("config/chromium/Local State"),
              R"({"profile": {"info_cache": {"Default": {"name": "Person 1"}, "../vivaldi/D": {}}}})");
    // Files far larger than any real one list nothing, though what they name is there.
    std::filesystem::create_directories(path("config/vivaldi/D"));
    writeFile(path("config/vivaldi/D/cookies.txt"), "");
    writeFile(path("config/vivaldi/Local State"), R"({"profile": {"info_cache": {"D": {}}}, "s": ")" + std::string(3 << 20, 's') + "\"}");
    writeFile(path("home/.librewolf/profiles.ini"), "[Profile0]\nName=gina\nPath=" + path("elsewhere/bob") + std::string(70000, '\n'));
    const std::string damaged = "The cookie database " + path("home/.mozilla/firefox/f.frank/cookies.sqlite") +
                                " cannot be read: file is not a database.";
    // other: "@" stands for an existing file, "!" for a missing one; file: the cookie file, "old" when kept.
    const struct { int32_t source, ifOther; const char* user; const char* other; int32_t result;
                   std::string told, file; } rows[] = {
        {-1, -1, nullptr, nullptr, 2, "", "old"},   // nothing chosen yet
        {-1, 0, nullptr, nullptr, -1, LOADING, "old"},
        {0, -1, nullptr, nullptr, -1, LOADING, "old"},
        {2, 0, nullptr, nullptr, 0, "", "old"},     // the system's cookies
        {1, 1, nullptr, nullptr, 2, "", "old"},     // the file name unreadable
        {1, 1, nullptr, "", -1, BLANK, ""},
        {1, 1, nullptr, "!", -1, NO_OPEN, ""},
        {1, 1, nullptr, "home", -1, NO_OPEN, ""},   // a folder
        {1, 1, nullptr, "@", 0, "", "@"},
        {1, 0, nullptr, nullptr, 2, "", "old"},     // the user unreadable
        {1, 0, "ghost", nullptr, -1, LOADING, "old"},
        {1, 0, "alice", nullptr, -1, NO_OPEN, ""},  // a user without a cookie file
        {1, 0, "dave", nullptr, -1, NO_OPEN, ""},
        {1, 0, "carol", nullptr, 0, "", "carol"},
        {1, 0, "BOB", nullptr, 0, "", "bob"},       // found whatever the case, and outside home
        {1, 0, "erin", nullptr, 0, "", "erin"},
        {1, 0, "frank", nullptr, -1, damaged, ""},
        {1, 0, "chromium/Default", nullptr, 0, "", "chromium"},
        // Paths that climb out are no profiles.
        {1, 0, "mallory", nullptr, -1, LOADING, "old"}, {1, 0, "chromium/../vivaldi/D", nullptr, -1, LOADING, "old"},
        {1, 0, "vivaldi/D", nullptr, -1, LOADING, "old"}, {1, 0, "gina", nullptr, -1, LOADING, "old"},
    };
    auto resolve = [&](const std::string& t) {
        return t == "@" ? path("mine.txt") : t == "!" ? path("none.txt") : t == "home" ? path("home")
             : t == "carol" ? path("home/.mozilla/firefox/c.carol/cookies.txt")
             : t == "bob"   ? path("elsewhere/bob/cookies.txt")
             : t == "erin"  ? path("home/.mozilla/firefox/e.erin/cookies.sqlite")
             : t == "chromium" ? path("config/chromium/Default/Network/Cookies") : t;
    };
    Trace_Open("moonfch_log.txt");
    Trace_EnableLevels(TRACE_ALL);
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        const std::string other = row.other ? resolve(row.other) : "";
        store(row.source, row.ifOther, row.user, row.other ? other.c_str() : nullptr);
        std::string told;   // each text the person would be told, ended by "|"
        DownloadOptions options{};
        Text_CopyBounded(options.cookieFile, "old");
        EXPECT_EQ(CookieSource_Load(&options, [&](const char* text) { told += text + std::string("|"); }), row.result);
        EXPECT_EQ(told, row.told.empty() ? "" : row.told + "|");
        EXPECT_EQ(options.cookieFile, resolve(row.file));
    }
    Trace_Close();
    const std::string traced = "CookieSource: 1\nCookies: IfOther = 0\nCookieDir: " + path("home/.mozilla/firefox");
    EXPECT_NE(moontest::readFile("moonfch_log.txt").find(traced + "/c.carol\n"), std::string::npos);
}

}  // namespace

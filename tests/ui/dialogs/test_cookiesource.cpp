#include "tests/ui/ui_fixture.h"

#include "platform/text.h"
#include "ui/dialogs/cookiesdialog.h"
#include "tests/support/servers.h"
#include "settings/registry.h"

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using moontest::readFile;
using moontest::writeFile;

const std::string LOADING = "Error loading Netscape cookies.";
const std::string BLANK = "Blank Netscape cookie file name specified.";
const std::string NO_OPEN = "Could not open Netscape cookie file for specified user.";

HWND item(HWND dialog, int id)
{
    return Win_GetDlgItem(dialog, id);
}

void click(HWND dialog, std::initializer_list<int> ids)
{
    for (int id : ids)
        Win_Click(item(dialog, id));
}

// Settings in a sandbox, HOME inside it with Mozilla-family profiles, and every modal call
// answered: boxes are recorded and confirmed, dialogs play the queued actions (a dialog with
// none left chooses "No cookies", which always loads and so ends CookieSource_Choose).
class CookieSource : public moontest::DownloadSandbox {
protected:
    void SetUp() override
    {
        DownloadSandbox::SetUp();
        const char* home = std::getenv("HOME");
        oldHome = home ? home : "";
        setenv("HOME", path("home").c_str(), 1);
        Win_SetModalScript([this](const WinModal& modal) { return answer(modal); });
    }
    void TearDown() override
    {
        oldHome.empty() ? unsetenv("HOME") : setenv("HOME", oldHome.c_str(), 1);
        DownloadSandbox::TearDown();
    }

    WinModalAnswer answer(const WinModal& modal)
    {
        if (modal.kind == WinModalKind::MessageBox) {
            EXPECT_EQ(modal.caption, "Error in Moonfetch");
            boxes.push_back(modal.text);
            return {IDOK, ""};
        }
        if (modal.kind == WinModalKind::OpenFile) {
            browseStart = modal.text;
            return {IDOK, browseAnswer};
        }
        ++dialogs;
        if (actions.empty())
            click(modal.dialog, {IDC_COOKIES_NONE, IDOK});
        else
            actions.front()(modal.dialog), actions.pop_front();
        return {};
    }

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
    // The stored user, other file name and if-other choice, joined by "|".
    std::string stored()
    {
        char user[COOKIE_PATH_SIZE] = "", other[COOKIE_PATH_SIZE] = "";
        uint32_t userSize = sizeof user, otherSize = sizeof other;
        int32_t ifOther = -99;
        Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_USER_NAME, user, &userSize);
        Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_OTHER_NAME, other, &otherSize);
        Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_IF_OTHER, &ifOther);
        return std::string(user) + "|" + other + "|" + std::to_string(ifOther);
    }
    // Four users over two programs, "carol" with a cookie file; "Alice" of the second repeats
    // "alice" and is not listed.
    void writeProfiles()
    {
        std::filesystem::create_directories(path("home/.mozilla/firefox/c.carol"));
        std::filesystem::create_directories(path("home/.thunderbird"));
        writeFile(carolFile(), "");
        writeFile(path("home/.mozilla/firefox/profiles.ini"),
                  "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=alice\nIsRelative=1\nPath=a.alice\n\n"
                  "[Profile1]\nName=bob\nIsRelative=0\nPath=" + path("elsewhere/bob") + "/\n\n"
                  "[Profile2]\nName=carol\nIsRelative=1\nPath=c.carol\n\n[Install1234]\nDefault=a.alice\n");
        writeFile(path("home/.thunderbird/profiles.ini"), "[Profile0]\r\nName=dave\r\nIsRelative=1\r\nPath=d.dave\r\n"
                                                          "[Profile1]\r\nName=Alice\r\nIsRelative=1\r\nPath=x\r\n");
    }
    std::string carolFile() { return path("home/.mozilla/firefox/c.carol/cookies.txt"); }
    // The user list's rows, then its top row.
    static std::vector<std::string> listRows(HWND dialog)
    {
        HWND list = item(dialog, IDC_COOKIE_USERS);
        std::vector<std::string> rows;
        for (int i = 0; i < Win_ListCount(list); ++i)
            rows.push_back(Win_ListText(list, i));
        rows.push_back("top " + std::to_string(Win_ListGetTopIndex(list)));
        return rows;
    }

    std::vector<std::string> boxes;
    int dialogs = 0;
    std::deque<std::function<void(HWND)>> actions;
    std::string browseStart, browseAnswer, oldHome;
};

TEST_F(CookieSource, LoadFollowsTheFailureTable)
{
    writeProfiles();
    writeFile(path("mine.txt"), "");
    // other: "@" stands for an existing file, "!" for a missing one; file: the cookie file, "old" when kept.
    const struct { int32_t source, ifOther; const char* user; const char* other; int32_t result;
                   std::string box, file; } rows[] = {
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
        {1, 0, "carol", nullptr, 0, "", "carol"},
    };
    auto resolve = [&](const std::string& t) {
        return t == "@" ? path("mine.txt") : t == "!" ? path("none.txt") : t == "carol" ? carolFile()
                                          : t == "home"                              ? path("home") : t;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        const std::string other = row.other ? resolve(row.other) : "";
        store(row.source, row.ifOther, row.user, row.other ? other.c_str() : nullptr);
        boxes.clear();
        CopyBounded(downloadOptions.cookieFile, "old");
        EXPECT_EQ(CookieSource_Load(&downloadOptions, MQUI_ErrorBox), row.result);
        EXPECT_EQ(boxes, row.box.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.box});
        EXPECT_EQ(downloadOptions.cookieFile, resolve(row.file));
    }
    std::fflush(nullptr);
    const std::string traced = "CookieSource: 1\nCookies: IfOther = 0\nCookieDir: " + path("home/.mozilla/firefox");
    EXPECT_NE(readFile("moonfch_log.txt").find(traced + "/c.carol\n"), std::string::npos);
}

TEST_F(CookieSource, ChooseShowsTheDialogAgainUntilTheChoiceLoads)
{
    store(-1, -1, nullptr, nullptr);
    EXPECT_EQ(CookieSource_Choose(0, ui.hwndMain, &downloadOptions), 2);
    EXPECT_EQ(dialogs, 0);
    EXPECT_TRUE(boxes.empty());
    // Source missing: an error, then the dialog; Cancel keeps the failing choice, "File:" with an
    // empty name fails anew, and only "No cookies" ends it.
    store(-1, 0, nullptr, nullptr);
    actions.push_back([](HWND dialog) { click(dialog, {IDCANCEL}); });
    actions.push_back([](HWND dialog) { click(dialog, {IDC_COOKIES_NETSCAPE, IDC_COOKIE_BY_FILE, IDOK}); });
    EXPECT_EQ(CookieSource_Choose(0, ui.hwndMain, &downloadOptions), 0);
    EXPECT_EQ(dialogs, 3);
    EXPECT_EQ(boxes, (std::vector<std::string>{LOADING, LOADING, BLANK}));
    int32_t source = -99;
    Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_SOURCE, &source);
    EXPECT_EQ(source, COOKIES_NONE);
    EXPECT_EQ(downloadOptions.cookieSource, COOKIES_NONE);
    EXPECT_EQ(stored(), "||1");   // "File:" stays checked behind "No cookies" and is stored; loading ignores it
}

TEST_F(CookieSource, DialogListsTheProfilesWithTheStoredUserOnTop)
{
    writeProfiles();
    writeFile(path("picked.txt"), "");
    store(1, 0, "carol", "typed.txt");
    ASSERT_EQ(CookieSource_Load(&downloadOptions, MQUI_ErrorBox), 0);
    browseAnswer = path("picked.txt");
    actions.push_back([](HWND dialog) {
        const std::vector<std::string> users{"alice", "bob", "carol", "dave", "top 2"};
        EXPECT_EQ(listRows(dialog), users);
        EXPECT_TRUE(Win_IsChecked(item(dialog, IDC_COOKIES_NETSCAPE)));
        EXPECT_TRUE(Win_IsChecked(item(dialog, IDC_COOKIE_BY_USER)));
        EXPECT_TRUE(Win_IsWindowEnabled(item(dialog, IDC_COOKIE_BROWSE)));
        std::filesystem::create_directories(MOON_SCREENSHOT_DIR);
        EXPECT_TRUE(Win_SaveScreenshot(dialog, MOON_SCREENSHOT_DIR "/cookie-source.png"));
        click(dialog, {IDC_COOKIES_SYSTEM});
        EXPECT_EQ(Win_ListCount(item(dialog, IDC_COOKIE_USERS)), 0);
        for (int id : {IDC_COOKIE_BY_FILE, IDC_COOKIE_BY_USER, IDC_COOKIE_USERS, IDC_COOKIE_FILE, IDC_COOKIE_BROWSE})
            EXPECT_FALSE(Win_IsWindowEnabled(item(dialog, id))) << id;
        click(dialog, {IDC_COOKIES_NETSCAPE});
        EXPECT_EQ(listRows(dialog), users);
        click(dialog, {IDC_COOKIE_BROWSE, IDC_COOKIE_BY_FILE, IDOK});
    });
    EXPECT_EQ(CookieSource_Choose(1, ui.hwndMain, &downloadOptions), 0);
    EXPECT_EQ(browseStart, "typed.txt");
    EXPECT_EQ(stored(), "carol|" + path("picked.txt") + "|1");
    EXPECT_EQ(downloadOptions.cookieFile, path("picked.txt"));
    // A stored user that is gone shows the first row; Cancel writes nothing.
    store(1, 1, "zed", path("picked.txt").c_str());
    actions.push_back([](HWND dialog) {
        EXPECT_EQ(listRows(dialog).back(), "top 0");
        EXPECT_TRUE(Win_IsChecked(item(dialog, IDC_COOKIE_BY_FILE)));
        click(dialog, {IDCANCEL});
    });
    EXPECT_EQ(CookieSource_Choose(1, ui.hwndMain, &downloadOptions), 0);
    EXPECT_EQ(stored(), "zed|" + path("picked.txt") + "|1");
    EXPECT_EQ(dialogs, 2);
}

// How the cookies go out is the wire's; here the chosen file reaches the query.
TEST_F(CookieSource, ChosenCookieFileOpensTheSecretToTheQuery)
{
    nginx->makeFile("secret.bin", 5000);
    nginx->addConfig(R"(location = /secret.bin { if ($cookie_session != "abc123") { return 403; } })");
    ASSERT_TRUE(nginx->start());
    writeFile(path("jar.txt"), "# Netscape HTTP Cookie File\n127.0.0.1\tFALSE\t/\tFALSE\t0\tsession\tabc123\n");
    store(COOKIES_NETSCAPE, 1, nullptr, path("jar.txt").c_str());
    ASSERT_EQ(CookieSource_Load(&downloadOptions, MQUI_ErrorBox), 0);
    MQUI_AddURL(nginx->url("secret.bin").c_str());
    ASSERT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));
    EXPECT_EQ(MOONQ_FirstItem()->flags.load(), ITEM_VALID);
}

}  // namespace

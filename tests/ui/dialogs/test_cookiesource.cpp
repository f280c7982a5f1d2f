#include "ui_fixture.h"

#include "cookiesdialog.h"
#include "servers.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using moontest::isPatternFile;
using moontest::readFile;
using moontest::writeFile;

const std::string LOADING = "Error loading Netscape cookies.";
const std::string BLANK = "Blank Netscape cookie file name specified.";
const std::string NO_OPEN = "Could not open Netscape cookie file for specified user.";

HWND item(HWND dialog, int id)
{
    return Win_GetDlgItem(dialog, id);
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
        hadHome = home != nullptr;
        oldHome = hadHome ? home : "";
        setenv("HOME", path("home").c_str(), 1);
        downloadOptions = DownloadOptions{};
        Win_SetModalScript([this](const WinModal& modal) { return answer(modal); });
    }
    void TearDown() override
    {
        Win_SetModalScript(nullptr);
        hadHome ? setenv("HOME", oldHome.c_str(), 1) : unsetenv("HOME");
        downloadOptions = DownloadOptions{};
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
        std::function<void(HWND)> action = [](HWND dialog) {
            Win_Click(item(dialog, IDC_COOKIES_NONE));
            Win_Click(item(dialog, IDOK));
        };
        if (!actions.empty()) {
            action = actions.front();
            actions.pop_front();
        }
        action(modal.dialog);
        return {};
    }

    // Replaces the whole stored choice; a null text or a negative number is left out.
    void store(int32_t source, int32_t ifOther, const char* user, const char* other)
    {
        std::filesystem::remove(RegStore_FilePath(REG_ROOT_CURRENT_USER));
        if (source >= 0)
            Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_SOURCE, source);
        if (ifOther >= 0)
            Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_IF_OTHER, ifOther);
        if (user)
            Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_USER_NAME, user);
        if (other)
            Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_OTHER_NAME, other);
    }
    std::string stored(const char* name)
    {
        char text[COOKIE_PATH_SIZE] = "";
        uint32_t size = sizeof text;
        Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, name, text, &size);
        return text;
    }
    int32_t storedDword(const char* name)
    {
        int32_t value = -99;
        Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, name, &value);
        return value;
    }
    // Four users over two programs; "Alice" of the second repeats "alice" and is not listed.
    void writeProfiles()
    {
        std::filesystem::create_directories(path("home/.mozilla/firefox"));
        std::filesystem::create_directories(path("home/.thunderbird"));
        writeFile(path("home/.mozilla/firefox/profiles.ini"),
                  "[General]\nStartWithLastProfile=1\n\n"
                  "[Profile0]\nName=alice\nIsRelative=1\nPath=a.alice\n\n"
                  "[Profile1]\nName=bob\nIsRelative=0\nPath=" + path("elsewhere/bob") + "/\n\n"
                  "[Profile2]\nName=carol\nIsRelative=1\nPath=c.carol\n\n[Install1234]\nDefault=a.alice\n");
        writeFile(path("home/.thunderbird/profiles.ini"),
                  "[Profile0]\r\nName=dave\r\nIsRelative=1\r\nPath=d.dave\r\n[Profile1]\r\nName=Alice\r\n"
                  "IsRelative=1\r\nPath=x\r\n");
    }
    std::string carolDir() { return path("home/.mozilla/firefox/c.carol"); }
    std::vector<std::string> listRows(HWND dialog)
    {
        std::vector<std::string> rows;
        for (int i = 0; i < Win_ListCount(item(dialog, IDC_COOKIE_USERS)); ++i)
            rows.push_back(Win_ListText(item(dialog, IDC_COOKIE_USERS), i));
        return rows;
    }
    // Adds url and waits for its query; whether it came back valid.
    bool validates(const std::string& url)
    {
        MQUI_AddURL(url.c_str());
        EXPECT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));
        UrlItem* last = MOONQ_FirstItem();
        while (last != nullptr && MOONQ_NextItem(last) != nullptr)
            last = MOONQ_NextItem(last);
        return last != nullptr && last->flags.load() == ITEM_VALID;
    }

    std::vector<std::string> boxes;
    int dialogs = 0;
    std::deque<std::function<void(HWND)>> actions;
    std::string browseStart, browseAnswer;
    bool hadHome = false;
    std::string oldHome;
};

struct LoadRow {
    const char* what;
    int32_t source, ifOther;
    const char* user;
    const char* other;   // "@" stands for an existing file, "!" for a missing one
    int32_t result;
    const char* box;     // null: none
    const char* cookieFile;   // "old", "", or "@"/"carol"
};

TEST_F(CookieSource, LoadFollowsTheFailureTable)
{
    writeProfiles();
    std::filesystem::create_directories(carolDir());
    writeFile(carolDir() + "/cookies.txt", "");
    writeFile(path("mine.txt"), "");
    const LoadRow rows[] = {
        {"nothing chosen yet", -1, -1, nullptr, nullptr, 2, nullptr, "old"},
        {"source missing", -1, 0, nullptr, nullptr, -1, LOADING.c_str(), "old"},
        {"if-other missing, no cookies", 0, -1, nullptr, nullptr, -1, LOADING.c_str(), "old"},
        {"internet explorer", 2, 0, nullptr, nullptr, 0, nullptr, "old"},
        {"file name unreadable", 1, 1, nullptr, nullptr, 2, nullptr, "old"},
        {"empty file name", 1, 1, nullptr, "", -1, BLANK.c_str(), ""},
        {"file missing", 1, 1, nullptr, "!", -1, NO_OPEN.c_str(), ""},
        {"a folder", 1, 1, nullptr, "home", -1, NO_OPEN.c_str(), ""},
        {"named file", 1, 1, nullptr, "@", 0, nullptr, "@"},
        {"user unreadable", 1, 0, nullptr, nullptr, 2, nullptr, "old"},
        {"unknown user", 1, 0, "ghost", nullptr, -1, LOADING.c_str(), "old"},
        {"user of no file", 1, 0, "alice", nullptr, -1, NO_OPEN.c_str(), ""},
        {"user", 1, 0, "carol", nullptr, 0, nullptr, "carol"},
    };
    auto resolve = [&](const char* text) {
        std::string t = text;
        return t == "@"       ? path("mine.txt")
               : t == "!"     ? path("none.txt")
               : t == "carol" ? carolDir() + "/cookies.txt"
               : t == "home"  ? path("home")
                              : t;
    };
    for (const LoadRow& row : rows) {
        SCOPED_TRACE(row.what);
        std::string other = row.other ? resolve(row.other) : "";
        store(row.source, row.ifOther, row.user, row.other ? other.c_str() : nullptr);
        boxes.clear();
        CopyBounded(downloadOptions.cookieFile, "old");
        EXPECT_EQ(CookieSource_Load(&downloadOptions, MQUI_ErrorBox), row.result);
        EXPECT_EQ(boxes, row.box ? std::vector<std::string>{row.box} : std::vector<std::string>{});
        EXPECT_EQ(downloadOptions.cookieFile, resolve(row.cookieFile));
    }
    std::fflush(nullptr);
    std::string log = readFile("moonfch_log.txt");
    const std::string traced = "CookieSource: 1\nCookies: IfOther = 0\nCookieDir: " + carolDir() + "\n";
    EXPECT_NE(log.find(traced), std::string::npos);
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
    actions.push_back([](HWND dialog) { Win_Click(item(dialog, IDCANCEL)); });
    actions.push_back([](HWND dialog) {
        Win_Click(item(dialog, IDC_COOKIES_NETSCAPE));
        Win_Click(item(dialog, IDC_COOKIE_BY_FILE));
        Win_Click(item(dialog, IDOK));
    });
    EXPECT_EQ(CookieSource_Choose(0, ui.hwndMain, &downloadOptions), 0);
    EXPECT_EQ(dialogs, 3);
    EXPECT_EQ(boxes, (std::vector<std::string>{LOADING, LOADING, BLANK}));
    EXPECT_EQ(storedDword(REG_VAL_SOURCE), COOKIES_NONE);
    // "File:" stays checked behind "No cookies" and is stored; loading ignores it.
    EXPECT_EQ(storedDword(REG_VAL_IF_OTHER), 1);
    EXPECT_EQ(downloadOptions.cookieSource, COOKIES_NONE);
}

TEST_F(CookieSource, DialogListsTheProfilesWithTheStoredUserOnTop)
{
    writeProfiles();
    std::filesystem::create_directories(carolDir());
    writeFile(carolDir() + "/cookies.txt", "");
    writeFile(path("picked.txt"), "");
    store(1, 0, "carol", "typed.txt");
    ASSERT_EQ(CookieSource_Load(&downloadOptions, MQUI_ErrorBox), 0);
    browseAnswer = path("picked.txt");
    actions.push_back([this](HWND dialog) {
        const std::vector<std::string> users{"alice", "bob", "carol", "dave"};
        EXPECT_EQ(listRows(dialog), users);
        EXPECT_EQ(Win_ListGetTopIndex(item(dialog, IDC_COOKIE_USERS)), 2);
        EXPECT_TRUE(Win_IsChecked(item(dialog, IDC_COOKIES_NETSCAPE)));
        EXPECT_TRUE(Win_IsChecked(item(dialog, IDC_COOKIE_BY_USER)));
        EXPECT_TRUE(Win_IsWindowEnabled(item(dialog, IDC_COOKIE_BROWSE)));
        std::filesystem::path shots = MOON_SCREENSHOT_DIR;
        std::filesystem::create_directories(shots);
        EXPECT_TRUE(Win_SaveScreenshot(dialog, (shots / "cookie-source.png").c_str()));
        Win_Click(item(dialog, IDC_COOKIES_SYSTEM));
        EXPECT_EQ(Win_ListCount(item(dialog, IDC_COOKIE_USERS)), 0);
        for (int id : {IDC_COOKIE_BY_FILE, IDC_COOKIE_BY_USER, IDC_COOKIE_USERS, IDC_COOKIE_FILE,
                       IDC_COOKIE_BROWSE})
            EXPECT_FALSE(Win_IsWindowEnabled(item(dialog, id))) << id;
        Win_Click(item(dialog, IDC_COOKIES_NETSCAPE));
        EXPECT_EQ(listRows(dialog), users);
        EXPECT_EQ(Win_ListGetTopIndex(item(dialog, IDC_COOKIE_USERS)), 2);
        Win_Click(item(dialog, IDC_COOKIE_BROWSE));
        Win_Click(item(dialog, IDC_COOKIE_BY_FILE));
        Win_Click(item(dialog, IDOK));
    });
    EXPECT_EQ(CookieSource_Choose(1, ui.hwndMain, &downloadOptions), 0);
    EXPECT_EQ(browseStart, "typed.txt");
    EXPECT_EQ(stored(REG_VAL_USER_NAME), "carol");
    EXPECT_EQ(stored(REG_VAL_OTHER_NAME), path("picked.txt"));
    EXPECT_EQ(storedDword(REG_VAL_IF_OTHER), 1);
    EXPECT_EQ(downloadOptions.cookieFile, path("picked.txt"));

    // A stored user that is gone shows the first row; Cancel writes nothing.
    store(1, 1, "zed", path("picked.txt").c_str());
    actions.push_back([this](HWND dialog) {
        EXPECT_EQ(Win_ListGetTopIndex(item(dialog, IDC_COOKIE_USERS)), 0);
        EXPECT_TRUE(Win_IsChecked(item(dialog, IDC_COOKIE_BY_FILE)));
        Win_Click(item(dialog, IDCANCEL));
    });
    EXPECT_EQ(CookieSource_Choose(1, ui.hwndMain, &downloadOptions), 0);
    EXPECT_EQ(stored(REG_VAL_USER_NAME), "zed");
    EXPECT_EQ(dialogs, 2);
}

// How the cookies go out is the wire's; here the chosen source reaches queries and downloads.
TEST_F(CookieSource, NetscapeFileFromCurlOpensTheSecretToQueryAndDownload)
{
    nginx->makeFile("login.bin", 100);
    nginx->makeFile("secret.bin", 5000);
    nginx->addConfig(R"(location = /login.bin { add_header Set-Cookie "session=abc123; Path=/"; })");
    nginx->addConfig(R"(location = /secret.bin { if ($cookie_session != "abc123") { return 403; } })");
    ASSERT_TRUE(nginx->start());
    const std::string command =
        "curl -s -o /dev/null -c '" + path("jar.txt") + "' '" + nginx->url("login.bin") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    store(COOKIES_NETSCAPE, 1, nullptr, path("jar.txt").c_str());
    ASSERT_EQ(CookieSource_Load(&downloadOptions, MQUI_ErrorBox), 0);
    ASSERT_TRUE(validates(nginx->url("secret.bin")));
    MQUI_StartDownloads();
    ASSERT_TRUE(waitForUi([] { return ui.currentDownload == nullptr && ui.workTimerId == 0; }));
    EXPECT_TRUE(isPatternFile(path("dl/secret.bin"), 5000));

    store(COOKIES_NONE, 0, nullptr, nullptr);   // and without cookies the secret stays closed
    ASSERT_EQ(CookieSource_Load(&downloadOptions, MQUI_ErrorBox), 0);
    EXPECT_FALSE(validates(nginx->url("secret.bin")));
}

}  // namespace

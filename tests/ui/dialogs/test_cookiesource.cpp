#include "tests/ui/ui_fixture.h"

#include "settings/registry.h"
#include "ui/dialogs/cookiesdialog.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

using moontest::writeFile;

const std::string DIALOG = "dialog 135 Select Source for Cookies";
std::string told(const std::string& text) { return "box Error in Moonfetch: " + text; }

HWND item(HWND dialog, int id) { return Win_GetDlgItem(dialog, id); }

// Settings in a sandbox and HOME inside it with two users, "Alice" repeating "alice" unlisted,
// a Chromium profile and a Vivaldi whose Local State is no JSON; the load itself is the
// settings' test, the dialog and its loop are this one's.
class CookieSource : public moontest::DownloadSandbox {
protected:
    void SetUp() override
    {
        DownloadSandbox::SetUp();
        std::filesystem::create_directories(path("home/.mozilla/firefox"));
        writeFile(path("home/.mozilla/firefox/profiles.ini"), "[Profile0]\nName=alice\nIsRelative=1\nPath=a\n"
                  "[Profile1]\nName=carol\nIsRelative=1\nPath=c\n[Profile2]\nName=Alice\nIsRelative=1\nPath=x\n");
        for (const char* browser : {"config/chromium", "config/vivaldi"})
            std::filesystem::create_directories(path(browser));
        writeFile(path("config/chromium/Local State"), R"({"profile": {"info_cache": {"Default": {"name": "Person 1"}}}})");
        writeFile(path("config/vivaldi/Local State"), R"({"profile": {"info_cache": )");
    }

    static void store(int32_t source, int32_t ifOther, const char* user, const char* other)
    {
        Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_SOURCE, source);
        Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_IF_OTHER, ifOther);
        Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_USER_NAME, user);
        Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_OTHER_NAME, other);
    }
    // The stored source, user, other file name and if-other choice, joined by "|".
    static std::string stored()
    {
        char user[COOKIE_PATH_SIZE] = "", other[COOKIE_PATH_SIZE] = "";
        uint32_t userSize = sizeof user, otherSize = sizeof other;
        int32_t source = -99, ifOther = -99;
        Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_SOURCE, &source);
        Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_USER_NAME, user, &userSize);
        Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_OTHER_NAME, other, &otherSize);
        Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_IF_OTHER, &ifOther);
        return std::to_string(source) + "|" + user + "|" + other + "|" + std::to_string(ifOther);
    }
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
};

TEST_F(CookieSource, ChooseShowsTheDialogAgainUntilTheChoiceLoads)
{
    EXPECT_EQ(CookieSource_Choose(0, ui.hwndMain, &downloadOptions), 2);   // nothing stored: no question
    EXPECT_TRUE(modals.seen.empty());
    // A user without a profile: an error, then the dialog; Cancel keeps the failing choice,
    // "File:" with an empty name fails anew, and only "No cookies" ends it.
    store(COOKIES_NETSCAPE, 0, "ghost", "");
    const auto ok = Win_Answer(IDOK);
    modals.answers = {ok, Win_Press({IDCANCEL}), ok, Win_Press({IDC_COOKIES_NETSCAPE, IDC_COOKIE_BY_FILE, IDOK}),
                      ok, Win_Press({IDC_COOKIES_NONE, IDOK})};
    EXPECT_EQ(CookieSource_Choose(0, ui.hwndMain, &downloadOptions), 0);
    const std::string loading = told("Error loading Netscape cookies.");
    EXPECT_EQ(modals.seen, (std::vector<std::string>{loading, DIALOG, loading, DIALOG,
                                                     told("Blank Netscape cookie file name specified."), DIALOG}));
    EXPECT_EQ(downloadOptions.cookieSource, COOKIES_NONE);
    EXPECT_EQ(stored(), std::to_string(COOKIES_NONE) + "|alice||1");   // "File:" stays checked behind "No cookies" and is stored; loading ignores it
}

TEST_F(CookieSource, DialogListsTheProfilesWithTheStoredUserOnTop)
{
    writeFile(path("picked.txt"), "");
    store(COOKIES_NETSCAPE, 0, "carol", "typed.txt");
    downloadOptions.cookieSource = COOKIES_NETSCAPE;
    downloadOptions.ifOther = 0;
    const std::vector<std::string> users{"Firefox: alice", "Firefox: carol", "Chromium: Person 1", "top 1"};
    modals.answers = {[&](const WinModal& modal) {
                          HWND dialog = modal.dialog;
                          EXPECT_EQ(listRows(dialog), users);
                          EXPECT_TRUE(Win_IsChecked(item(dialog, IDC_COOKIES_NETSCAPE)) && Win_IsChecked(item(dialog,
                                      IDC_COOKIE_BY_USER)) && Win_IsWindowEnabled(item(dialog, IDC_COOKIE_BROWSE)));
                          std::filesystem::create_directories(MOON_SCREENSHOT_DIR);
                          EXPECT_TRUE(Win_SaveScreenshot(dialog, MOON_SCREENSHOT_DIR "/cookie-source.png"));
                          Win_Click(item(dialog, IDC_COOKIES_SYSTEM));
                          EXPECT_EQ(Win_ListCount(item(dialog, IDC_COOKIE_USERS)), 0);
                          for (int id : {IDC_COOKIE_BY_FILE, IDC_COOKIE_BY_USER, IDC_COOKIE_USERS, IDC_COOKIE_FILE,
                                         IDC_COOKIE_BROWSE})
                              EXPECT_FALSE(Win_IsWindowEnabled(item(dialog, id))) << id;
                          Win_Click(item(dialog, IDC_COOKIES_NETSCAPE));
                          EXPECT_EQ(listRows(dialog), users);
                          return Win_Press({IDC_COOKIE_BROWSE, IDC_COOKIE_BY_FILE, IDOK})(modal);
                      },
                      Win_Answer(IDOK, path("picked.txt"))};
    EXPECT_EQ(CookieSource_Choose(1, ui.hwndMain, &downloadOptions), 0);
    const std::string netscape = std::to_string(COOKIES_NETSCAPE) + "|";
    EXPECT_EQ(std::pair(stored(), std::string(downloadOptions.cookieFile)),
              std::pair(netscape + "carol|" + path("picked.txt") + "|1", path("picked.txt")));
    // A stored user that is gone shows the first row; Cancel writes nothing.
    store(COOKIES_NETSCAPE, 1, "zed", path("picked.txt").c_str());
    modals.answers = {[](const WinModal& modal) {
        EXPECT_EQ(listRows(modal.dialog).back(), "top 0");
        EXPECT_TRUE(Win_IsChecked(item(modal.dialog, IDC_COOKIE_BY_FILE)));
        return Win_Press({IDCANCEL})(modal);
    }};
    EXPECT_EQ(CookieSource_Choose(1, ui.hwndMain, &downloadOptions), 0);
    EXPECT_EQ(stored(), netscape + "zed|" + path("picked.txt") + "|1");
    EXPECT_EQ(modals.seen, (std::vector<std::string>{DIALOG, "open Open: typed.txt", DIALOG}));
}

// How the cookies go out is the wire's; here the chosen file reaches the query.
TEST_F(CookieSource, ChosenCookieFileOpensTheSecretToTheQuery)
{
    nginx->makeFile("secret.bin", 5000);
    nginx->addConfig(R"(location = /secret.bin { if ($cookie_session != "abc123") { return 403; } })");
    ASSERT_TRUE(nginx->start());
    writeFile(path("jar.txt"), "# Netscape HTTP Cookie File\n127.0.0.1\tFALSE\t/\tFALSE\t0\tsession\tabc123\n");
    store(COOKIES_NETSCAPE, 1, "", path("jar.txt").c_str());
    ASSERT_EQ(CookieSource_Load(&downloadOptions, {}), 0);
    MQUI_AddURL(nginx->url("secret.bin").c_str());
    ASSERT_TRUE(waitForUi([] { return ui.workTimerId == 0; }));
    EXPECT_EQ(MOONQ_FirstItem()->flags.load(), ITEM_VALID);
}

}  // namespace

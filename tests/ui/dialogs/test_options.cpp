#include "tests/ui/ui_fixture.h"

#include "diag/trace.h"
#include "settings/registry.h"
#include "ui/dialogs/optionsdialog.h"
#include "ui/dialogs/scheduledialog.h"
#include "ui/dialogs/startup.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using moontest::readFile;

constexpr const char* EMPTY_STORE = "Windows Registry Editor Version 5.00\n\n";

class Options : public moontest::UiSandbox {
protected:
    void TearDown() override
    {
        MQUI_SetAllowHTML(0);   // the drop target outlives the test
        UiSandbox::TearDown();
    }

    // The "Options, " trace lines without their prefix, joined by "|".
    static std::string optionTraces()
    {
        Trace_Close();
        std::string found;
        std::istringstream log(readFile("moonfch_log.txt"));
        for (std::string line; std::getline(log, line);)
            found += line.starts_with("Options, ") ? line.substr(9) + "|" : "";
        return found;
    }
    static std::string settingsFile() { return RegStore_FilePath(REG_ROOT_CURRENT_USER); }
    // The three choices as held, then as stored (-1: none), and whether an HTML link may be dropped;
    // then the connections, the rate limit and the scheduled run's choice, each as held/as stored.
    static std::string settings()
    {
        std::string text = std::to_string(downloadOptions.askNameEveryTime) + std::to_string(
                               downloadOptions.useDirExtension) + std::to_string(downloadOptions.allowHTML) + " ";
        for (const char* name : {REG_VAL_ASK_EVERY, REG_VAL_USE_EXTENSION, REG_VAL_ALLOW_HTML}) {
            int32_t value = -1;
            Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, name, &value);
            text += std::to_string(value);
        }
        const bool drops = Win_SendDrag(ui.hwndMain, "http://h/page.html", DROPEFFECT_COPY, true) == DROPEFFECT_COPY;
        text += drops ? " drops HTML|" : "|";
        for (auto [held, name] : {std::pair(downloadOptions.connections, REG_VAL_CONNECTIONS),
                                  {downloadOptions.rateLimit, REG_VAL_RATE_LIMIT},
                                  {downloadOptions.scheduleFullRate, REG_VAL_SCHEDULE_FULL_RATE}}) {
            int32_t stored = -1;
            Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, name, &stored);
            text += std::to_string(held) + "/" + std::to_string(stored) + " ";
        }
        return text;
    }
    static intptr_t runDialog()
    {
        OptionsDialogArgs args = {&downloadOptions, MQUI_SetAllowHTML};
        return Win_DialogBox(optionsTemplate, ui.hwndMain, OptionsDialogProc, LPARAM(&args));
    }
    static int32_t loadSettings()
    {
        return MQUI_LoadSettings(ui.hwndMain, ui.hwndToolbar, &downloadOptions, MQUI_SetAllowHTML);
    }
    static std::string downloadAtText() { return Win_TextOf(Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT)); }
};

TEST_F(Options, CancelChangesNothingAndOkWritesAndTracesAll)
{
    downloadOptions.askNameEveryTime = 1;
    downloadOptions.connections = 8;
    modals.answers = {Win_Press({IDC_ASK_EVERY, IDC_USE_EXTENSION, IDC_ALLOW_HTML, IDCANCEL})};
    EXPECT_EQ(runDialog(), 2);
    EXPECT_FALSE(std::filesystem::exists(settingsFile()));
    EXPECT_EQ(settings(), "100 -1-1-1|8/-1 0/-1 0/-1 ");

    std::vector<bool> shown;
    modals.answers = {[&](const WinModal& modal) {
        for (int id : {IDC_ASK_EVERY, IDC_USE_EXTENSION, IDC_ALLOW_HTML})
            shown.push_back(Win_IsChecked(Win_GetDlgItem(modal.dialog, id)));
        std::filesystem::create_directories(MOON_SCREENSHOT_DIR);
        EXPECT_TRUE(Win_SaveScreenshot(modal.dialog, MOON_SCREENSHOT_DIR "/download-options.png"));
        Win_SetWindowText(Win_GetDlgItem(modal.dialog, IDC_CONNECTIONS), "40");   // more than allowed: the most
        Win_SetWindowText(Win_GetDlgItem(modal.dialog, IDC_RATE_LIMIT), "250");
        return Win_Press({IDC_USE_EXTENSION, IDC_ALLOW_HTML, IDC_SCHEDULE_FULL_RATE, IDOK})(modal);
    }};
    ASSERT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_OPTIONS));
    EXPECT_EQ(std::pair(shown, settings()),   // the unchanged one is stored too
              std::pair(std::vector<bool>{true, false, false}, std::string("111 111 drops HTML|16/16 250/250 1/1 ")));

    // A box that holds no number keeps what it showed (250).
    modals.answers = {[](const WinModal& modal) {
        Win_SetWindowText(Win_GetDlgItem(modal.dialog, IDC_CONNECTIONS), "0");
        Win_SetWindowText(Win_GetDlgItem(modal.dialog, IDC_RATE_LIMIT), "fast");
        return Win_Press({IDC_ALLOW_HTML, IDOK})(modal);
    }};
    EXPECT_EQ(runDialog(), 1);
    EXPECT_EQ(settings(), "110 110|1/1 250/250 1/1 ");
    EXPECT_EQ(modals.seen, std::vector<std::string>(3, "dialog 134 Download Options"));
    EXPECT_EQ(optionTraces(), "askNameEveryTime: 1|useDirExtension: 1|allow HTML: 1|scheduled full rate: 1|"
                              "connections: 16|rate limit: 250|"
                              "askNameEveryTime: 1|useDirExtension: 1|allow HTML: 0|scheduled full rate: 1|"
                              "connections: 1|rate limit: 250|");
}

TEST_F(Options, FirstStartAsksForTheCookieSourceFirstAndLeavesTheFileBehind)
{
    MOONQ_SetDownloadDir("/before");
    modals.answers = {Win_Press({IDCANCEL})};
    EXPECT_EQ(loadSettings(), 0);
    EXPECT_EQ(modals.seen, std::vector<std::string>{"dialog 135 Select Source for Cookies"});
    EXPECT_EQ(settings(), "000 -1-1-1|8/-1 0/-1 0/-1 ");
    EXPECT_EQ(std::tuple(std::string(MOONQ_GetDownloadDir()), downloadAtText(), readFile(settingsFile())),   // nothing read
              std::tuple("/before", std::string("Download at ") + Schedule_GetTimeText(), EMPTY_STORE));
    // The next start is a later one, though the file holds nothing: no dialog, nothing written.
    EXPECT_EQ(loadSettings(), REG_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readFile(settingsFile()), EMPTY_STORE);
}

TEST_F(Options, LaterStartReadsEverythingStoredShowsNoDialogAndWritesNothing)
{
    const std::string tooLong = "/" + std::string(299, 'd');   // does not fit the buffer: the directory is empty
    Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, tooLong.c_str());
    for (const char* name : {REG_VAL_ASK_EVERY, REG_VAL_USE_EXTENSION, REG_VAL_ALLOW_HTML})
        Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, name, 1);
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_RATE_LIMIT, -5);   // below the bound
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_BEGIN_HOUR, 22);
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_END_HOUR, 2);
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_SOURCE, COOKIES_SYSTEM);
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_IF_OTHER, 0);
    const std::string before = readFile(settingsFile());
    MOONQ_SetDownloadDir("/before");
    EXPECT_EQ(loadSettings(), REG_ERROR_MORE_DATA);
    EXPECT_EQ(std::tuple(std::string(MOONQ_GetDownloadDir()), downloadOptions.cookieSource, Schedule_GetBeginHour(),
                         Schedule_GetEndHour(), downloadAtText()),
              std::tuple("", COOKIES_SYSTEM, 22, 2, std::string("Download at ") + Schedule_GetTimeText()));
    // The stored choice reached the drop target before the first drop; no connections stored: the default.
    EXPECT_EQ(settings(), "111 111 drops HTML|8/-1 0/-5 0/-1 ");
    EXPECT_EQ(readFile(settingsFile()), before);
    EXPECT_EQ(optionTraces(), "askNameEveryTime: 1|useDirExtension: 1|allowHTML: 1|scheduled full rate: 0|"
                              "connections: 8|rate limit: 0|");
}

}  // namespace

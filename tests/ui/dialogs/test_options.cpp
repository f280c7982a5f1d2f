#include "ui_fixture.h"

#include "cookiesdialog.h"
#include "optionsdialog.h"
#include "scheduledialog.h"
#include "startup.h"
#include "trace.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using moontest::readFile;

constexpr const char* HTML_LINK = "http://h/page.html";
constexpr const char* EMPTY_STORE = "Windows Registry Editor Version 5.00\n\n";

class Options : public moontest::UiSandbox {
protected:
    void TearDown() override
    {
        MQUI_SetAllowHTML(0);   // the drop target outlives the test
        UiSandbox::TearDown();
    }

    // Answers each dialog with act (null: any dialog is a failure) and records which came.
    void answerDialogs(std::function<void(HWND dialog)> act)
    {
        Win_SetModalScript([this, act](const WinModal& modal) {
            seen.push_back(modal.templateId);
            if (act && modal.kind == WinModalKind::Dialog)
                act(modal.dialog);
            else
                ADD_FAILURE() << "unexpected modal: " << modal.caption << modal.text;
            return WinModalAnswer{};
        });
    }
    static void click(HWND dialog, int id) { Win_Click(Win_GetDlgItem(dialog, id)); }

    static std::vector<std::string> optionTraces()
    {
        Trace_Close();
        std::vector<std::string> found;
        std::istringstream log(readFile("moonfch_log.txt"));
        for (std::string line; std::getline(log, line);)
            if (line.starts_with("Options, "))
                found.push_back(line);
        return found;
    }
    static std::string settingsFile() { return RegStore_FilePath(REG_ROOT_CURRENT_USER); }
    static std::vector<int32_t> stored()
    {
        std::vector<int32_t> values;
        for (const char* name : {REG_VAL_ASK_EVERY, REG_VAL_USE_EXTENSION, REG_VAL_ALLOW_HTML}) {
            values.push_back(-1);
            Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, name, &values.back());
        }
        return values;
    }
    static std::vector<int32_t> record()
    {
        return {downloadOptions.askNameEveryTime, downloadOptions.useDirExtension,
                downloadOptions.allowHTML};
    }
    static uint32_t dropHtml() { return Win_SendDrag(ui.hwndMain, HTML_LINK, DROPEFFECT_COPY, true); }
    static intptr_t runDialog()
    {
        OptionsDialogArgs args = {&downloadOptions, MQUI_SetAllowHTML};
        return Win_DialogBox(optionsTemplate, ui.hwndMain, OptionsDialogProc, LPARAM(&args));
    }
    static int32_t loadSettings()
    {
        return LoadSettings(ui.hwndMain, ui.hwndToolbar, &downloadOptions, MQUI_SetAllowHTML);
    }
    static std::string downloadAtText()
    {
        char text[64];
        Win_GetWindowText(Win_GetDlgItem(ui.hwndToolbar, IDC_DOWNLOAD_AT), text, sizeof text);
        return text;
    }

    std::vector<int> seen;
};

TEST_F(Options, CancelChangesNothingAndOkWritesAndTracesAllThree)
{
    downloadOptions.askNameEveryTime = 1;
    answerDialogs([](HWND dialog) {
        for (int id : {IDC_ASK_EVERY, IDC_USE_EXTENSION, IDC_ALLOW_HTML})
            click(dialog, id);
        click(dialog, IDCANCEL);
    });
    EXPECT_EQ(runDialog(), 2);
    EXPECT_EQ(record(), (std::vector<int32_t>{1, 0, 0}));
    EXPECT_FALSE(std::filesystem::exists(settingsFile()));

    std::vector<bool> shown;
    answerDialogs([&](HWND dialog) {
        for (int id : {IDC_ASK_EVERY, IDC_USE_EXTENSION, IDC_ALLOW_HTML})
            shown.push_back(Win_IsChecked(Win_GetDlgItem(dialog, id)));
        std::filesystem::path shots = MOON_SCREENSHOT_DIR;
        std::filesystem::create_directories(shots);
        EXPECT_TRUE(Win_SaveScreenshot(dialog, (shots / "download-options.png").c_str()));
        click(dialog, IDC_USE_EXTENSION);
        click(dialog, IDC_ALLOW_HTML);
        click(dialog, IDOK);
    });
    ASSERT_TRUE(Win_ChooseMenu(ui.hwndMain, IDM_OPTIONS));
    EXPECT_EQ(shown, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(record(), (std::vector<int32_t>{1, 1, 1}));
    EXPECT_EQ(stored(), (std::vector<int32_t>{1, 1, 1}));   // the unchanged one too
    EXPECT_EQ(dropHtml(), DROPEFFECT_COPY);

    answerDialogs([](HWND dialog) {
        click(dialog, IDC_ALLOW_HTML);
        click(dialog, IDOK);
    });
    EXPECT_EQ(runDialog(), 1);
    EXPECT_EQ(stored(), (std::vector<int32_t>{1, 1, 0}));
    EXPECT_EQ(dropHtml(), DROPEFFECT_NONE);
    EXPECT_EQ(seen, (std::vector<int>{IDD_OPTIONS, IDD_OPTIONS, IDD_OPTIONS}));
    EXPECT_EQ(optionTraces(), (std::vector<std::string>{
                                  "Options, askNameEveryTime: 1", "Options, useDirExtension: 1",
                                  "Options, allow HTML: 1", "Options, askNameEveryTime: 1",
                                  "Options, useDirExtension: 1", "Options, allow HTML: 0"}));
}

TEST_F(Options, FirstStartAsksForTheCookieSourceFirstAndLeavesTheFileBehind)
{
    MOONQ_SetDownloadDir("/before");
    answerDialogs([](HWND dialog) { click(dialog, IDCANCEL); });
    EXPECT_EQ(loadSettings(), 0);

    EXPECT_EQ(seen, std::vector<int>{IDD_COOKIES});
    EXPECT_EQ(record(), (std::vector<int32_t>{0, 0, 0}));
    EXPECT_STREQ(MOONQ_GetDownloadDir(), "/before");   // nothing stored was read
    EXPECT_EQ(downloadAtText(), std::string("Download at ") + Schedule_GetTimeText());
    EXPECT_EQ(readFile(settingsFile()), EMPTY_STORE);

    // The next start is a later one, though the file holds nothing: no dialog, nothing written.
    answerDialogs(nullptr);
    EXPECT_EQ(loadSettings(), REG_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readFile(settingsFile()), EMPTY_STORE);
}

TEST_F(Options, LaterStartReadsEverythingStoredShowsNoDialogAndWritesNothing)
{
    Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD,
                    ("/" + std::string(299, 'd')).c_str());
    for (const char* name : {REG_VAL_ASK_EVERY, REG_VAL_USE_EXTENSION, REG_VAL_ALLOW_HTML})
        Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, name, 1);
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_BEGIN_HOUR, 22);
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_SCHEDULE, REG_VAL_END_HOUR, 2);
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_SOURCE, COOKIES_SYSTEM);
    Reg_WriteDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_IF_OTHER, 0);
    const std::string before = readFile(settingsFile());
    MOONQ_SetDownloadDir("/before");
    answerDialogs(nullptr);

    // 300 characters do not fit the buffer: the directory is the empty one.
    EXPECT_EQ(loadSettings(), REG_ERROR_MORE_DATA);
    EXPECT_STREQ(MOONQ_GetDownloadDir(), "");
    EXPECT_EQ(record(), (std::vector<int32_t>{1, 1, 1}));
    EXPECT_EQ(downloadOptions.cookieSource, COOKIES_SYSTEM);
    EXPECT_EQ(Schedule_GetBeginHour(), 22);
    EXPECT_EQ(Schedule_GetEndHour(), 2);
    EXPECT_EQ(downloadAtText(), std::string("Download at ") + Schedule_GetTimeText());
    // The stored AllowHTML reached the drop target before the first drop.
    EXPECT_EQ(dropHtml(), DROPEFFECT_COPY);
    EXPECT_EQ(readFile(settingsFile()), before);
    EXPECT_EQ(optionTraces(),
              (std::vector<std::string>{"Options, askNameEveryTime: 1",
                                        "Options, useDirExtension: 1", "Options, allowHTML: 1"}));
}

}  // namespace

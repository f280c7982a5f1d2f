#include "ui/dialogs/startup.h"

#include "core/items.h"
#include "diag/trace.h"
#include "settings/options.h"
#include "settings/registry.h"
#include "ui/dialogs/cookiesdialog.h"
#include "ui/dialogs/scheduledialog.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace {

// Room for the stored directory: a longer value fails to read and leaves the directory empty.
constexpr uint32_t DOWNLOAD_DIR_BUFFER = 256;

// minute x second x millisecond of the local time: a seed of 0 is possible, and accepted.
uint32_t localTimeSeed()
{
    using namespace std::chrono;
    system_clock::time_point now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    auto millisecond = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    return uint32_t(local.tm_min) * uint32_t(local.tm_sec) * uint32_t(millisecond);
}

// What opening the program's key gives: REG_OK when it exists.
int32_t programKeyResult()
{
    uint32_t size = 0;
    int32_t opened = REG_OK;
    RegStore_QueryValue(REG_ROOT_CURRENT_USER, REG_KEY_MOONFETCH, "", nullptr, nullptr, &size, &opened);
    return opened;
}

// The settings file is written by every confirmed choice and by the first start itself, so
// only a machine (or user) on which the program never ran lacks it. A file that cannot be
// examined counts as present: the person then sees no unexpected dialog. Where the settings are
// the registry itself (no file), the program's key stands for the file.
bool isFirstStart()
{
    const std::string file = RegStore_FilePath(REG_ROOT_CURRENT_USER);
    if (file.empty())
        return programKeyResult() == REG_ERROR_FILE_NOT_FOUND;
    std::error_code error;
    bool present = std::filesystem::exists(file, error);
    return !present && !error;
}

// The numbers as stored (when stored is true), each within its bounds; its default when none is.
void loadNumbers(DownloadOptions* options, bool stored)
{
    for (const DownloadNumber& number : DOWNLOAD_NUMBERS) {
        int32_t value = number.fallback;
        if (stored)
            Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, number.valueName, &value);
        options->*number.field = Options_Bounded(number, value);
    }
}

void firstStart(HWND mainWindow, DownloadOptions* options)
{
    loadNumbers(options, false);
    CookieSource_Choose(1, mainWindow, options);
    Schedule_PickStartTime();
    RegStore_CreateFile(REG_ROOT_CURRENT_USER);
    // A Cancel in the cookies dialog writes nothing: the key is made all the same.
    if (RegStore_FilePath(REG_ROOT_CURRENT_USER).empty() && programKeyResult() != REG_OK)
        Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_MOONFETCH, "", "");
}

int32_t loadDownloadDir()
{
    char directory[DOWNLOAD_DIR_BUFFER] = "";
    uint32_t size = sizeof directory;
    int32_t result = Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD,
                                    directory, &size);
    if (result != REG_OK)
        directory[0] = '\0';
    MOONQ_SetDownloadDir(directory);
    return result;
}

int32_t laterStart(HWND mainWindow, DownloadOptions* options, void (*setAllowHTML)(int32_t))
{
    Schedule_Load();
    int32_t result = loadDownloadDir();
    for (const DownloadOption& option : DOWNLOAD_OPTIONS)
        Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, option.valueName,
                      &(options->*option.field));
    loadNumbers(options, true);
    if (setAllowHTML)
        setAllowHTML(options->allowHTML);
    for (const DownloadOption& option : DOWNLOAD_OPTIONS)
        Trace_PrintInt(TRACE_ALL, option.startTrace, options->*option.field);
    for (const DownloadNumber& number : DOWNLOAD_NUMBERS)
        Trace_PrintInt(TRACE_ALL, number.trace, options->*number.field);
    CookieSource_Choose(0, mainWindow, options);
    return result;
}

}  // namespace

int32_t MQUI_LoadSettings(HWND mainWindow, HWND toolbar, DownloadOptions* options,
                     void (*setAllowHTML)(int32_t))
{
    Schedule_Seed(localTimeSeed());
    int32_t result = 0;
    if (isFirstStart())
        firstStart(mainWindow, options);
    else
        result = laterStart(mainWindow, options, setAllowHTML);
    if (toolbar)
        Schedule_UpdateDownloadAtButton(toolbar);
    return result;
}

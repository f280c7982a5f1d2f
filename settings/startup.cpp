#include "startup.h"

#include "items.h"
#include "trace.h"

namespace {

// Room for the stored directory: a longer value fails to read and leaves the directory empty.
constexpr uint32_t DOWNLOAD_DIR_BUFFER = 256;

struct StoredOption {
    const char* name;
    int32_t DownloadOptions::*field;
    const char* traceFormat;
};

constexpr StoredOption STORED_OPTIONS[] = {
    {REG_VAL_ASK_EVERY, &DownloadOptions::askNameEveryTime, "Options, askNameEveryTime: %d\n"},
    {REG_VAL_USE_EXTENSION, &DownloadOptions::useDirExtension, "Options, useDirExtension: %d\n"},
    {REG_VAL_ALLOW_HTML, &DownloadOptions::allowHTML, "Options, allowHTML: %d\n"},
};

}  // namespace

int32_t LoadSettings(DownloadOptions* options)
{
    char directory[DOWNLOAD_DIR_BUFFER] = "";
    uint32_t size = sizeof directory;
    int32_t result = Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD,
                                    directory, &size);
    if (result != REG_OK)
        directory[0] = '\0';
    MOONQ_SetDownloadDir(directory);

    for (const StoredOption& option : STORED_OPTIONS)
        Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, option.name, &(options->*option.field));
    for (const StoredOption& option : STORED_OPTIONS)
        Trace_PrintInt(TRACE_ALL, option.traceFormat, options->*option.field);
    return result;
}

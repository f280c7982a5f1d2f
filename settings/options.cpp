#include "settings/options.h"

#include "settings/registry.h"

const DownloadOption DOWNLOAD_OPTIONS[3] = {
    {IDC_ASK_EVERY, REG_VAL_ASK_EVERY, &DownloadOptions::askNameEveryTime,
     "Options, askNameEveryTime: %d\n", "Options, askNameEveryTime: %d\n"},
    {IDC_USE_EXTENSION, REG_VAL_USE_EXTENSION, &DownloadOptions::useDirExtension,
     "Options, useDirExtension: %d\n", "Options, useDirExtension: %d\n"},
    {IDC_ALLOW_HTML, REG_VAL_ALLOW_HTML, &DownloadOptions::allowHTML,
     "Options, allow HTML: %d\n", "Options, allowHTML: %d\n"},
};

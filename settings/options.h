// Download options: the record of the options handed to the download core, and the table of its
// three 0/1 options, by which the start-up reads them and the options dialog shows and writes them.
//
// Contract:
// - The record belongs to the user-interface thread; workers get copies of what they need.
// - The table is constant data; any thread may read it.
#pragma once

#include "platform/sizes.h"

#include <cstdint>

// The options handed to the download core; cleared to zeros at program start.
struct DownloadOptions {
    int32_t ifOther;           // Netscape cookies from a file the user named (non-zero)
    int32_t askNameEveryTime;  // 0 or 1
    int32_t useDirExtension;   // 0 or 1: sub-directory named after the file's extension
    int32_t allowHTML;         // 0 or 1: links to HTML pages may be dropped
    int32_t cookieSource;      // COOKIES_* (web/wire.h)
    char cookieFile[PATH_CAPACITY];  // resolved Netscape cookie file; empty when none
    int32_t connections;       // per download, 1..16 (0 read as the default)
    int32_t rateLimit;         // KiB per second for all connections together; 0: none
};

constexpr int IDC_ASK_EVERY = 1040, IDC_USE_EXTENSION = 1050, IDC_ALLOW_HTML = 1057;

// One of the three options: its check box, its stored value under Directories, its field, and
// the trace lines of the dialog's OK and of the start-up (which spell allowHTML differently).
struct DownloadOption {
    int controlId;
    const char* valueName;
    int32_t DownloadOptions::*field;
    const char* dialogTrace;
    const char* startTrace;
};

extern const DownloadOption DOWNLOAD_OPTIONS[3];

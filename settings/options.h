// Download options: the table of the three 0/1 options of the record, by which the start-up
// reads them and the options dialog shows and writes them.
//
// Contract:
// - Constant data; any thread may read it.
#pragma once

#include "settings/registry.h"

#include <cstdint>

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

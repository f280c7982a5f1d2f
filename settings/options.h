// Download options: the record of the options handed to the download core, and the tables of its
// 0/1 options and of its numbers, by which the start-up reads them and the options dialog shows
// and writes them.
//
// Contract:
// - The record belongs to the user-interface thread; workers get copies of what they need.
// - The tables are constant data; any thread may read them.
// - A number is always within its bounds: one read or typed outside them is brought to the
//   nearest bound; one that was never stored is its default (8 connections, no rate limit).
// - The scheduled run downloads without the rate limit when scheduleFullRate is set; any other
//   run keeps to it.
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
    int32_t connections;       // per download, 1..16 (the core takes 0 as 1)
    int32_t rateLimit;         // KiB per second for all connections together; 0: none
    int32_t scheduleFullRate;  // 0 or 1: the scheduled run ignores rateLimit
};

// Connections per download: at most, and when none were chosen.
constexpr int32_t OPTIONS_CONNECTIONS_MAX = 16;
constexpr int32_t OPTIONS_CONNECTIONS_DEFAULT = 8;

constexpr int IDC_ASK_EVERY = 1040, IDC_USE_EXTENSION = 1050, IDC_ALLOW_HTML = 1057;
constexpr int IDC_CONNECTIONS = 1060, IDC_RATE_LIMIT = 1061, IDC_SCHEDULE_FULL_RATE = 1062;

// One of the three options: its check box, its stored value under Directories, its field, and
// the trace lines of the dialog's OK and of the start-up (which spell allowHTML differently).
struct DownloadOption {
    int controlId;
    const char* valueName;
    int32_t DownloadOptions::*field;
    const char* dialogTrace;
    const char* startTrace;
};

extern const DownloadOption DOWNLOAD_OPTIONS[4];

// One of the numbers: its edit box, its stored value under Directories, its field, its bounds
// and default, and its trace line (the dialog's and the start-up's alike).
struct DownloadNumber {
    int controlId;
    const char* valueName;
    int32_t DownloadOptions::*field;
    int32_t lowest, highest, fallback;
    const char* trace;
};

extern const DownloadNumber DOWNLOAD_NUMBERS[2];

int32_t Options_Bounded(const DownloadNumber& number, int64_t value);
// The options a run hands to its downloads: the record's, without the rate limit for the
// scheduled run when the person chose so.
DownloadOptions Options_ForRun(const DownloadOptions& options, bool scheduled);

#include "settings/options.h"

#include "settings/registry.h"

#include <algorithm>

// The highest rate limit that may be set: 4 GiB/s, far above any line, and still a 32-bit number.
constexpr int32_t RATE_LIMIT_MAX = 4 * 1024 * 1024;

const DownloadOption DOWNLOAD_OPTIONS[4] = {
    {IDC_ASK_EVERY, REG_VAL_ASK_EVERY, &DownloadOptions::askNameEveryTime,
     "Options, askNameEveryTime: %d\n", "Options, askNameEveryTime: %d\n"},
    {IDC_USE_EXTENSION, REG_VAL_USE_EXTENSION, &DownloadOptions::useDirExtension,
     "Options, useDirExtension: %d\n", "Options, useDirExtension: %d\n"},
    {IDC_ALLOW_HTML, REG_VAL_ALLOW_HTML, &DownloadOptions::allowHTML,
     "Options, allow HTML: %d\n", "Options, allowHTML: %d\n"},
    {IDC_SCHEDULE_FULL_RATE, REG_VAL_SCHEDULE_FULL_RATE, &DownloadOptions::scheduleFullRate,
     "Options, scheduled full rate: %d\n", "Options, scheduled full rate: %d\n"},
};

const DownloadNumber DOWNLOAD_NUMBERS[2] = {
    {IDC_CONNECTIONS, REG_VAL_CONNECTIONS, &DownloadOptions::connections, 1, OPTIONS_CONNECTIONS_MAX,
     OPTIONS_CONNECTIONS_DEFAULT, "Options, connections: %d\n"},
    {IDC_RATE_LIMIT, REG_VAL_RATE_LIMIT, &DownloadOptions::rateLimit, 0, RATE_LIMIT_MAX, 0,
     "Options, rate limit: %d\n"},
};

int32_t Options_Bounded(const DownloadNumber& number, int64_t value)
{
    return int32_t(std::clamp<int64_t>(value, number.lowest, number.highest));
}

DownloadOptions Options_ForRun(const DownloadOptions& options, bool scheduled)
{
    DownloadOptions run = options;
    if (scheduled && options.scheduleFullRate != 0)
        run.rateLimit = 0;
    return run;
}

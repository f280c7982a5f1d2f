#include "settings/cookiesource.h"

#include "browsers/cookiestores.h"
#include "diag/trace.h"
#include "platform/files.h"
#include "platform/text.h"
#include "settings/registry.h"
#include "web/cookies.h"
#include "web/urlparse.h"
#include "web/wire.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

constexpr const char* ERR_LOADING = "Error loading Netscape cookies.";
constexpr const char* ERR_BLANK = "Blank Netscape cookie file name specified.";
constexpr const char* ERR_OPEN = "Could not open Netscape cookie file for specified user.";
// What "\cookies.txt" adds to a profile directory, with room to spare as the original has.
constexpr uint32_t COOKIE_NAME_ROOM = 13;

int32_t tellFailure(const CookieSourceTell& tell, const char* text, int32_t result)
{
    if (tell)
        tell(text);
    return result;
}

// A negative result is told to the person before it is returned.
int32_t reportNegative(const CookieSourceTell& tell, int32_t result)
{
    return result < 0 ? tellFailure(tell, ERR_LOADING, result) : result;
}

// Resolves the profile's cookie file into path and sets *check when there is one to check;
// otherwise the result is the one to end the load with.
int32_t profileCookieFile(const CookieSourceTell& tell, char (&path)[COOKIE_PATH_SIZE], bool* check)
{
    *check = false;
    char user[COOKIE_USER_SIZE];
    int32_t result = CookieSource_ReadString(REG_VAL_USER_NAME, user, sizeof user);
    if (result != REG_OK)
        return result;
    uint32_t size = sizeof path;
    if (Netscape_GetProfileDir(user, path, &size) != 0)
        return tellFailure(tell, ERR_LOADING, ERR_COOKIE_SOURCE);
    Trace_PrintString(TRACE_ALL, "CookieDir: %s\n", path);
    const std::string file = CookieStores_FileOf(path);
    if (size == 0 || size + COOKIE_NAME_ROOM >= sizeof path || file.size() >= sizeof path)
        return 0;
    Text_CopyBounded(path, file.c_str());
    *check = true;
    return 0;
}

// The last step of a Netscape load: the file must have a name and open for reading.
int32_t checkCookieFile(const CookieSourceTell& tell, const char* path, DownloadOptions* options)
{
    options->cookieFile[0] = '\0';
    if (*path == '\0')
        return tellFailure(tell, ERR_BLANK, ERR_COOKIE_SOURCE);
    // A folder opens for reading here, though not on Windows: it is no cookie file either.
    std::error_code error;
    std::FILE* file = std::filesystem::is_directory(Plat_Path(path), error) ? nullptr : Plat_OpenFile(path, "r");
    if (file == nullptr)
        return tellFailure(tell, ERR_OPEN, ERR_COOKIE_SOURCE);
    std::fclose(file);
    // A browser's database is read now, so that what keeps it from being read is told here and
    // not found at the first download, which then sends from this read.
    std::string failure;
    if (CookieStores_KindOf(path) != STORE_TEXT && !Cookies_CheckStore(path, &failure))
        return tellFailure(tell, failure.c_str(), ERR_COOKIE_SOURCE);
    Text_CopyBounded(options->cookieFile, path);
    return 0;
}

}  // namespace

int32_t CookieSource_Load(DownloadOptions* options, const CookieSourceTell& tell)
{
    int32_t result = Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_SOURCE,
                                   &options->cookieSource);
    if (result != REG_OK)
        return reportNegative(tell, result);
    Trace_PrintInt(TRACE_ALL, "CookieSource: %d\n", options->cookieSource);
    result = Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, REG_VAL_IF_OTHER, &options->ifOther);
    if (result != REG_OK)
        options->ifOther = 0;
    Trace_PrintInt(TRACE_ALL, "Cookies: IfOther = %d\n", options->ifOther);
    if (options->cookieSource != COOKIES_NETSCAPE)
        return reportNegative(tell, result);

    char path[COOKIE_PATH_SIZE] = "";
    if (options->ifOther) {
        result = CookieSource_ReadString(REG_VAL_OTHER_NAME, path, sizeof path);
        if (result != REG_OK)
            return result;
    } else {
        bool check = false;
        result = profileCookieFile(tell, path, &check);
        if (!check)
            return result;
    }
    return checkCookieFile(tell, path, options);
}

int32_t CookieSource_ReadString(const char* name, char* buffer, uint32_t capacity)
{
    uint32_t size = capacity;
    return Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_COOKIES, name, buffer, &size);
}

int32_t Netscape_GetProfileDir(const char* user, char* buffer, uint32_t* size)
{
    uint32_t capacity = *size;
    *size = 0;
    if (capacity > 0)
        buffer[0] = '\0';
    std::vector<BrowserProfile> profiles;
    CookieStores_ListProfiles(&profiles);
    for (const BrowserProfile& profile : profiles) {
        // Registry keys, which these stand for, are found without regard to case.
        if (!Text_EqualNoCase(profile.key, user))
            continue;
        uint32_t bytes = uint32_t(profile.directory.size() + 1);
        if (bytes > capacity)
            return ERR_NO_PROFILE;
        std::memcpy(buffer, profile.directory.c_str(), bytes);
        *size = bytes;
        return 0;
    }
    return ERR_NO_PROFILE;
}

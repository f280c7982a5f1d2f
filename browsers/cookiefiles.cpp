// What both platforms share of the cookie stores: which kind of store a file is, by its name,
// and which file of a profile's folder holds its cookies.
#include "browsers/cookiestores.h"

#include "platform/files.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The profile's cookie file, by the names it has had, in the order they are tried.
constexpr const char* COOKIE_FILE_NAMES[] = {"cookies.sqlite", "Network/Cookies", "Cookies"};
constexpr const char* NETSCAPE_FILE_NAME = "cookies.txt";

}  // namespace

CookieStoreKind CookieStores_KindOf(const std::string& file)
{
    const std::string name = Plat_PathText(Plat_Path(file).filename());
    if (name == "cookies.sqlite")
        return STORE_FIREFOX;
    return name == "Cookies" ? STORE_CHROMIUM : STORE_TEXT;
}

std::string CookieStores_FileOf(const std::string& directory)
{
    std::error_code error;
    for (const char* name : COOKIE_FILE_NAMES) {
        const std::string file = directory + PATH_SEP + name;
        if (fs::is_regular_file(Plat_Path(file), error))
            return file;
    }
    return directory + PATH_SEP + NETSCAPE_FILE_NAME;
}

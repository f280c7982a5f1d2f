// The cookie stores on Windows: the browsers' databases need SQLite and a decryption that this
// side does not have, so no profile is listed and a database read fails with a reason that says
// so. What remains is the Netscape cookies.txt file that the person names.
#include "browsers/cookiestores.h"

#include "platform/files.h"

#include <chrono>
#include <filesystem>

namespace {

// The time of path's last change in nanoseconds, -1 when there is no file.
int64_t changedNs(const std::string& path)
{
    std::error_code error;
    const auto changed = std::filesystem::last_write_time(Plat_Path(path), error);
    return error ? -1 : std::chrono::duration_cast<std::chrono::nanoseconds>(changed.time_since_epoch()).count();
}

}  // namespace

bool CookieStores_ListProfiles(std::vector<BrowserProfile>* profiles)
{
    profiles->clear();
    return false;
}

bool CookieStores_Read(const std::string& file, StoreRead* read)
{
    *read = StoreRead{};
    if (CookieStores_KindOf(file) == STORE_TEXT)
        read->failure = "The file " + file + " is no cookie database.";
    else
        read->failure = "Reading browsers' cookie databases is not available on Windows: " + file +
                        " cannot be read. Export the browser's cookies to a cookies.txt file and choose that file.";
    return false;
}

StoreStamp CookieStores_Stamp(const std::string& file)
{
    return {changedNs(file), changedNs(file + "-wal")};
}

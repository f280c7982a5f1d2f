// Browser hosts on Windows: the two manifests (Firefox's and the Chromium family's) lie in the
// program's data folder, and each browser finds its own through the default value of a key
// named after the host in the current user's registry, where that browser documents it.
// Vivaldi and Opera read Chrome's key.
#include "browsers/browserhosts.h"

#include "platform/files.h"
#include "platform/program.h"
#include "platform/wide_win.h"

#include <windows.h>

#include <cerrno>

namespace {

constexpr const char* ROOT_NAME = "HKEY_CURRENT_USER\\";

struct BrowserKey {
    bool firefox;
    const char* hosts;   // the browser's key of hosts under HKEY_CURRENT_USER
};

constexpr BrowserKey BROWSER_KEYS[] = {
    {true, "Software\\Mozilla\\NativeMessagingHosts"},
    {false, "Software\\Google\\Chrome\\NativeMessagingHosts"},
    {false, "Software\\Chromium\\NativeMessagingHosts"},
    {false, "Software\\Microsoft\\Edge\\NativeMessagingHosts"},
    {false, "Software\\BraveSoftware\\Brave-Browser\\NativeMessagingHosts"},
};

std::string hostsFolder()
{
    return Plat_ProgramDataFolder() + "\\hosts";
}

std::string manifestPath(bool firefox)
{
    return hostsFolder() + "\\" + BROWSER_HOST_NAME + (firefox ? ".mozilla.json" : ".chromium.json");
}

std::string keyOf(const BrowserKey& browser)
{
    return std::string(browser.hosts) + "\\" + BROWSER_HOST_NAME;
}

// Makes the browser's key of the host and names the manifest in its default value; 0 or the errno.
int registerManifest(const BrowserKey& browser)
{
    HKEY key = nullptr;
    LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, Plat_Widen(keyOf(browser)).c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
        const std::wstring path = Plat_Widen(manifestPath(browser.firefox));
        result = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                DWORD((path.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    return result == ERROR_SUCCESS ? 0 : Plat_ErrnoOf(DWORD(result));
}

// Removes what was there of path; ENOENT when nothing was.
int removeFile(const std::string& path)
{
    return DeleteFileW(Plat_Widen(path).c_str()) ? 0 : Plat_ErrnoOf(GetLastError());
}

int removeKey(const BrowserKey& browser)
{
    const LONG result = RegDeleteKeyW(HKEY_CURRENT_USER, Plat_Widen(keyOf(browser)).c_str());
    return result == ERROR_SUCCESS ? 0 : Plat_ErrnoOf(DWORD(result));
}

}  // namespace

std::vector<BrowserHostFile> Browser_InstallHosts(const std::string& program)
{
    std::vector<BrowserHostFile> written;
    const int folderError = Plat_CreateFolders(hostsFolder(), 0755);
    for (bool firefox : {true, false}) {
        const std::string path = manifestPath(firefox), text = Browser_HostManifest(firefox, program);
        const int error = folderError != 0 ? folderError : Plat_ReplaceFile(path.c_str(), text.data(), text.size());
        written.push_back({path, error});
    }
    for (const BrowserKey& browser : BROWSER_KEYS)
        written.push_back({ROOT_NAME + keyOf(browser), registerManifest(browser)});
    return written;
}

std::vector<BrowserHostFile> Browser_UninstallHosts()
{
    std::vector<BrowserHostFile> removed;
    for (bool firefox : {true, false}) {
        const std::string path = manifestPath(firefox);
        if (const int error = removeFile(path); error != ENOENT)
            removed.push_back({path, error});
    }
    for (const BrowserKey& browser : BROWSER_KEYS)
        if (const int error = removeKey(browser); error != ENOENT)
            removed.push_back({ROOT_NAME + keyOf(browser), error});
    return removed;
}

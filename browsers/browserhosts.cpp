#include "browsers/browserhosts.h"

#include "platform/files.h"
#include "platform/home.h"
#include "platform/text.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Browser {
    bool firefox;
    bool inConfig;        // the folder lies under $XDG_CONFIG_HOME, else under $HOME
    const char* folder;   // the browser's own folder
    const char* hosts;    // its manifests' folder inside it
};

constexpr Browser BROWSERS[] = {
    {true, false, ".mozilla", "native-messaging-hosts"},
    {false, true, "chromium", "NativeMessagingHosts"},
    {false, true, "google-chrome", "NativeMessagingHosts"},
    {false, true, "BraveSoftware/Brave-Browser", "NativeMessagingHosts"},
    {false, true, "vivaldi", "NativeMessagingHosts"},
    {false, true, "microsoft-edge", "NativeMessagingHosts"},
};

// The manifests' folder of each browser whose own folder exists.
std::vector<std::pair<const Browser*, std::string>> presentBrowsers()
{
    std::vector<std::pair<const Browser*, std::string>> present;
    const std::string home = Plat_HomeFolder(), config = Plat_ConfigFolder();
    for (const Browser& browser : BROWSERS) {
        std::string folder = (browser.inConfig ? config : home) + PATH_SEP + browser.folder;
        struct stat info{};
        if (stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            present.emplace_back(&browser, folder + PATH_SEP + browser.hosts);
    }
    return present;
}

std::string manifestName()
{
    return std::string(1, PATH_SEP) + BROWSER_HOST_NAME + ".json";
}

}  // namespace

std::vector<BrowserHostFile> Browser_InstallHosts(const std::string& program)
{
    std::vector<BrowserHostFile> written;
    for (const auto& [browser, folder] : presentBrowsers()) {
        std::string path = folder + manifestName();
        std::string text = Browser_HostManifest(browser->firefox, program);
        int error = Plat_CreateFolders(folder, 0755);
        if (error == 0)
            error = Plat_ReplaceFile(path.c_str(), text.data(), text.size(), 0644);
        written.push_back({path, error});
    }
    return written;
}

std::vector<BrowserHostFile> Browser_UninstallHosts()
{
    std::vector<BrowserHostFile> removed;
    for (const auto& [browser, folder] : presentBrowsers()) {
        std::string path = folder + manifestName();
        const int error = unlink(path.c_str()) == 0 ? 0 : errno;
        if (error != ENOENT)
            removed.push_back({path, error});
    }
    return removed;
}

#include "platform/browserhosts.h"

#include "tests/support/fixtures.h"

#include <nlohmann/json.hpp>

#include <cstdlib>

namespace {

using moontest::readFile;
using moontest::writeFile;
namespace fs = std::filesystem;

class BrowserHosts : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        const char* home = std::getenv("HOME");
        oldHome_ = home ? home : "";
        setenv("HOME", path("home").c_str(), 1);
    }
    void TearDown() override
    {
        setenv("HOME", oldHome_.c_str(), 1);
        Sandbox::TearDown();
    }
    std::string oldHome_;
};

// For each set of browser folders present: the manifests written name the program and the
// extension, and uninstalling removes exactly them, leaving the folders and another host's file.
TEST_F(BrowserHosts, OnlyBrowsersWhoseFolderExistsGetAManifestAndUninstallRemovesExactlyThose)
{
    const std::string FF = "home/.mozilla/native-messaging-hosts/com.larkvale.moonfetch.json";
    const std::string CR = "config/chromium/NativeMessagingHosts/com.larkvale.moonfetch.json";
    const std::string HOME_CR = "home/.config/chromium/NativeMessagingHosts/com.larkvale.moonfetch.json";
    struct Row { const char* name; const char* config; std::vector<std::string> folders, manifests; };
    const Row rows[] = {
        {"no browser", "config", {}, {}},
        {"firefox and chromium", "config", {"home/.mozilla", "config/chromium"}, {FF, CR}},
        {"every browser", "config",
         {"home/.mozilla", "config/chromium", "config/google-chrome", "config/BraveSoftware/Brave-Browser",
          "config/vivaldi", "config/microsoft-edge"},
         {FF, CR, "config/google-chrome/NativeMessagingHosts/com.larkvale.moonfetch.json",
          "config/BraveSoftware/Brave-Browser/NativeMessagingHosts/com.larkvale.moonfetch.json",
          "config/vivaldi/NativeMessagingHosts/com.larkvale.moonfetch.json",
          "config/microsoft-edge/NativeMessagingHosts/com.larkvale.moonfetch.json"}},
        {"brave's parent only", "config", {"config/BraveSoftware"}, {}},
        {"relative config home", "relative", {"home/.config/chromium", "config/chromium"}, {HOME_CR}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(path("home"));
        fs::remove_all(path("config"));
        fs::create_directories(path("home"));
        setenv("XDG_CONFIG_HOME", row.config[0] == 'r' ? row.config : path(row.config).c_str(), 1);
        for (const std::string& folder : row.folders)
            fs::create_directories(path(folder));
        std::vector<std::string> expected, written, removed;
        for (const std::string& manifest : row.manifests)
            expected.push_back(path(manifest));
        for (const BrowserHostFile& file : Browser_InstallHosts("/opt/moon fetch/moonfetch")) {
            EXPECT_EQ(file.error, 0);
            written.push_back(file.path);
            auto manifest = nlohmann::json::parse(readFile(file.path));
            EXPECT_EQ(manifest["path"], "/opt/moon fetch/moonfetch");
            EXPECT_EQ(manifest["type"], "stdio");
            EXPECT_EQ(manifest.contains("allowed_extensions"), file.path.find(".mozilla") != std::string::npos);
        }
        EXPECT_EQ(written, expected);
        const fs::path other = expected.empty() ? fs::path() : fs::path(expected[0]).parent_path() / "other.json";
        if (!other.empty())
            writeFile(other, "{}");
        for (const BrowserHostFile& file : Browser_UninstallHosts())
            removed.push_back(file.path);
        EXPECT_EQ(removed, expected);
        for (const std::string& manifest : expected)
            EXPECT_FALSE(fs::exists(manifest));
        EXPECT_TRUE(other.empty() || fs::exists(other));
        EXPECT_TRUE(Browser_UninstallHosts().empty());
    }
}

}  // namespace

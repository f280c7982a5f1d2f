#include "browsers/browserhosts.h"

#include "tests/support/fixtures.h"

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;

using BrowserHosts = moontest::Sandbox;

// For each set of browser folders present: the manifests written name the program and the
// extension, and uninstalling removes exactly them.
TEST_F(BrowserHosts, OnlyBrowsersWhoseFolderExistsGetAManifestAndUninstallRemovesExactlyThose)
{
    const std::string chromium = "NativeMessagingHosts/com.larkvale.moonfetch.json";
    struct Row { const char* name; std::vector<std::string> folders; };
    const Row rows[] = {
        {"Vivaldi alone", {"config/vivaldi"}},
        {"every browser", {"home/.mozilla", "config/chromium", "config/google-chrome",
                           "config/BraveSoftware/Brave-Browser", "config/vivaldi", "config/microsoft-edge"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(path("home"));
        fs::remove_all(path("config"));
        fs::create_directory(path("home"));
        std::vector<std::string> expected, written, removed;
        for (const std::string& folder : row.folders) {
            fs::create_directories(path(folder));
            const bool config = folder.starts_with("config/");
            if (folder == "home/.mozilla" || config)
                expected.push_back(path(folder) + "/" + (config ? chromium : "native-messaging-hosts/com.larkvale.moonfetch.json"));
        }
        for (const BrowserHostFile& file : Browser_InstallHosts("/opt/moon fetch/moonfetch")) {
            EXPECT_EQ(file.error, 0);
            written.push_back(file.path);
            auto manifest = nlohmann::json::parse(moontest::readFile(file.path));
            EXPECT_EQ(manifest["path"], "/opt/moon fetch/moonfetch");
            EXPECT_EQ(manifest.contains("allowed_extensions"), file.path.find(".mozilla") != std::string::npos);
        }
        EXPECT_EQ(written, expected);
        for (const BrowserHostFile& file : Browser_UninstallHosts())
            removed.push_back(file.path);
        EXPECT_EQ(removed, expected);
    }
}

// As each browser starts its host: Chromium's origin (on Windows with its window after it),
// Firefox's manifest and id; anything else is the program itself.
TEST(BrowserHostStart, EveryBrowsersArgumentsAndOnlyThoseStartTheHost)
{
    const struct { std::vector<std::string> arguments; bool host; } cases[] = {
        {{BROWSER_CHROMIUM_ORIGIN}, true},
        {{BROWSER_CHROMIUM_ORIGIN, "--parent-window=0"}, true},
        {{"C:\\hosts\\com.larkvale.moonfetch.mozilla.json", BROWSER_FIREFOX_ID}, true},
        {{"--list"}, false},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("moonfetch")};
        for (const std::string& argument : c.arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        EXPECT_EQ(Browser_StartedAsHost(int(argv.size()), argv.data()), c.host) << c.arguments.back();
    }
}

}  // namespace

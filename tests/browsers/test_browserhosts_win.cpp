// The browser hosts on Windows, in the private registry of the test run: each browser's key
// names the manifest of its family, and uninstalling takes back exactly what installing wrote.
#include "browsers/browserhosts.h"

#include "tests/support/fixtures.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using BrowserHostsWin = moontest::Sandbox;

constexpr std::string_view ROOT_NAME = "HKEY_CURRENT_USER\\";

// The default value of the key that entry names (UTF-8, ASCII here); empty when there is none.
std::string manifestNamedBy(const std::string& entry)
{
    const std::string key = entry.substr(ROOT_NAME.size());
    char value[MAX_PATH] = "";
    DWORD size = sizeof value;
    RegGetValueA(HKEY_CURRENT_USER, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

std::vector<std::string> pathsOf(const std::vector<BrowserHostFile>& entries)
{
    std::vector<std::string> paths;
    for (const BrowserHostFile& entry : entries) {
        EXPECT_EQ(entry.error, 0) << entry.path;
        paths.push_back(entry.path);
    }
    return paths;
}

TEST_F(BrowserHostsWin, EveryBrowsersKeyNamesItsFamilysManifestAndUninstallTakesBackExactlyThose)
{
    _putenv_s("LOCALAPPDATA", path("local").c_str());
    const std::string program = "C:\\Program Files\\Moonfetch\\moonfetch.exe";
    const std::vector<std::string> written = pathsOf(Browser_InstallHosts(program));
    ASSERT_EQ(written.size(), 7u);
    const std::string firefox = written[0], chromium = written[1];
    EXPECT_EQ(firefox, path("local") + "\\Moonfetch\\hosts\\com.larkvale.moonfetch.mozilla.json");
    for (size_t k = 2; k < written.size(); ++k) {
        const bool mozilla = written[k].find("\\Mozilla\\") != std::string::npos;
        EXPECT_EQ(manifestNamedBy(written[k]), mozilla ? firefox : chromium) << written[k];
    }
    for (bool family : {true, false})
        EXPECT_EQ(moontest::readFile(family ? firefox : chromium), Browser_HostManifest(family, program));
    EXPECT_EQ(pathsOf(Browser_UninstallHosts()), written);
    EXPECT_EQ(manifestNamedBy(written[2]), "");
    EXPECT_TRUE(Browser_UninstallHosts().empty());
}

}  // namespace

#include "platform/cookiestores.h"

#include "tests/support/browserstores.h"
#include "tests/support/fixtures.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
using moontest::BrowserCookie;
using moontest::writeFile;

constexpr int64_t LATER = 4102444800;   // 2100-01-01

// The cookies of a read, one line each: "host[ (domain)] path name=value[ S] expiry".
std::string shown(const StoreRead& read)
{
    std::string text;
    for (const StoredCookie& c : read.cookies)
        text += c.host + (c.hostOnly ? "" : " (domain)") + " " + c.path + " " + c.name + "=" + c.value +
                (c.secure ? " S " : " ") + std::to_string(c.expiry) + "\n";
    return text + std::to_string(read.skipped) + " skipped " + read.skippedWhy;
}

class CookieStores : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        fs::create_directories(path("run"));
        oldRuntime_ = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
        ::setenv("XDG_RUNTIME_DIR", path("run").c_str(), 1);
    }
    void TearDown() override
    {
        oldRuntime_.empty() ? ::unsetenv("XDG_RUNTIME_DIR") : ::setenv("XDG_RUNTIME_DIR", oldRuntime_.c_str(), 1);
        Sandbox::TearDown();
    }
    // Reads file, which must leave no copy behind.
    StoreRead read(const std::string& file)
    {
        StoreRead result;
        const bool ok = CookieStores_Read(file, &result);
        EXPECT_EQ(ok, result.failure.empty());
        for (const auto& entry : fs::directory_iterator(path("run")))   // the keyring keeps its socket there
            EXPECT_FALSE(entry.path().filename().string().starts_with("moonfetch")) << "a copy outlived the read";
        return result;
    }

private:
    std::string oldRuntime_;
};

// Everything a browser keeps that a request may need, and what must never be sent.
const std::vector<BrowserCookie> COOKIES = {
    {.host = "127.0.0.1", .name = "host", .value = "1"},
    {.host = ".example.org", .name = "dom", .value = "2", .path = "/dl", .secure = true, .expiry = LATER},
    {.host = "example.org", .name = "box", .value = "3", .container = "^userContextId=2"},
    {.host = "example.org", .name = "plain", .value = "4", .encryption = ""},
};

TEST_F(CookieStores, EachFamilysStoreReadsAsPlainRecords)
{
    const std::string firefox = "127.0.0.1 / host=1 0\nexample.org (domain) /dl dom=2 S " + std::to_string(LATER) +
                                "\nexample.org / plain=4 0\n";
    const std::string chromium = "127.0.0.1 / host=1 0\nexample.org (domain) /dl dom=2 S " + std::to_string(LATER) +
                                 "\nexample.org / box=3 0\nexample.org / plain=4 0\n0 skipped ";
    const std::string ff = path("cookies.sqlite"), cr = path("Cookies");
    const struct {
        const char* name;
        std::function<void()> make;
        std::string file, seen;
    } rows[] = {
        {"Firefox, expiry in seconds", [&] { moontest::makeFirefoxStore(ff, 15, COOKIES); }, ff, firefox + "0 skipped "},
        {"Firefox, expiry in milliseconds", [&] { moontest::makeFirefoxStore(ff, 16, COOKIES); }, ff, firefox + "0 skipped "},
        {"Chromium before the host hash", [&] { moontest::makeChromiumStore(cr, 23, COOKIES); }, cr, chromium},
        {"Chromium with the host hash", [&] { moontest::makeChromiumStore(cr, 24, COOKIES); }, cr, chromium},
        {"a value without its host hash is skipped",
         [&] {
             moontest::makeChromiumStore(cr, 23, COOKIES);
             moontest::runSql(cr, "UPDATE meta SET value = '24' WHERE key = 'version'");
         },
         cr, "example.org / plain=4 0\n3 skipped a value without the hash of its host"},
        {"a value under another key is skipped",
         [&] { moontest::makeChromiumStore(cr, 24, {{.host = "a", .name = "n", .value = "v", .encryption = "v20"}}); },
         cr, "1 skipped an encryption this program does not know (v20)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.make();
        EXPECT_EQ(shown(read(row.file)), row.seen);
    }
}

TEST_F(CookieStores, ACookieOnlyTheWalHoldsIsRead)
{
    moontest::makeFirefoxStore(path("cookies.sqlite"), 16, {{.host = "a.b", .name = "old", .value = "1"}});
    moontest::WalWriter browser(path("cookies.sqlite"));
    browser.add({.host = "a.b", .name = "new", .value = "2"});
    ASSERT_GT(fs::file_size(path("cookies.sqlite-wal")), 0u);
    EXPECT_EQ(shown(read(path("cookies.sqlite"))), "a.b / old=1 0\na.b / new=2 0\n0 skipped ");
}

TEST_F(CookieStores, BadStoresFailWithAReasonAndLeaveNoCopy)
{
    const std::string ff = path("cookies.sqlite"), cr = path("Cookies");
    std::optional<moontest::WalWriter> browser;
    std::vector<BrowserCookie> many(300, COOKIES[0]);
    for (size_t i = 0; i < many.size(); ++i)
        many[i].name = "n" + std::to_string(i);
    const struct {
        const char* name;
        std::function<void()> make;
        std::string file, failure;
    } rows[] = {
        {"damaged", [&] { writeFile(ff, std::string(8192, 'x')); }, ff, "file is not a database"},
        // A lock binds those who take part in it; the copy reads what is committed.
        {"locked by another process",
         [&] {
             moontest::makeFirefoxStore(ff, 15, {{.host = "a.b", .name = "n", .value = "v"}});
             browser.emplace(ff);
             browser->run("PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM moz_cookies");
         },
         ff, ""},
        {"truncated",
         [&] {
             moontest::makeChromiumStore(cr, 24, many);
             fs::resize_file(cr, 8192);
         },
         cr, "database disk image is malformed"},
        {"a missing column",
         [&] { moontest::runSql(ff, "CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, name TEXT, value TEXT)"); }, ff,
         "no such column: host"},
        {"missing", [] {}, path("none/Cookies"), "cannot be copied"},
        {"a folder", [&] { fs::create_directories(path("dir/Cookies")); }, path("dir/Cookies"), "cannot be copied"},
        {"no Secret Service",
         [&] { moontest::makeChromiumStore(cr, 24, {{.host = "a", .name = "n", .value = "v", .encryption = "v11"}}, "pw"); },
         cr, "cannot be decrypted: the Secret Service cannot be reached"},
        {"no database at all", [&] { writeFile(path("cookies.txt"), ""); }, path("cookies.txt"), "no cookie database"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(ff);
        fs::remove(cr);
        row.make();
        const StoreRead result = read(row.file);
        EXPECT_NE(result.failure.find(row.failure), std::string::npos) << result.failure;
        EXPECT_EQ(result.cookies.size(), row.failure.empty() ? 1u : 0u);
        browser.reset();
    }
}

// Runs command in the shell; true when it ends with status 0.
bool shell(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

TEST_F(CookieStores, V11ValuesDecryptWithThePasswordARealSecretServiceKeeps)
{
    // A private bus with gnome-keyring on it, its keyring in the sandbox; both end with the bus.
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", path("home").c_str(), 1);
    fs::create_directories(path("config/chromium/Default"));
    ::setenv("XDG_DATA_HOME", path("home/data").c_str(), 1);
    if (!shell("dbus-daemon --session --fork --print-address=1 --print-pid=1 > bus.txt 2>/dev/null"))
        GTEST_SKIP() << "no dbus-daemon to start a private bus on";
    const std::string bus = moontest::readFile(path("bus.txt"));
    const std::string address = bus.substr(0, bus.find('\n'));
    const std::string pid = bus.substr(bus.find('\n') + 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    const bool keyring = shell("printf unlock | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1") &&
                         shell("printf 'the password' | secret-tool store --label='Chromium Safe Storage' "
                               "application chromium xdg:schema chrome_libsecret_os_crypt_password_v2");
    if (keyring) {
        moontest::makeChromiumStore(path("config/chromium/Default/Cookies"), 24,
                                    {{.host = "a.b", .name = "n", .value = "from the keyring", .encryption = "v11"}},
                                    "the password");
        EXPECT_EQ(shown(read(path("config/chromium/Default/Cookies"))), "a.b / n=from the keyring 0\n0 skipped ");
    }
    shell("kill " + pid);
    ::unsetenv("XDG_DATA_HOME");
    oldHome.empty() ? ::unsetenv("HOME") : ::setenv("HOME", oldHome.c_str(), 1);
    if (!keyring)
        GTEST_SKIP() << "gnome-keyring-daemon or secret-tool could not run on the private bus";
}

TEST_F(CookieStores, ProfilesOfBothFamiliesAreLabelledAndKeyedAndEachHasItsCookieFile)
{
    const char* home = std::getenv("HOME");
    const std::string oldHome = home ? home : "";
    ::setenv("HOME", path("home").c_str(), 1);
    fs::create_directories(path("home/snap/firefox/common/.mozilla/firefox"));
    writeFile(path("home/snap/firefox/common/.mozilla/firefox/profiles.ini"),
              "[Profile0]\nName=default-release\nIsRelative=1\nPath=x.default-release\n");
    for (const char* browser : {"chromium", "google-chrome", "vivaldi", "BraveSoftware/Brave-Browser"})
        fs::create_directories(path("config/") + browser);
    writeFile(path("config/chromium/Local State"),
              R"({"profile": {"info_cache": {"Default": {"name": "Person 1"}, "Profile 2": {"name": "Work"}}}})");
    writeFile(path("config/google-chrome/Local State"), "{\"profile\": {\"info_cache\": ");
    writeFile(path("config/vivaldi/Local State"), R"({"profile": 3})");
    writeFile(path("config/BraveSoftware/Brave-Browser/Local State"), R"({"profile": {"info_cache": {"Default": {}}}})");
    std::vector<BrowserProfile> profiles;
    EXPECT_TRUE(CookieStores_ListProfiles(&profiles));
    std::string seen;
    for (const BrowserProfile& p : profiles)
        seen += p.label + " | " + p.key + " | " + fs::relative(p.directory, path("")).string() + "\n";
    EXPECT_EQ(seen, "Firefox: default-release | default-release | home/snap/firefox/common/.mozilla/firefox/x.default-release\n"
                    "Chromium: Person 1 | chromium/Default | config/chromium/Default\n"
                    "Chromium: Work | chromium/Profile 2 | config/chromium/Profile 2\n"
                    "Brave: Default | BraveSoftware/Brave-Browser/Default | config/BraveSoftware/Brave-Browser/Default\n");
    oldHome.empty() ? ::unsetenv("HOME") : ::setenv("HOME", oldHome.c_str(), 1);

    // The database wins over a cookies.txt beside it; Network/Cookies over an older Cookies.
    for (const std::string file : {"p/cookies.txt", "p/Cookies", "p/Network/Cookies", "p/cookies.sqlite"}) {
        fs::create_directories(fs::path(path(file)).parent_path());
        writeFile(path(file), "");
        EXPECT_EQ(CookieStores_FileOf(path("p")), path(file));
    }
    EXPECT_EQ(CookieStores_FileOf(path("empty")), path("empty/cookies.txt"));
}

}  // namespace

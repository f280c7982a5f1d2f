#include "browsers/cookiestores.h"

#include "tests/support/browserstores.h"
#include "tests/support/fixtures.h"

#include <filesystem>
#include <functional>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using moontest::BrowserCookie;
using moontest::writeFile;

using CookieStores = moontest::Sandbox;

// The cookies read from file, a line each, then the skipped and the failure; no copy may
// outlive the read (the keyring keeps its socket beside them).
std::string read(const std::string& file)
{
    StoreRead r;
    const bool ok = CookieStores_Read(file, &r);
    EXPECT_EQ(ok, r.failure.empty());
    std::string text;
    for (const StoredCookie& c : r.cookies)
        text += c.host + (c.hostOnly ? " " : " (domain) ") + c.path + " " + c.name + "=" + c.value +
                (c.secure ? " S " : " ") + std::to_string(c.expiry) + "\n";
    for (const auto& entry : fs::directory_iterator(fs::current_path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("moonfetch")) << "a copy outlived the read";
    return text + std::to_string(r.skipped) + " skipped " + r.skippedWhy + r.failure;
}

// Every family's store and every hostile input: what the read hands out, or why it fails.
TEST_F(CookieStores, EachFamilysStoreReadsAsPlainRecordsAndABadOneFailsWithItsReason)
{
    const std::vector<BrowserCookie> cookies = {{"127.0.0.1", "host", "1"}, {".b.org", "domain", "2", true, 4102444800},
                                                {"b.org", "box", "3", false, 0, "^userContextId=2"},
                                                {"b.org", "plain", "4", false, 0, ""}};
    const std::string ff = path("cookies.sqlite"), cr = path("Cookies"), first = "127.0.0.1 / host=1 0\n";
    const std::string both = first + "b.org (domain) / domain=2 S 4102444800\n", plain = "b.org / plain=4 0\n0 skipped ";
    std::shared_ptr<sqlite3> browser;
    const struct {
        const char* name;
        std::function<void()> make;
        std::string file, seen;
    } rows[] = {
        {"Firefox, seconds", [&] { moontest::makeFirefoxStore(ff, 15, cookies); }, ff, both + plain},
        {"Firefox, milliseconds", [&] { moontest::makeFirefoxStore(ff, 16, cookies); }, ff, both + plain},
        {"Firefox, a cookie in the -wal alone",
         [&] { moontest::makeFirefoxStore(ff, 16, {}), browser = moontest::holdStore(ff, "", {cookies[0]}); }, ff,
         first + "0 skipped "},
        {"Chromium before the host hash", [&] { moontest::makeChromiumStore(cr, 23, cookies); }, cr,
         both + "b.org / box=3 0\n" + plain},
        {"Chromium with the host hash", [&] { moontest::makeChromiumStore(cr, 24, cookies); }, cr,
         both + "b.org / box=3 0\n" + plain},
        {"a value that cannot be decrypted", [&] { moontest::makeChromiumStore(cr, 24, {{"a", "n", "v", 0, 0, "v20"}}); },
         cr, "1 skipped an encryption this program does not know (v20)"},
        {"a value with a line break", [&] { moontest::makeChromiumStore(cr, 23, {{"a", "n", "v\r\nX: 1"}}); }, cr,
         "1 skipped a value that is not cookie text"},
        {"a name, a path and a host with a control byte", [&] { moontest::makeFirefoxStore(ff, 16, {{"a", "n\n", "v"},
             {"a", "n", "v", false, 0, "", "/\r"}, {"a\x01", "n", "v"}}); }, ff, "3 skipped a value that is not cookie text"},
        {"a value hashed for another host",
         [&] { moontest::makeChromiumStore(cr, 24, {{"a.example", "n", "v", false, 0, "v10", "/", "b.example"}}); },
         cr, "1 skipped a value without the hash of its host"},
        // A lock binds those who take part in it; the copy reads what is committed.
        {"locked by another process",
         [&] {
             moontest::makeFirefoxStore(ff, 15, {cookies[0]});
             browser = moontest::holdStore(ff, "PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM moz_cookies;");
         },
         ff, first + "0 skipped "},
        {"damaged", [&] { writeFile(ff, std::string(8192, 'x')); }, ff, "cannot be read: file is not a database."},
        {"truncated", [&] { moontest::makeChromiumStore(cr, 24, std::vector(300, cookies[3])), fs::resize_file(cr, 8192); },
         cr, "cannot be read: database disk image is malformed."},
        {"a missing column", [&] { browser = moontest::holdStore(ff, "CREATE TABLE moz_cookies (name TEXT);"); }, ff,
         "cannot be read: no such column: host."},
        {"a folder", [&] { fs::create_directories(cr); }, cr, "The cookie database " + cr + " cannot be copied"},
        {"no Secret Service", [&] { moontest::makeChromiumStore(cr, 24, {{"a", "n", "v", 0, 0, "v11"}}, "pw"); }, cr,
         "The cookies of " + cr + " cannot be decrypted: the Secret Service cannot be reached"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        browser.reset();
        fs::remove_all(ff), fs::remove_all(cr);
        row.make();
        const std::string seen = read(row.file);
        EXPECT_NE(seen.find(row.seen), std::string::npos) << seen;
    }
}

TEST_F(CookieStores, V11ValuesDecryptWithThePasswordARealSecretServiceKeeps)
{
    // gnome-keyring on a private bus, its keyring in the sandbox; it ends with the bus.
    for (const char* name : {"XDG_DATA_HOME", "XDG_RUNTIME_DIR"})
        ::setenv(name, path("").c_str(), 1);
    if (std::system("dbus-daemon --session --fork --print-address=1 --print-pid=1 > bus 2>/dev/null") != 0)
        GTEST_SKIP() << "no dbus-daemon to start a private bus on";
    std::istringstream bus(moontest::readFile(path("bus")));
    std::string address, pid;
    bus >> address >> pid;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    const bool keyring = std::system("printf u | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 && "
                                     "printf pw | secret-tool store --label=Chromium application chromium "
                                     "xdg:schema chrome_libsecret_os_crypt_password_v2") == 0;
    moontest::makeChromiumStore(path("Cookies"), 24, {{"a.b", "n", "from the keyring", false, 0, "v11"}}, "pw");
    const std::string seen = keyring ? read(path("Cookies")) : "";
    std::system(("kill " + pid).c_str());
    if (!keyring)
        GTEST_SKIP() << "gnome-keyring-daemon or secret-tool could not run on the private bus";
    EXPECT_EQ(seen, "a.b / n=from the keyring 0\n0 skipped ");
}

}  // namespace

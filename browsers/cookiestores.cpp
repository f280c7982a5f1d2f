#include "browsers/cookiestores.h"

#include "browsers/profiles.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/program.h"
#include "platform/text.h"

#include <libsecret/secret.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// A Chromium-family browser: its folder in the configuration folder, the name a person knows
// it by, and the application under which it keeps its password in the Secret Service.
struct ChromiumBrowser {
    const char* folder;
    const char* label;
    const char* application;
};

constexpr ChromiumBrowser CHROMIUM_BROWSERS[] = {
    {"chromium", "Chromium", "chromium"},
    {"google-chrome", "Google Chrome", "chrome"},
    {"BraveSoftware/Brave-Browser", "Brave", "brave"},
    {"vivaldi", "Vivaldi", "vivaldi"},
    {"microsoft-edge", "Microsoft Edge", "chromium"},
};

// Seconds from 1601-01-01, where Chromium's clock starts, to 1970-01-01.
constexpr int64_t CHROMIUM_EPOCH_OFFSET = 11644473600;
constexpr int FIREFOX_MILLISECONDS_SCHEMA = 16;
constexpr int CHROMIUM_HOST_HASH_VERSION = 24;
constexpr size_t SHA256_BYTES = 32;
constexpr size_t AES_KEY_BYTES = 16;
constexpr size_t VERSION_PREFIX_BYTES = 3;
// A real Local State is a few hundred KB; parsing one of many MB would take seconds and much
// memory for a list of profiles.
constexpr size_t LOCAL_STATE_LIMIT = 2 * 1024 * 1024;

constexpr const char* FIREFOX_QUERY =
    "SELECT host, path, isSecure, expiry, name, value FROM moz_cookies WHERE originAttributes = ''";
constexpr const char* CHROMIUM_QUERY =
    "SELECT host_key, path, is_secure, expires_utc, name, value, encrypted_value FROM cookies";

// ---- The private copy ------------------------------------------------------------------

// A private folder holding copies of a store's files; removed with everything in it when the
// object goes.
class PrivateCopy {
public:
    PrivateCopy() = default;
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;
    ~PrivateCopy()
    {
        std::error_code ignored;
        if (!folder_.empty())
            fs::remove_all(folder_, ignored);
    }

    // Copies file and the -wal and -shm beside it; false with failure set when it cannot.
    bool take(const std::string& file, std::string* failure)
    {
        std::string templ = tempRoot() + "/moonfetch-cookies-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr) {
            *failure = "No private folder could be made for a copy of the cookies.";
            return false;
        }
        folder_ = templ;
        copy_ = folder_ + "/store.sqlite";
        std::error_code error;
        if (!fs::copy_file(file, copy_, error)) {
            *failure = "The cookie database " + file + " cannot be copied: " + error.message() + ".";
            return false;
        }
        for (const char* suffix : {"-wal", "-shm"})
            fs::copy_file(file + suffix, copy_ + suffix, error);   // absent when checkpointed
        return true;
    }
    const std::string& path() const { return copy_; }

private:
    static std::string tempRoot()
    {
        for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
            const char* value = std::getenv(name);
            if (value && value[0] == '/')
                return value;
        }
        return "/tmp";
    }

    std::string folder_;
    std::string copy_;
};

// ---- SQLite ----------------------------------------------------------------------------

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

std::string databaseFailure(const std::string& file, sqlite3* db)
{
    return "The cookie database " + file + " cannot be read: " + (db ? sqlite3_errmsg(db) : "out of memory") + ".";
}

// Prepares sql on db; null with failure set when it cannot.
Statement prepare(sqlite3* db, const char* sql, const std::string& file, std::string* failure)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        *failure = databaseFailure(file, db);
        return nullptr;
    }
    return Statement(statement);
}

// The first column of the first row of sql as a number; fallback when there is none.
int64_t queryNumber(sqlite3* db, const char* sql, int64_t fallback)
{
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK)
        return fallback;
    const Statement statement(raw);
    return sqlite3_step(raw) == SQLITE_ROW ? sqlite3_column_int64(raw, 0) : fallback;
}

std::string columnText(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string(text, size_t(sqlite3_column_bytes(statement, column))) : std::string();
}

// A cookie's host as stored, its leading dot saying whether subdomains share it.
void setHost(StoredCookie* cookie, std::string host)
{
    cookie->hostOnly = host.empty() || host.front() != '.';
    cookie->host = cookie->hostOnly ? std::move(host) : host.substr(1);
}

// The columns that every query begins with: host, path, secure, expiry, name, value.
StoredCookie commonColumns(sqlite3_stmt* row)
{
    StoredCookie cookie{};
    setHost(&cookie, columnText(row, 0));
    cookie.path = columnText(row, 1);
    cookie.secure = sqlite3_column_int64(row, 2) != 0;
    cookie.expiry = sqlite3_column_int64(row, 3);
    cookie.name = columnText(row, 4);
    cookie.value = columnText(row, 5);
    return cookie;
}

// ---- Chromium's encryption -------------------------------------------------------------

struct CipherFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
    void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
};

// The keys of one read, and the one cipher context, cipher and host digest its values share:
// cipher and digest are fetched once, since naming them at each use looks them up in the
// providers again for every value. The "v11" key is looked up when the first value needs it, and v11Missing says
// why it is not at hand (empty while it is).
struct ChromiumKeys {
    unsigned char v10[AES_KEY_BYTES];
    unsigned char v11[AES_KEY_BYTES];
    bool v11Looked = false;
    std::string v11Missing;
    const char* application;
    int64_t version;
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> context{EVP_CIPHER_CTX_new()};
    std::unique_ptr<EVP_CIPHER, CipherFree> cipher{EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr)};
    std::unique_ptr<EVP_MD, CipherFree> hostDigest{EVP_MD_fetch(nullptr, "SHA256", nullptr)};
};

void deriveKey(const std::string& password, unsigned char (&key)[AES_KEY_BYTES])
{
    static constexpr unsigned char SALT[] = {'s', 'a', 'l', 't', 'y', 's', 'a', 'l', 't'};
    PKCS5_PBKDF2_HMAC_SHA1(password.data(), int(password.size()), SALT, int(sizeof SALT), 1,
                           int(sizeof key), key);
}

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

// The browser's password from the Secret Service, as the browser stored it; false with why.
bool secretPassword(const char* application, std::string* password, std::string* why)
{
    static const SecretSchema SCHEMA = {
        "chrome_libsecret_os_crypt_password_v2",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {{"application", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    GError* raw = nullptr;
    gchar* found = secret_password_lookup_sync(&SCHEMA, nullptr, &raw, "application", application, nullptr);
    const std::unique_ptr<GError, GErrorFree> error(raw);
    if (error) {
        *why = std::string("the Secret Service cannot be reached (") + error->message + ")";
        return false;
    }
    if (!found) {
        *why = std::string("the Secret Service holds no password for ") + application;
        return false;
    }
    *password = found;
    secret_password_free(found);
    return true;
}

// The key for a value of the given prefix; null with why when it is not to be had.
const unsigned char* keyFor(ChromiumKeys* keys, bool v11, std::string* why)
{
    if (!v11)
        return keys->v10;
    if (!keys->v11Looked) {
        keys->v11Looked = true;
        std::string password;
        if (secretPassword(keys->application, &password, &keys->v11Missing))
            deriveKey(password, keys->v11);
    }
    *why = keys->v11Missing;
    return keys->v11Missing.empty() ? keys->v11 : nullptr;
}

// AES-128-CBC with an IV of sixteen spaces and PKCS#7 padding; false when it does not decrypt.
bool decryptCbc(const ChromiumKeys& keys, const unsigned char* key, const char* data, size_t size, std::string* plain)
{
    static constexpr unsigned char IV[16] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                             ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    plain->resize(size + AES_KEY_BYTES);
    auto* out = reinterpret_cast<unsigned char*>(plain->data());
    int written = 0, last = 0;
    EVP_CIPHER_CTX* context = keys.context.get();
    const bool ok = context && keys.cipher && EVP_DecryptInit_ex(context, keys.cipher.get(), nullptr, key, IV) == 1 &&
                    EVP_DecryptUpdate(context, out, &written, reinterpret_cast<const unsigned char*>(data), int(size)) == 1 &&
                    EVP_DecryptFinal_ex(context, out + written, &last) == 1;
    plain->resize(ok ? size_t(written + last) : 0);
    return ok;
}

// Removes the SHA-256 of host that leads the plain value from version 24 on; false when it
// is not there.
bool stripHostHash(const ChromiumKeys& keys, const std::string& hostKey, std::string* plain)
{
    unsigned char digest[SHA256_BYTES];
    unsigned int length = 0;
    if (plain->size() < SHA256_BYTES || !keys.hostDigest ||
        EVP_Digest(hostKey.data(), hostKey.size(), digest, &length, keys.hostDigest.get(), nullptr) != 1 ||
        plain->compare(0, SHA256_BYTES, reinterpret_cast<const char*>(digest), SHA256_BYTES) != 0)
        return false;
    plain->erase(0, SHA256_BYTES);
    return true;
}

// The value of an encrypted cookie; false with why when it cannot be had.
bool decryptValue(ChromiumKeys* keys, const std::string& hostKey, const std::string& encrypted,
                  std::string* value, std::string* why)
{
    const std::string prefix = encrypted.substr(0, VERSION_PREFIX_BYTES);
    if (prefix != "v10" && prefix != "v11") {
        *why = "an encryption this program does not know (" + prefix + ")";
        return false;
    }
    const unsigned char* key = keyFor(keys, prefix == "v11", why);
    if (!key)
        return false;
    if (!decryptCbc(*keys, key, encrypted.data() + VERSION_PREFIX_BYTES,
                    encrypted.size() - VERSION_PREFIX_BYTES, value)) {
        *why = "a value that does not decrypt with the browser's " + prefix + " key";
        return false;
    }
    if (keys->version >= CHROMIUM_HOST_HASH_VERSION && !stripHostHash(*keys, hostKey, value)) {
        *why = "a value without the hash of its host";
        return false;
    }
    return true;
}

// The application of the browser whose folder holds file; Chromium's when none is known.
const char* applicationOf(const std::string& file)
{
    for (const ChromiumBrowser& browser : CHROMIUM_BROWSERS)
        if (file.find(std::string("/") + browser.folder + "/") != std::string::npos)
            return browser.application;
    return CHROMIUM_BROWSERS[0].application;
}

// ---- The two readers -------------------------------------------------------------------

// Keeps cookie unless a part of it holds a control character: such a value (a damaged row, or
// one decrypted with a wrong key whose padding happened to fit) would add lines of its own to
// the request it goes out with.
void keepIfText(StoredCookie&& cookie, StoreRead* read)
{
    for (const std::string* part : {&cookie.host, &cookie.path, &cookie.name, &cookie.value}) {
        if (std::any_of(part->begin(), part->end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7F; })) {
            ++read->skipped;
            read->skippedWhy = "a value that is not cookie text";
            return;
        }
    }
    read->cookies.push_back(std::move(cookie));
}

bool readFirefox(sqlite3* db, const std::string& file, StoreRead* read)
{
    const bool milliseconds = queryNumber(db, "PRAGMA user_version", 0) >= FIREFOX_MILLISECONDS_SCHEMA;
    const Statement rows = prepare(db, FIREFOX_QUERY, file, &read->failure);
    if (!rows)
        return false;
    int step;
    while ((step = sqlite3_step(rows.get())) == SQLITE_ROW) {
        StoredCookie cookie = commonColumns(rows.get());
        if (milliseconds)
            cookie.expiry /= 1000;
        keepIfText(std::move(cookie), read);
    }
    if (step != SQLITE_DONE)
        read->failure = databaseFailure(file, db);
    return step == SQLITE_DONE;
}

// Sets the value of an encrypted row, or counts it skipped; false when it was skipped.
bool chromiumValue(ChromiumKeys* keys, sqlite3_stmt* row, StoredCookie* cookie, StoreRead* read)
{
    const auto* blob = static_cast<const char*>(sqlite3_column_blob(row, 6));
    const std::string encrypted(blob ? blob : "", size_t(sqlite3_column_bytes(row, 6)));
    if (encrypted.empty())
        return true;
    if (decryptValue(keys, columnText(row, 0), encrypted, &cookie->value, &read->skippedWhy))
        return true;
    ++read->skipped;
    return false;
}

bool readChromium(sqlite3* db, const std::string& file, StoreRead* read)
{
    ChromiumKeys keys{};
    keys.application = applicationOf(file);
    keys.version = queryNumber(db, "SELECT value FROM meta WHERE key = 'version'", 0);
    deriveKey("peanuts", keys.v10);
    const Statement rows = prepare(db, CHROMIUM_QUERY, file, &read->failure);
    if (!rows)
        return false;
    int step;
    while ((step = sqlite3_step(rows.get())) == SQLITE_ROW) {
        StoredCookie cookie = commonColumns(rows.get());
        const int64_t microseconds = cookie.expiry;
        cookie.expiry = microseconds == 0 ? 0 : microseconds / 1000000 - CHROMIUM_EPOCH_OFFSET;
        if (chromiumValue(&keys, rows.get(), &cookie, read))
            keepIfText(std::move(cookie), read);
    }
    if (step != SQLITE_DONE)
        read->failure = databaseFailure(file, db);
    // Without the Secret Service none of its values can be sent: the person must hear why.
    if (step == SQLITE_DONE && !keys.v11Missing.empty())
        read->failure = "The cookies of " + file + " cannot be decrypted: " + keys.v11Missing + ".";
    return read->failure.empty();
}

// ---- Profiles --------------------------------------------------------------------------

// The member key of value when value is an object that has it; null otherwise.
const nlohmann::json* member(const nlohmann::json* value, const char* key)
{
    if (value == nullptr || !value->is_object())
        return nullptr;
    const auto found = value->find(key);
    return found == value->end() ? nullptr : &*found;
}

// The profiles of one Chromium-family browser from its Local State; false when there is none.
bool addChromiumProfiles(const ChromiumBrowser& browser, std::vector<BrowserProfile>* profiles)
{
    const std::string folder = Plat_ConfigFolder() + PATH_SEP + browser.folder;
    std::string text;
    if (Plat_ReadBounded((folder + "/Local State").c_str(), LOCAL_STATE_LIMIT, &text) != 0)
        return false;
    const nlohmann::json state = nlohmann::json::parse(text, nullptr, false);
    const nlohmann::json* cache = member(member(&state, "profile"), "info_cache");
    if (cache == nullptr || !cache->is_object())
        return false;
    for (const auto& [directory, info] : cache->items()) {
        if (directory.empty() || Profiles_ClimbsOut(directory))
            continue;
        const nlohmann::json* name = member(&info, "name");
        const std::string shown = name && name->is_string() ? name->get<std::string>() : directory;
        profiles->push_back({std::string(browser.label) + ": " + shown,
                             std::string(browser.folder) + PATH_SEP + directory, folder + PATH_SEP + directory});
    }
    return true;
}

}  // namespace

bool CookieStores_ListProfiles(std::vector<BrowserProfile>* profiles)
{
    profiles->clear();
    std::vector<MozProfile> mozilla;
    bool any = Profiles_List(&mozilla);
    for (const MozProfile& profile : mozilla)
        profiles->push_back({std::string(profile.program) + ": " + profile.name, profile.name, profile.directory});
    for (const ChromiumBrowser& browser : CHROMIUM_BROWSERS)
        any = addChromiumProfiles(browser, profiles) || any;
    return any;
}

bool CookieStores_Read(const std::string& file, StoreRead* read)
{
    *read = StoreRead{};
    const CookieStoreKind kind = CookieStores_KindOf(file);
    PrivateCopy copy;
    if (kind == STORE_TEXT)
        read->failure = "The file " + file + " is no cookie database.";
    else if (copy.take(file, &read->failure)) {
        sqlite3* raw = nullptr;
        const int opened = sqlite3_open_v2(copy.path().c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
        const Database db(raw);
        if (opened != SQLITE_OK)
            read->failure = databaseFailure(file, raw);
        else
            (kind == STORE_FIREFOX ? readFirefox : readChromium)(db.get(), file, read);
    }
    if (!read->failure.empty())
        read->cookies.clear();
    return read->failure.empty();
}

StoreStamp CookieStores_Stamp(const std::string& file)
{
    StoreStamp stamp;
    struct stat info = {};
    if (::stat(file.c_str(), &info) == 0)
        stamp.file = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    if (::stat((file + "-wal").c_str(), &info) == 0)
        stamp.wal = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return stamp;
}

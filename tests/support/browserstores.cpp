#include "tests/support/browserstores.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>

namespace moontest {

namespace {

constexpr const char* FIREFOX_TABLE =
    "CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, originAttributes TEXT NOT NULL DEFAULT '', name TEXT, "
    "value TEXT, host TEXT, path TEXT, expiry INTEGER, lastAccessed INTEGER, creationTime INTEGER, "
    "isSecure INTEGER, isHttpOnly INTEGER, inBrowserElement INTEGER DEFAULT 0, sameSite INTEGER DEFAULT 0, "
    "rawSameSite INTEGER DEFAULT 0, schemeMap INTEGER DEFAULT 0%s, "
    "CONSTRAINT moz_uniqueid UNIQUE (name, host, path, originAttributes))";
constexpr const char* CHROMIUM_TABLES =
    "CREATE TABLE meta(key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value LONGVARCHAR);"
    "CREATE TABLE cookies(creation_utc INTEGER NOT NULL, host_key TEXT NOT NULL, top_frame_site_key TEXT NOT NULL, "
    "name TEXT NOT NULL, value TEXT NOT NULL, encrypted_value BLOB NOT NULL, path TEXT NOT NULL, "
    "expires_utc INTEGER NOT NULL, is_secure INTEGER NOT NULL, is_httponly INTEGER NOT NULL, "
    "last_access_utc INTEGER NOT NULL, has_expires INTEGER NOT NULL, is_persistent INTEGER NOT NULL, "
    "priority INTEGER NOT NULL, samesite INTEGER NOT NULL, source_scheme INTEGER NOT NULL, "
    "source_port INTEGER NOT NULL, last_update_utc INTEGER NOT NULL, source_type INTEGER NOT NULL, "
    "has_cross_site_ancestor INTEGER NOT NULL, UNIQUE (host_key, top_frame_site_key, name, path, source_scheme, source_port))";
constexpr int64_t CHROMIUM_EPOCH_OFFSET = 11644473600;

sqlite3* openFresh(const std::string& file)
{
    std::filesystem::remove(file);
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK) << file;
    return db;
}

void exec(sqlite3* db, const std::string& sql)
{
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
    sqlite3_free(error);
}

// Runs sql with the texts bound to its parameters in order, and the blob after them.
void insert(sqlite3* db, const char* sql, const std::vector<std::string>& texts, const std::string& blob = {},
            bool withBlob = false)
{
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    int at = 1;
    for (const std::string& text : texts)
        sqlite3_bind_text(statement, at++, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
    if (withBlob)
        sqlite3_bind_blob(statement, at, blob.data(), int(blob.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE) << sqlite3_errmsg(db);
    sqlite3_finalize(statement);
}

void insertFirefox(sqlite3* db, int schema, const BrowserCookie& c)
{
    const int64_t expiry = schema >= 16 ? c.expiry * 1000 : c.expiry;
    insert(db,
           "INSERT INTO moz_cookies (originAttributes, name, value, host, path, expiry, lastAccessed, "
           "creationTime, isSecure, isHttpOnly) VALUES (?, ?, ?, ?, ?, ?, 0, 0, ?, 1)",
           {c.container, c.name, c.value, c.host, c.path, std::to_string(expiry), c.secure ? "1" : "0"});
}

// value encrypted as Chromium does for host under meta version; the prefix and the ciphertext.
std::string encrypt(const BrowserCookie& c, int version, const std::string& password)
{
    unsigned char key[16];
    const std::string secret = c.encryption == "v11" ? password : "peanuts";
    PKCS5_PBKDF2_HMAC_SHA1(secret.data(), int(secret.size()), reinterpret_cast<const unsigned char*>("saltysalt"),
                           9, 1, 16, key);
    std::string plain = c.value;
    if (version >= 24) {
        unsigned char digest[32];
        EVP_Digest(c.host.data(), c.host.size(), digest, nullptr, EVP_sha256(), nullptr);
        plain.insert(0, reinterpret_cast<const char*>(digest), 32);
    }
    const unsigned char iv[16] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    std::string out(plain.size() + 16, '\0');
    int written = 0, last = 0;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    EVP_EncryptInit_ex(context, EVP_aes_128_cbc(), nullptr, key, iv);
    EVP_EncryptUpdate(context, bytes, &written, reinterpret_cast<const unsigned char*>(plain.data()), int(plain.size()));
    EVP_EncryptFinal_ex(context, bytes + written, &last);
    EVP_CIPHER_CTX_free(context);
    out.resize(size_t(written + last));
    return c.encryption + out;
}

}  // namespace

void makeFirefoxStore(const std::string& file, int schema, const std::vector<BrowserCookie>& cookies)
{
    sqlite3* db = openFresh(file);
    char table[1024];
    std::snprintf(table, sizeof table, FIREFOX_TABLE, schema >= 16 ? ", isPartitionedAttributeSet INTEGER DEFAULT 0" : "");
    exec(db, table);
    exec(db, "PRAGMA user_version = " + std::to_string(schema));
    for (const BrowserCookie& c : cookies)
        insertFirefox(db, schema, c);
    sqlite3_close(db);
}

void makeChromiumStore(const std::string& file, int version, const std::vector<BrowserCookie>& cookies,
                       const std::string& password)
{
    sqlite3* db = openFresh(file);
    exec(db, CHROMIUM_TABLES);
    exec(db, "INSERT INTO meta VALUES ('version', '" + std::to_string(version) + "'), ('last_compatible_version', '24')");
    exec(db, "BEGIN");
    for (const BrowserCookie& c : cookies) {
        const int64_t expires = c.expiry == 0 ? 0 : (c.expiry + CHROMIUM_EPOCH_OFFSET) * 1000000;
        const bool plain = c.encryption.empty();
        insert(db,
               "INSERT INTO cookies (host_key, name, value, path, expires_utc, is_secure, creation_utc, "
               "encrypted_value, top_frame_site_key, is_httponly, last_access_utc, has_expires, is_persistent, "
               "priority, samesite, source_scheme, source_port, last_update_utc, source_type, "
               "has_cross_site_ancestor) VALUES (?, ?, ?, ?, ?, ?, ?, ?, '', 0, 0, 1, 1, 1, -1, 2, 443, 0, 0, 0)",
               {c.host, c.name, plain ? c.value : "", c.path, std::to_string(expires), c.secure ? "1" : "0",
                std::to_string(&c - cookies.data())},
               plain ? "" : encrypt(c, version, password), true);
    }
    exec(db, "COMMIT");
    sqlite3_close(db);
}

void runSql(const std::string& file, const std::string& sql)
{
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    exec(db, sql);
    sqlite3_close(db);
}

WalWriter::WalWriter(const std::string& file)
{
    EXPECT_EQ(sqlite3_open(file.c_str(), &db_), SQLITE_OK);
    exec(db_, "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0");
}

WalWriter::~WalWriter()
{
    sqlite3_close(db_);
}

void WalWriter::add(const BrowserCookie& cookie)
{
    insertFirefox(db_, 16, cookie);
}

void WalWriter::run(const std::string& sql)
{
    exec(db_, sql);
}

}  // namespace moontest

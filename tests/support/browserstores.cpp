#include "tests/support/browserstores.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>

namespace moontest {

namespace {

constexpr const char* FIREFOX_TABLE =
    "CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, originAttributes TEXT NOT NULL DEFAULT '', name TEXT, "
    "value TEXT, host TEXT, path TEXT, expiry INTEGER, lastAccessed INTEGER, creationTime INTEGER, isSecure INTEGER, "
    "isHttpOnly INTEGER, inBrowserElement INTEGER DEFAULT 0, sameSite INTEGER DEFAULT 0, rawSameSite INTEGER DEFAULT 0, "
    "schemeMap INTEGER DEFAULT 0, CONSTRAINT moz_uniqueid UNIQUE (name, host, path, originAttributes));";
constexpr const char* CHROMIUM_TABLES =
    "CREATE TABLE meta(key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value LONGVARCHAR);"
    "CREATE TABLE cookies(creation_utc INTEGER NOT NULL, host_key TEXT NOT NULL, top_frame_site_key TEXT NOT NULL, "
    "name TEXT NOT NULL, value TEXT NOT NULL, encrypted_value BLOB NOT NULL, path TEXT NOT NULL, expires_utc INTEGER "
    "NOT NULL, is_secure INTEGER NOT NULL, is_httponly INTEGER NOT NULL, last_access_utc INTEGER NOT NULL, has_expires "
    "INTEGER NOT NULL, is_persistent INTEGER NOT NULL, priority INTEGER NOT NULL, samesite INTEGER NOT NULL, "
    "source_scheme INTEGER NOT NULL, source_port INTEGER NOT NULL, last_update_utc INTEGER NOT NULL, source_type "
    "INTEGER NOT NULL, has_cross_site_ancestor INTEGER NOT NULL);";

void exec(sqlite3* db, const std::string& sql)
{
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
}

// Bytes as an SQL blob literal, and as a text one.
std::string blob(const std::string& bytes)
{
    std::string hex = "X'";
    for (unsigned char byte : bytes)
        hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
    return hex + "'";
}

std::string literal(const std::string& text)
{
    return "CAST(" + blob(text) + " AS TEXT)";
}

// The value as Chromium stores it: prefix, then AES-128-CBC of (from version 24) the host's
// SHA-256 and the value.
std::string encrypt(const BrowserCookie& c, int version, const std::string& password)
{
    unsigned char key[16], iv[16], digest[32];
    const std::string secret = c.tag == "v11" ? password : "peanuts";
    PKCS5_PBKDF2_HMAC_SHA1(secret.data(), int(secret.size()), reinterpret_cast<const unsigned char*>("saltysalt"), 9,
                           1, 16, key);
    std::fill(std::begin(iv), std::end(iv), ' ');
    const std::string& hashed = c.hashed.empty() ? c.host : c.hashed;
    EVP_Digest(hashed.data(), hashed.size(), digest, nullptr, EVP_sha256(), nullptr);
    const std::string plain = (version >= 24 ? std::string(reinterpret_cast<char*>(digest), 32) : "") + c.value;
    std::string out(plain.size() + 16, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    int written = 0, last = 0;
    const std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_EncryptInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key, iv);
    EVP_EncryptUpdate(context.get(), bytes, &written, reinterpret_cast<const unsigned char*>(plain.data()), int(plain.size()));
    EVP_EncryptFinal_ex(context.get(), bytes + written, &last);
    return (c.tag.starts_with("^") ? "v10" : c.tag) + out.substr(0, size_t(written + last));
}

std::string firefoxRow(int schema, const BrowserCookie& c)
{
    const bool container = c.tag.starts_with("^");
    return "INSERT INTO moz_cookies (originAttributes, name, value, host, path, expiry, isSecure) VALUES (" +
           literal(container ? c.tag : "") + ", " + literal(c.name) + ", " + literal(c.value) + ", " + literal(c.host) +
           ", " + literal(c.path) + ", " + std::to_string(schema >= 16 ? c.expiry * 1000 : c.expiry) + ", " + (c.secure ? "1" : "0") + ");";
}

// Creates file afresh with sql run in one transaction.
void create(const std::string& file, const std::string& sql)
{
    std::filesystem::remove(file);
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK) << file;
    exec(db, "BEGIN;" + sql + "COMMIT;");
    sqlite3_close(db);
}

}  // namespace

void makeFirefoxStore(const std::string& file, int schema, const std::vector<BrowserCookie>& cookies)
{
    std::string sql = FIREFOX_TABLE + ("PRAGMA user_version = " + std::to_string(schema) + ";");
    if (schema >= 16)
        sql += "ALTER TABLE moz_cookies ADD COLUMN isPartitionedAttributeSet INTEGER DEFAULT 0;";
    for (const BrowserCookie& c : cookies)
        sql += firefoxRow(schema, c);
    create(file, sql);
}

void makeChromiumStore(const std::string& file, int version, const std::vector<BrowserCookie>& cookies,
                       const std::string& password)
{
    std::string sql = CHROMIUM_TABLES + ("INSERT INTO meta VALUES ('version', '" + std::to_string(version) + "');");
    for (const BrowserCookie& c : cookies) {
        const int64_t expires = c.expiry == 0 ? 0 : (c.expiry + 11644473600) * 1000000;
        sql += "INSERT INTO cookies VALUES (0, " + literal(c.host) + ", '', " + literal(c.name) + ", " +
               literal(c.tag.empty() ? c.value : "") + ", " + blob(c.tag.empty() ? "" : encrypt(c, version, password)) +
               ", " + literal(c.path) + ", " + std::to_string(expires) + ", " + (c.secure ? "1" : "0") + ", 0, 0, 1, 1, 1, -1, 2, 443, 0, 0, 0);";
    }
    create(file, sql);
}

std::shared_ptr<::sqlite3> holdStore(const std::string& file, const std::string& sql,
                                     const std::vector<BrowserCookie>& added)
{
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    std::string all = "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;" + sql;
    for (const BrowserCookie& c : added)
        all += firefoxRow(16, c);
    exec(db, all);
    return {db, sqlite3_close};
}

}  // namespace moontest

// Browsers' cookie databases made by tests and the benchmark, with the tables the browsers
// create: Firefox's moz_cookies (schema 15 and 16) and Chromium's meta and cookies, its values
// encrypted as the browser does.
//
// Contract: test threads only; failures end the test (ADD_FAILURE) and leave what was made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace moontest {

struct BrowserCookie {
    std::string host;        // as the browser stores it: a leading dot for a domain cookie
    std::string name;
    std::string value;
    std::string path = "/";
    bool secure = false;
    int64_t expiry = 0;      // seconds since 1970; 0 for a session cookie
    std::string container = "";   // Firefox's originAttributes
    std::string encryption = "v10";   // Chromium: "v10", "v11", or "" for the plain column
};

// Creates a Firefox cookies.sqlite at file with PRAGMA user_version schema.
void makeFirefoxStore(const std::string& file, int schema, const std::vector<BrowserCookie>& cookies);
// Creates a Chromium Cookies database at file with meta version; v11 values use password.
void makeChromiumStore(const std::string& file, int version, const std::vector<BrowserCookie>& cookies,
                       const std::string& password = "");
// Runs sql on the database at file, failing the test when it fails.
void runSql(const std::string& file, const std::string& sql);

// A second connection that keeps a Firefox store open in WAL mode and never checkpoints, so a
// cookie it adds lies in the -wal alone.
class WalWriter {
public:
    explicit WalWriter(const std::string& file);
    ~WalWriter();
    WalWriter(const WalWriter&) = delete;
    WalWriter& operator=(const WalWriter&) = delete;
    void add(const BrowserCookie& cookie);
    // Runs sql on the held connection (to take a lock and keep it, say).
    void run(const std::string& sql);

private:
    ::sqlite3* db_ = nullptr;
};

}  // namespace moontest

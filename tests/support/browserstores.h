// Browsers' cookie databases for tests and the benchmark, with the browsers' own tables
// (Firefox's moz_cookies, Chromium's meta and cookies) and Chromium's encryption of values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace moontest {

struct BrowserCookie {
    std::string host, name, value;   // host as stored: a leading dot for a domain cookie
    bool secure = false;
    int64_t expiry = 0;              // seconds since 1970; 0 for a session cookie
    std::string tag = "v10";         // Firefox: a container ("^userContextId=2") or not; Chromium:
                                     // "v11", "" (the plain value column), else "v10"
    std::string path = "/";
    std::string hashed = "";         // Chromium from version 24: the host whose hash leads the
                                     // value; empty for host
};

void makeFirefoxStore(const std::string& file, int schema, const std::vector<BrowserCookie>& cookies);
// "v11" values are encrypted with password.
void makeChromiumStore(const std::string& file, int version, const std::vector<BrowserCookie>& cookies,
                       const std::string& password = "");
// Holds a Firefox store open in WAL mode without checkpoints, as the browser does, after running
// sql and adding cookies (which lie in the -wal alone).
std::shared_ptr<::sqlite3> holdStore(const std::string& file, const std::string& sql,
                                     const std::vector<BrowserCookie>& added = {});

}  // namespace moontest

// Cookie store: the cookies of a Netscape-format cookies.txt file or of a browser's cookie
// database (browsers/cookiestores.h) that an HTTP request sends. A cookies.txt is loaded whole
// by the system's bounded reader (Plat_ReadBounded), at most COOKIE_FILE_LIMIT bytes.
//
// Contract:
// - A CookieStore lives for one walk on one thread: zero it, Cookies_Open, read entries
//   front to back, Cookies_Close. It owns its text; the texts of an entry point into it (or to
//   an empty literal) and are valid until the store is closed. Nothing is cached or shared,
//   so any number of threads may walk the same file at once, each with its own store.
// - A cookies.txt is read anew by every Wire_SendCookies; a browser's database is read again
//   when it or its -wal changed since the last read, which any thread may share. Neither is
//   ever written.
// - A cookie is sent when its domain and path match the request, it is secure only over https,
//   and it has not expired (an expiry of 0 or less is a session cookie, which has not). A
//   database's host-only cookie goes to its host alone. The trace shows each cookie's name and
//   the length of its value, never the value.
// - Failures are returned as int32_t codes of net/errors.h, which a request returns as they
//   are: ERR_FILE_* for a file (or database) that cannot be loaded, ERR_BAD_COOKIE,
//   ERR_COOKIE_TOO_LONG, or ERR_CALL_FAILED when the client refuses a header. Trace lines go
//   to the trace log at TRACE_ALL.
#pragma once

#include "net/errors.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct WireRequest;

constexpr int64_t COOKIE_FILE_LIMIT = 0x100000;   // bytes of cookies.txt we are willing to load
constexpr size_t COOKIE_HEADER_CAPACITY = 512;    // one "Cookie: name=value\r\n" with its NUL

struct CookieStore {
    char* text;       // the whole file and a NUL; cut into lines and fields while it is read
    int32_t cursor;   // offset of the first character not yet read
    int32_t size;     // bytes loaded, or the ERR_FILE_* code of a failed load
};

struct CookieEntry {
    bool secure;          // sent over https only
    bool hostOnly;        // for the host that domain names alone
    int64_t expiry;       // seconds since 1970; 0 or less for a session cookie
    const char* domain;   // the host, or a domain the host lies in (a leading '.' is ignored)
    const char* path;     // begins with '/'; "/" matches every object
    const char* name;
    const char* value;    // the rest of the line, TABs included
};

// Reads the browser's database at path as the requests do, and keeps the read for them; false
// with the reason in *failure when it cannot be read.
bool Cookies_CheckStore(const char* path, std::string* failure);

// Loads path into a zeroed store; 0, or the ERR_FILE_* code (also kept in size).
int32_t Cookies_Open(CookieStore* store, const char* path);
// Reads the next cookie line into entry: 1, 0 when none is left, or ERR_BAD_COOKIE for a line
// of fewer than seven TAB-separated fields (the walk may go on behind it). Lines beginning with
// '#' are comments, except that "#HttpOnly_" is a prefix of the domain field and is dropped.
int32_t Cookies_LoadNetscape(CookieStore* store, CookieEntry* entry);
// Like Cookies_LoadNetscape, but skips cookies whose domain and path do not match host and
// object (the object name without its leading '/') and those expired.
int32_t Cookies_NextMatch(CookieStore* store, CookieEntry* entry, const char* host,
                          const char* object);
void Cookies_Close(CookieStore* store);

// Adds a "Cookie:" header to the open, unsent request->hRequest for each cookie of
// request->cookieFile that matches request->hostName and objectName, in file (or database)
// order; secure cookies only when the request's scheme is https. Returns 0
// when the whole file was walked, else the first failure; headers added before it stay added.
int32_t Wire_SendCookies(WireRequest* request);

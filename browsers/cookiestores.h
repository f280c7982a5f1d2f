// Browser cookie stores: the profiles of the browsers a person uses and the reading of one
// profile's cookie database into plain records. Which cookie goes with which request is the
// web layer's business (web/cookies.h).
//
// Contract:
// - Any thread may call; nothing is kept between calls, every call reads the files afresh.
// - Profiles: the Mozilla family's (profiles.h), labelled "<program>: <name>" and keyed by
//   their name as before; then the Chromium family's, one per entry of profile.info_cache in
//   "Local State" under each browser's folder in $XDG_CONFIG_HOME (else ~/.config), labelled
//   "<browser>: <name>" and keyed "<browser folder>/<profile folder>". A Local State that
//   cannot be read, is larger than 2 MB or is not JSON lists no profile; a profile folder that
//   would climb out of the browser's folder ("..") is not listed.
// - A database is never opened where the browser keeps it, nor locked: it is copied with its
//   -wal and -shm into a new private folder (0700) under $XDG_RUNTIME_DIR (else $TMPDIR, else
//   /tmp) and the copy is opened read-only. The folder is removed before the read returns,
//   whatever its result.
// - Firefox (moz_cookies): the default container only; expiry in seconds up to user_version
//   15 and in milliseconds from 16. Chromium (cookies): expires_utc in microseconds since 1601
//   (0 a session cookie); encrypted values "v10" (AES-128-CBC, key from the fixed password)
//   and "v11" (the password the browser keeps in the Secret Service); from meta version 24 a
//   SHA-256 of host_key leads the plain value and is checked and removed. A value that does
//   not decrypt is skipped and counted, with the reason of the last one.
// - Failures are returned as false with a sentence for the person in failure; nothing of a
//   store that fails is handed out.
// - On Windows no profile is listed (CookieStores_ListProfiles is false) and every database
//   read fails with a failure that says reading browsers' cookie databases is not available
//   there: the cookies come from a cookies.txt file the person names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum CookieStoreKind : int32_t { STORE_TEXT, STORE_FIREFOX, STORE_CHROMIUM };

struct BrowserProfile {
    std::string label;       // what the person sees: "Firefox: default-release"
    std::string key;         // what the settings keep
    std::string directory;   // absolute, without a trailing separator
};

struct StoredCookie {
    std::string host;        // without the leading dot of a domain cookie
    std::string path;
    std::string name;
    std::string value;
    bool hostOnly;           // for that host alone, not its subdomains
    bool secure;
    int64_t expiry;          // seconds since 1970; 0 for a session cookie
};

struct StoreRead {
    std::vector<StoredCookie> cookies;
    int32_t skipped = 0;     // values that did not decrypt
    std::string skippedWhy;  // the reason of the last one skipped
    std::string failure;     // why nothing could be read; empty on success
};

// When a store last changed: the modification times (ns) of the file and of its -wal.
struct StoreStamp {
    int64_t file = -1;
    int64_t wal = -1;
    bool operator==(const StoreStamp&) const = default;
};

// The kind of a cookie file, by its name.
CookieStoreKind CookieStores_KindOf(const std::string& file);
// The cookie file of a profile folder: cookies.sqlite, Network/Cookies or Cookies where one
// exists, else cookies.txt.
std::string CookieStores_FileOf(const std::string& directory);
// Every profile found, Mozilla family first; false when no profile list could be read.
bool CookieStores_ListProfiles(std::vector<BrowserProfile>* profiles);
// Reads the store at file into read; false (with read->failure) when it cannot be read.
bool CookieStores_Read(const std::string& file, StoreRead* read);
StoreStamp CookieStores_Stamp(const std::string& file);

// Cookie source: the load that resolves and checks the stored choice of where the cookies of
// HTTP requests come from into the options record, and the lookup of the Netscape users'
// profiles. The dialog that makes the choice is the user interface's (cookiesdialog.h).
//
// Contract:
// - User-interface thread only. The caller owns the options record; only CookieSource_Load
//   changes cookieSource, ifOther and cookieFile.
// - The load knows no window: what it must tell the person it hands to the caller's tell
//   callback (the program shows it in an error box, caption "Error in Moonfetch"); a stored
//   value that cannot be read is returned silently as its positive code.
// - The Netscape users are the browsers' profiles (cookiestores.h), each found by its key; a
//   user's cookie file is the profile's database where it has one, else "cookies.txt". A
//   database that cannot be read fails the load, telling why.
#pragma once

#include "net/errors.h"
#include "settings/options.h"

#include <cstdint>
#include <functional>

// Sizes of the buffers the choice is read into.
constexpr uint32_t COOKIE_USER_SIZE = 256;
constexpr uint32_t COOKIE_PATH_SIZE = 260;

// Tells the person why the load failed, before the load returns its result.
using CookieSourceTell = std::function<void(const char* text)>;

// Reads the stored choice, resolves and checks the cookie file; 0, a positive store error code
// (nothing told), or a negative code after telling the person why (ERR_COOKIE_SOURCE, or the
// setting's own, ERR_VALUE_MISSING or ERR_VALUE_SHORT).
int32_t CookieSource_Load(DownloadOptions* options, const CookieSourceTell& tell);
// Reads the text value name of the stored choice into buffer (capacity bytes); the store's result.
int32_t CookieSource_ReadString(const char* name, char* buffer, uint32_t capacity);
// The profile directory of user into buffer; *size is the capacity in, the bytes of the result
// with its terminator out (0 on failure). 0, or ERR_NO_PROFILE when the user or the profiles are
// not found.
int32_t Netscape_GetProfileDir(const char* user, char* buffer, uint32_t* size);

// URL parsing and local file names (from the URL, or from the name a server gives).
//
// Contract:
// - The caller owns every buffer. Nothing allocates; the pointers handed out point into the
//   caller's URL, which Url_Parse modifies by writing NULs.
// - Every function is reentrant (no state at all) and may run on any thread at once, each call
//   on its own buffers. Url_Parse writes two trace lines; nothing else has side effects.
// - Failures are returned as the ERR_* codes of net/errors.h. Text arguments must not be null unless a
//   function says so.
#pragma once

#include "net/errors.h"

#include <cstddef>
#include <cstdint>

constexpr int32_t SCHEME_HTTP = 1;
constexpr int32_t SCHEME_FTP = 2;
constexpr int32_t SCHEME_HTTPS = 3;

// Splits a writable "http://", "https://" or "ftp://" URL (scheme in any case) in place into
// scheme, host, object (behind the host's '/', query kept, fragment from '#' cut off, may be
// empty) and port (80, 443 or 21, or the number behind a ':' in the host: decimal digits only,
// 1 to 65535, not empty). Returns 0, ERR_BAD_SCHEME (hostName and port untouched) or ERR_BAD_URL (objectName null) when the URL holds a control character (C0, DEL
// or a C1 control in UTF-8), no '/' follows the host, the host name (before any ':') holds '#',
// '?', '@', '%', a backslash or a space, or the port is not such a number. scheme and
// objectName are cleared first in every case.
int32_t Url_Parse(char* url, int32_t* scheme, char** hostName, char** objectName, int32_t* port);
// Url_Parse without its trace lines, for a URL that must not reach the log (the page a link was
// found on, which may name what the person read).
int32_t Url_ParseUntraced(char* url, int32_t* scheme, char** hostName, char** objectName, int32_t* port);

// Writes "<directory>/[<extension>/]<last segment of object>" into out, without the query string;
// directory may be null or empty (no prefix), the extension folder appears only when byExtension
// is set and the segment has a non-empty extension. Returns 0, ERR_BAD_URL when the segment is
// empty, "." or ".." (it would name the download directory or its parent), or ERR_NAME_TOO_LONG
// when the name and its NUL do not fit into outSize characters; out is untouched on failure.
int32_t Url_LocalNameFromURL(const char* object, const char* directory, char* out, size_t outSize,
                         bool byExtension);

// Like Url_LocalNameFromURL, but with the file name that a Content-Disposition header value gives
// ("attachment; filename=a.zip", or RFC 6266's filename*=UTF-8''<percent-escaped name>, which
// wins). Only the name's last path component is used ('/' and backslash both separate), without
// control characters (C0, DEL, C1 in UTF-8) and without the invisible characters that change
// how a name shows (bidirectional controls, other format characters such as U+200B-U+200D,
// U+FEFF and U+00AD, line and paragraph separators); a name too long for out is cut in front
// of its extension, never inside a UTF-8 character. Returns 0, ERR_BAD_URL when the value names no usable file (no name, or an
// empty one, "." or "..", once made safe and cut), or ERR_NAME_TOO_LONG when even a one-character stem
// does not fit; out is untouched on failure.
// The origin of a parsed URL as a Referer names it: "https://host/", with ":port" only when it
// is not the scheme's own; the copy into out is bounded.
void Url_FormatOrigin(int32_t scheme, const char* host, int32_t port, char* out, size_t outSize);
int32_t Url_LocalNameFromDisposition(const char* disposition, const char* directory, char* out,
                                 size_t outSize, bool byExtension);

// HTTP, HTTPS and FTP requests: one network request for one URL, on behalf of a request worker.
//
// Contract:
// - A WireRequest is embedded, zero-filled, in the worker's request record; only the worker
//   thread that owns it touches it, except `abort`, which another thread may set to make every
//   blocked call of the request return at once with a failure.
// - Calling order per request: Wire_Request; for a download Wire_Read until it returns 1 or a
//   negative value (the caller takes `bufferCount` bytes of `buffer` and sets it to 0 after
//   each block); at last Wire_Close.
// - Results: 1 success, 0 a sixth redirect, or a failure named in net/errors.h:
//   ERR_CALL_FAILED for a failed client call or an HTTP failure status (status and statusText
//   say which), else our own ERR_* code, the cookies' included. Nothing is thrown.
//   A refused certificate or secure connection has the client's own words as its statusText.
//   A 206 is taken only as the answer to a request for a range, with a Content-Range of the
//   bytes asked for: one to a request without a range, or to the query's first byte with
//   another range, is a failure (ERR_CALL_FAILED) with our own statusText (a download's rest that does not
//   fit starts over, below). The numbers of Content-Range and Retry-After are taken only
//   within 0..INT64_MAX-1, and a range only with first <= last < total.
// - Every HTTP request asks for the file's checksum (CHECKSUM_WANTED, web/checksums.h); what the
//   answer claims is read from hRequest after a success (Checksums_OfAnswer).
// - Redirects are followed between http, https and ftp alike; one to any other scheme ends the
//   request with ERR_BAD_SCHEME, the redirect's status and a statusText naming that scheme.
//   After an FTP success status and statusText are empty, whatever led there. A query whose
//   HEAD is refused (405, 501) or tells no length asks again with a GET of the first byte
//   ("Range: bytes=0-0") and reads none of its body; the size is then the range's total (206)
//   or the length (200).
// - After a success, hRequest holds the answer that decided until Wire_Close: its headers
//   (Inet_HttpHeader) describe the file, and isPage tells whether its Content-Type names a web
//   page (text/html or application/xhtml+xml, in any case, its parameters aside).
// - A download may continue a file the caller holds in part (resumeFrom, ifRange,
//   expectedSize). HTTP asks for the rest only if the file is still the version of that part
//   ("Range" with "If-Range"); an answer that is not exactly the rest of that version (a 206
//   starting elsewhere, of another size or version, a 416 for a file not complete) makes the
//   request start over for the whole file. A download may also ask for a range that ends early
//   (rangeEnd) or for the file from its first byte (askRange), both only with ifRange: the
//   answer is then a 206 of exactly those bytes of that version, or a 200 of the whole file
//   (resumeFrom 0); a bounded range answered with other bytes, of another size or version, is a
//   failure (ERR_CALL_FAILED) with our own statusText and never starts over. FTP continues only
//   while the server's size is the expected one. After Wire_Request, resumeFrom tells where the
//   data that Wire_Read hands out belong in the file.
// - Wire_Read never hands out a byte behind the end an HTTP answer announced (its Content-Range,
//   else its Content-Length): an answer that goes on ends with ERR_TOO_MANY_BYTES and a
//   statusText that says so, after the bytes up to that end.
#pragma once

#include "net/errors.h"
#include "net/inet.h"
#include "platform/sizes.h"
#include "web/urlparse.h"

#include <cstddef>
#include <cstdint>

constexpr int32_t MODE_QUERY = 0;
constexpr int32_t MODE_DOWNLOAD = 1;

// Where the cookies of a request come from.
constexpr int32_t COOKIES_NONE = 0;
constexpr int32_t COOKIES_NETSCAPE = 1;   // a Netscape cookies.txt file, `cookieFile`
constexpr int32_t COOKIES_SYSTEM = 2;     // the session's own cookie jar

constexpr size_t WIRE_BLOCK = 1024;

struct WireRequest {
    InetHandle* hConnect;
    InetHandle* hRequest;         // HTTP request, FTP size look-up or FTP file
    char* hostName;               // into url
    char* objectName;             // into url
    int32_t scheme;
    int32_t port;
    int32_t cookieSource;         // COOKIES_*
    char cookieFile[PATH_CAPACITY];
    int32_t bufferCount;          // bytes of buffer the caller has not taken yet
    char buffer[WIRE_BLOCK];
    char url[URL_CAPACITY];       // working copy, cut in place by Url_Parse
    char location[URL_CAPACITY];  // redirect target, or the final URL after success
    char statusText[STATUS_CAPACITY];
    uint32_t status;              // HTTP status, or the client's error number
    uint64_t contentLength;       // 0 when the server named none; the whole file after a resume
    InetAbortFlag abort;
    // Download: set by the caller, the bytes of the file it holds already (0: all are wanted),
    // the version they came with (an ETag, else a Last-Modified date) and the file's size as the
    // query learnt it (0: unknown). Afterwards resumeFrom is where the answer's data begin: the
    // same offset, or 0 when the whole file comes.
    int64_t resumeFrom;
    int64_t expectedSize;
    int64_t rangeEnd;             // the byte behind the last one asked for; 0: to the file's end
    bool askRange;                // ask for a range even from the first byte
    char ifRange[ETAG_CAPACITY];
    // The version a 2xx answer names, each empty when it has none that may be kept (too long,
    // or holding a control character).
    char etag[ETAG_CAPACITY];
    char lastModified[DATE_CAPACITY];
    int32_t retryAfter;           // after an HTTP failure: its Retry-After in seconds, else -1
    int64_t bytesLeft;            // download: what the answer announced that is still to come; -1 unknown
    bool complete;                // the part held was the whole file: Wire_Read ends at once
    bool isPage;                  // the 2xx answer that decided is a web page (false for FTP)
    // The Cookie header's value that the browser showing the link would send with it, handed
    // over with the link: it takes the place of cookieSource for handedHost alone, and when
    // handedSecure (it came for an https link and may hold secure cookies) only over https.
    // Null when none; the caller owns the text, which holds no control character. Never traced.
    const char* handedCookies;
    char handedHost[HOST_CAPACITY];
    bool handedSecure;
    // The page the link was found on, handed over with it (null when none; the caller owns the
    // text, which holds no control character), and that page's origin (Url_FormatOrigin's form).
    const char* referrer;
    char referrerOrigin[ORIGIN_CAPACITY];
};

int32_t Wire_Request(WireRequest* request, const char* url, int32_t mode, uint32_t timeout);
int32_t Wire_HTTP_Request(WireRequest* request, int32_t mode, uint32_t timeout);
int32_t Wire_FTP_Request(WireRequest* request, int32_t mode, uint32_t timeout);
// Sets the send and receive time-outs of handle; false at the first that cannot be set.
bool Wire_SetTimeouts(InetHandle* handle, uint32_t timeout);
// Reads the next block: 1 at the end, 0 after a block (or while one is untaken),
// ERR_CALL_FAILED on a client failure, ERR_TOO_MANY_BYTES when the body runs past its
// announced end.
int32_t Wire_Read(WireRequest* request);
// As Wire_Read, into the caller's buffer instead of the request's: what has arrived, up to size
// bytes, and its count in *count. A block Wire_Request left in the request's buffer comes first.
int32_t Wire_ReadInto(WireRequest* request, char* buffer, size_t size, size_t* count);
void Wire_Close(WireRequest* request);

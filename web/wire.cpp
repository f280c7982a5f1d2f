#include "web/wire.h"

#include "diag/trace.h"
#include "platform/text.h"
#include "web/checksums.h"
#include "web/cookies.h"
#include "web/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr int MAX_REDIRECTS = 5;
constexpr const char* TEXT_LIBRARY_ERROR = "WinInet error.";
// Asked of a server that will not tell the size on a HEAD: the first byte, and with it the size.
constexpr char RANGE_FIRST_BYTE[] = "Range: bytes=0-0\r\n";
// The largest number taken from a header: one more still fits into 64 bits.
constexpr int64_t HEADER_NUMBER_MAX = INT64_MAX - 1;
// The characters of a URL's scheme.
constexpr char SCHEME_CHARACTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";

// A refused certificate or secure connection is the person's to judge: it gets its own words.
bool isTellingError(uint32_t error)
{
    return Inet_IsCertificateError(error) || error == INET_ERR_SECURE_CHANNEL;
}

// Stores the calling thread's client error and its text; always ERR_CALL_FAILED.
int32_t failWith(WireRequest* request, const char* timeoutText)
{
    request->status = Inet_LastError();
    if (isTellingError(request->status))
        std::snprintf(request->statusText, sizeof request->statusText, "%s.",
                      Inet_ErrorText(request->status));
    else
        Text_CopyBounded(request->statusText,
                    request->status == INET_ERR_TIMEOUT ? timeoutText : TEXT_LIBRARY_ERROR);
    return ERR_CALL_FAILED;
}

int32_t httpError(WireRequest* request)
{
    failWith(request, "Timeout in HTTP Request.");
    Trace_PrintInt(TRACE_ALL, "Wire_HTTP_Request, hostError = %d\n", int32_t(request->status));
    return ERR_CALL_FAILED;
}

int32_t parseWorkingUrl(WireRequest* request)
{
    return Url_Parse(request->url, &request->scheme, &request->hostName, &request->objectName,
                    &request->port);
}

// How an HTTP status is answered: any 2xx is the file, the redirect codes lead elsewhere,
// everything else (1xx, 300, 304, 4xx, 5xx, ...) is a failure that keeps the server's words.
enum class StatusKind { Success, Redirect, Failure };

StatusKind classify(uint32_t status)
{
    constexpr uint32_t redirects[] = {301, 302, 303, 305, 307, 308};
    if (status / 100 == 2)
        return StatusKind::Success;
    if (std::find(std::begin(redirects), std::end(redirects), status) != std::end(redirects))
        return StatusKind::Redirect;
    return StatusKind::Failure;
}

// A header of the answer that names the file's version; empty when there is none that fits and
// holds no control character (it would end a field of the pending list).
template <size_t N>
void readValidator(InetHandle* answer, const char* name, char (&value)[N])
{
    if (!Inet_HttpHeader(answer, name, value, N) ||
        std::any_of(value, value + std::strlen(value),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        value[0] = '\0';
}

// Whether the answer's Content-Type names a web page; the parameters behind ';' do not count.
bool isPageType(InetHandle* answer)
{
    constexpr std::string_view PAGE_TYPES[] = {"text/html", "application/xhtml+xml"};
    char value[128];
    if (!Inet_HttpHeader(answer, "Content-Type", value, sizeof value))
        return false;
    std::string_view type(value, std::strcspn(value, ";"));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
        type.remove_suffix(1);
    return std::any_of(std::begin(PAGE_TYPES), std::end(PAGE_TYPES),
                       [type](std::string_view page) { return Text_EqualNoCase(type, page); });
}

// Learns what a 2xx answer says of the file: its length (0 when none), the URL it came from and
// its version.
int32_t acceptAnswer(WireRequest* request)
{
    uint64_t length = 0;
    request->contentLength = Inet_HttpContentLength(request->hRequest, &length) ? length : 0;
    if (!Inet_RequestUrl(request->hRequest, request->location, sizeof request->location))
        return httpError(request);
    Trace_PrintString(TRACE_ALL, "Wire_HTTP_Request: OK for %s\n", request->location);
    readValidator(request->hRequest, "ETag", request->etag);
    readValidator(request->hRequest, "Last-Modified", request->lastModified);
    request->isPage = isPageType(request->hRequest);
    return 1;
}

// Reads the decimal number at text into value and steps past it; false when there is none or it
// is larger than HEADER_NUMBER_MAX.
bool readNumber(const char*& text, int64_t* value)
{
    if (*text < '0' || *text > '9')
        return false;
    int64_t number = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const int digit = *text - '0';
        if (number > (HEADER_NUMBER_MAX - digit) / 10)
            return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

// The answer's "Content-Range: bytes first-last/total" ("*" for either side gives -1); false
// when it has none that reads so, or its range is not one of the file's (first > last, last
// behind the total).
bool readContentRange(InetHandle* answer, int64_t* first, int64_t* last, int64_t* total)
{
    char value[128];
    if (!Inet_HttpHeader(answer, "Content-Range", value, sizeof value) || std::strncmp(value, "bytes ", 6) != 0)
        return false;
    const char* at = value + 6;
    *first = *last = *total = -1;
    if (*at == '*')
        ++at;
    else if (!readNumber(at, first) || *at++ != '-' || !readNumber(at, last))
        return false;
    if (*at++ != '/')
        return false;
    if (!(at[0] == '*' && at[1] == '\0') && !(readNumber(at, total) && *at == '\0'))
        return false;
    return *first <= *last && (*total < 0 || *last < *total);
}

// Whether a 206 or 416 answer still speaks of the version that the held part came from: a
// validator it names must be the one sent.
bool sameVersion(const WireRequest* request)
{
    const bool etagSent = request->ifRange[0] == '"' || std::strncmp(request->ifRange, "W/", 2) == 0;
    const char* named = etagSent ? request->etag : request->lastModified;
    return named[0] == '\0' || std::strcmp(named, request->ifRange) == 0;
}

// A total that fits what the query learnt (an unknown one fits anything).
bool expectedTotal(const WireRequest* request, int64_t total)
{
    return request->expectedSize <= 0 || total == request->expectedSize;
}

enum class RangeAnswer { NotPartial, Taken, Refused };

// What a download that asked for the rest of a file got: exactly that rest (206), word that the
// file held was whole already (416), the whole file (200), or something else. With Taken the
// request is done (contentLength is the whole file's size); with Refused it must start over.
RangeAnswer takeRangeAnswer(WireRequest* request, int32_t* result)
{
    const uint32_t status = request->status;
    if (status != 206 && status != 416) {
        if (status / 100 == 2)
            request->resumeFrom = 0;   // the server sends the file from its start
        return RangeAnswer::NotPartial;
    }
    int64_t first = 0, last = 0, total = 0;
    if (!readContentRange(request->hRequest, &first, &last, &total))
        return RangeAnswer::Refused;
    if (status == 206) {
        const int64_t end = total >= 0 ? total : last + 1;
        const int64_t asked = request->rangeEnd > 0 ? request->rangeEnd : end;
        if (first != request->resumeFrom || last + 1 != asked || !expectedTotal(request, end))
            return RangeAnswer::Refused;
        *result = acceptAnswer(request);
        request->contentLength = uint64_t(end);
    } else {
        if (total != request->resumeFrom || !expectedTotal(request, total))
            return RangeAnswer::Refused;
        *result = acceptAnswer(request);
        request->contentLength = uint64_t(total);
        request->complete = true;
    }
    return *result == 1 && !sameVersion(request) ? RangeAnswer::Refused : RangeAnswer::Taken;
}

// The headers that ask for the part of the file behind the bytes held, if it is still their
// version; empty when the whole file is to come.
std::string restHeaders(WireRequest* request)
{
    const bool ranged = request->resumeFrom > 0 || request->askRange || request->rangeEnd > 0;
    if (!ranged || request->ifRange[0] == '\0') {
        request->resumeFrom = 0;
        request->rangeEnd = 0;
        return {};
    }
    request->resumeFrom = std::max<int64_t>(request->resumeFrom, 0);
    Trace_PrintInt64(TRACE_ALL, "Wire_HTTP_Request, resume from %d\n", request->resumeFrom);
    const std::string last = request->rangeEnd > 0 ? std::to_string(request->rangeEnd - 1) : std::string();
    return "Range: bytes=" + std::to_string(request->resumeFrom) + "-" + last + "\r\nIf-Range: " +
           request->ifRange + "\r\n";
}

// The seconds a failure answer asks to wait (Retry-After given in seconds), else -1.
int32_t retryAfterOf(InetHandle* answer)
{
    char value[32];
    const char* at = value;
    int64_t seconds = 0;
    if (!Inet_HttpHeader(answer, "Retry-After", value, sizeof value) || !readNumber(at, &seconds) || *at != '\0')
        return -1;
    return int32_t(std::min<int64_t>(seconds, INT32_MAX));
}

// An FTP download continues only while the server's size is the one the query learnt; with
// an unknown size it starts over.
bool checkFtpResume(WireRequest* request)
{
    if (request->resumeFrom <= 0)
        return true;
    uint64_t size = 0;
    InetHandle* find = Inet_FtpFindFile(request->hConnect, request->objectName, &size);
    if (find == nullptr)
        return false;
    Inet_Close(find);
    if (request->expectedSize <= 0 || int64_t(size) != request->expectedSize || int64_t(size) < request->resumeFrom)
        request->resumeFrom = 0;
    else
        Trace_PrintInt64(TRACE_ALL, "Wire_FTP_Request, resume from %d\n", request->resumeFrom);
    return true;
}

// A part of the file that no request asked for, or another part than the one asked for: the
// server's fault, never a file. ERR_CALL_FAILED.
int32_t partNotAsked(WireRequest* request)
{
    Text_CopyBounded(request->statusText, "The server sent a part of the file that was not asked for.");
    Trace_Print(TRACE_ALL, "Wire_HTTP_Request: a part not asked for");
    return ERR_CALL_FAILED;
}

// The answer to a GET of the first byte decides: a partial one tells the size in its range (which
// must begin with that byte), a whole one in its length, and nothing more of its body is read.
int32_t acceptFirstByte(WireRequest* request)
{
    int64_t first = 0, last = 0, total = 0;
    if (request->status != 206)
        return acceptAnswer(request);
    if (!readContentRange(request->hRequest, &first, &last, &total) || first != 0)
        return partNotAsked(request);
    const int32_t r = acceptAnswer(request);
    request->contentLength = total > 0 ? uint64_t(total) : 0;
    return r;
}

// Whether a HEAD answer leaves the size untold: HEAD refused, or a success without a length.
bool headTellsNoSize(WireRequest* request)
{
    uint64_t length = 0;
    if (request->status == 405 || request->status == 501)
        return true;
    return classify(request->status) == StatusKind::Success &&
           !Inet_HttpContentLength(request->hRequest, &length);
}

const char* verbFor(int32_t mode)
{
    static constexpr const char* verbs[] = {"HEAD", "GET"};   // MODE_QUERY, MODE_DOWNLOAD
    return mode == MODE_QUERY || mode == MODE_DOWNLOAD ? verbs[mode] : nullptr;
}

bool isHttpScheme(int32_t scheme)
{
    return scheme == SCHEME_HTTP || scheme == SCHEME_HTTPS;
}

// Closes any earlier attempt and names the server of this one.
bool connect(WireRequest* request, InetService service, uint32_t timeout)
{
    InetSession* session = Wire_Session();
    if (!Inet_SetConnectTimeout(session, timeout))
        return false;
    Wire_Close(request);
    request->hConnect = Inet_Connect(session, request->hostName, request->port, service,
                                     &request->abort);
    return request->hConnect != nullptr && Wire_SetTimeouts(request->hConnect, timeout);
}

// Whether the cookies handed over with the link are this request's: it goes to their host.
bool handedHere(const WireRequest* request)
{
    return request->handedCookies != nullptr && Text_EqualNoCase(request->hostName, request->handedHost);
}

// Adds the handed-over cookies as they came; nothing over http when they came for https.
bool sendHanded(WireRequest* request)
{
    if (request->handedCookies[0] == '\0' || (request->handedSecure && request->scheme != SCHEME_HTTPS))
        return true;
    const std::string header = std::string("Cookie: ") + request->handedCookies + "\r\n";
    return Inet_HttpAddHeader(request->hRequest, header.data(), header.size());
}

// Tells the page the link was found on as a browser does by default: whole to the page's own
// origin, only its origin to another, and nothing from an https page to an http address.
bool sendReferrer(WireRequest* request)
{
    if (Text_StartsWithNoCase(request->referrerOrigin, "https:") && request->scheme != SCHEME_HTTPS)
        return true;
    char origin[ORIGIN_CAPACITY];
    Url_FormatOrigin(request->scheme, request->hostName, request->port, origin, sizeof origin);
    const bool sameOrigin = Text_EqualNoCase(origin, request->referrerOrigin);
    const std::string header =
        std::string("Referer: ") + (sameOrigin ? request->referrer : request->referrerOrigin) + "\r\n";
    return Inet_HttpAddHeader(request->hRequest, header.data(), header.size());
}

// Opens one request on the connection, with its cookies and header (when not null), sends it
// and reads the answer's status; 1, or the failure to return. A request of an earlier attempt
// on the connection is closed first.
int32_t ask(WireRequest* request, const char* verb, const char* header, uint32_t timeout)
{
    Inet_Close(request->hRequest);
    // The session's own jar is used only when the person chose it and no cookies came with the
    // link for this host; the Netscape file's cookies are added as headers instead.
    const bool handed = handedHere(request);
    bool noCookies = handed || request->cookieSource != COOKIES_SYSTEM;
    request->hRequest = Inet_HttpOpenRequest(request->hConnect, verb, request->objectName, noCookies);
    if (request->hRequest == nullptr || !Wire_SetTimeouts(request->hRequest, timeout) ||
        (header != nullptr && !Inet_HttpAddHeader(request->hRequest, header, std::strlen(header))) ||
        !Inet_HttpAddHeader(request->hRequest, CHECKSUM_WANTED, std::strlen(CHECKSUM_WANTED)))
        return httpError(request);
    if (request->referrer != nullptr && !sendReferrer(request))
        return httpError(request);
    if (handed) {
        if (!sendHanded(request))
            return httpError(request);
    } else if (request->cookieSource == COOKIES_NETSCAPE) {
        // The cookies' failure is the request's, as named (status and statusText stay as they are).
        if (const int32_t cookies = Wire_SendCookies(request))
            return cookies;
    }
    if (!Inet_HttpSend(request->hRequest) || !Inet_HttpStatusCode(request->hRequest, &request->status)
        || !Inet_HttpStatusText(request->hRequest, request->statusText, sizeof request->statusText))
        return httpError(request);
    return 1;
}

// A redirect to an address of a scheme that is not ours ends the request, naming the scheme;
// ERR_BAD_SCHEME.
int32_t refuseScheme(WireRequest* request)
{
    const size_t length = std::strspn(request->location, SCHEME_CHARACTERS);
    std::snprintf(request->statusText, sizeof request->statusText,
                  "Redirected to an address Moonfetch cannot fetch: %.*s", int(length), request->location);
    Trace_PrintString(TRACE_ALL, "Wire_Request: %s\n", request->statusText);
    return ERR_BAD_SCHEME;
}

// The bytes of the file that the answer of a download announced and that are still to come;
// -1 when it announced none.
int64_t announcedRest(const WireRequest* request)
{
    if (!isHttpScheme(request->scheme) || request->contentLength == 0)
        return -1;
    const bool bounded = request->rangeEnd > 0 && request->status == 206;
    return (bounded ? request->rangeEnd : int64_t(request->contentLength)) - request->resumeFrom;
}

}  // namespace

int32_t Wire_Request(WireRequest* request, const char* url, int32_t mode, uint32_t timeout)
{
    if (Wire_Session() == nullptr)
        return ERR_CALL_FAILED;
    Trace_PrintString(TRACE_ALL, "Wire_Request: %s\n", url);
    if (std::strlen(url) >= sizeof request->url)
        return ERR_BAD_URL;
    Text_CopyBounded(request->url, url);
    int32_t r = parseWorkingUrl(request);
    if (r < 0)
        return r;
    request->bytesLeft = -1;
    request->isPage = false;
    for (int redirects = 0;; ++redirects) {
        if (isHttpScheme(request->scheme)) {
            r = Wire_HTTP_Request(request, mode, timeout);
            if (r == 0 || r == 1) {
                // After a 2xx the host and object are those of the final URL.
                Text_CopyBounded(request->url, request->location);
                int32_t parsed = parseWorkingUrl(request);
                if (parsed < 0)
                    return r == 0 && parsed == ERR_BAD_SCHEME ? refuseScheme(request) : parsed;
            }
        } else {
            r = Wire_FTP_Request(request, mode, timeout);
        }
        Trace_PrintInt(TRACE_ALL, "Wire_Request: result = %d\n", r);
        if (r == 1 && mode == MODE_DOWNLOAD)
            request->bytesLeft = announcedRest(request);
        if (r != 0 || redirects == MAX_REDIRECTS)
            return r;
        Trace_PrintString(TRACE_ALL, "Wire_Request: %s\n", request->location);
    }
}

int32_t Wire_HTTP_Request(WireRequest* request, int32_t mode, uint32_t timeout)
{
    Trace_PrintInt(TRACE_ALL, "Wire_HTTP_Request, timeout = %d msec\n", int32_t(timeout));
    request->retryAfter = -1;
    const InetService service = request->scheme == SCHEME_HTTPS ? INET_SERVICE_HTTPS : INET_SERVICE_HTTP;
    if (!connect(request, service, timeout))
        return httpError(request);
    const char* verb = verbFor(mode);
    if (verb == nullptr)
        return ERR_BAD_MODE;
    const std::string rest = mode == MODE_DOWNLOAD ? restHeaders(request) : std::string();
    int32_t r = ask(request, verb, rest.empty() ? nullptr : rest.c_str(), timeout);
    const bool rangeAsked = r == 1 && mode == MODE_QUERY && headTellsNoSize(request);
    if (rangeAsked) {
        Trace_PrintInt(TRACE_ALL, "Wire_HTTP_Request: HEAD answer %d tells no size, GET of byte 0\n",
                       int32_t(request->status));
        r = ask(request, "GET", RANGE_FIRST_BYTE, timeout);
    }
    if (r != 1)
        return r;
    if (!rest.empty()) {
        int32_t result = 1;
        switch (takeRangeAnswer(request, &result)) {
        case RangeAnswer::Taken:
            return result;
        case RangeAnswer::Refused:
            if (request->rangeEnd > 0)
                return partNotAsked(request);
            Trace_Print(TRACE_ALL, "Wire_HTTP_Request, resume refused: from the start");
            request->resumeFrom = 0;
            request->askRange = false;
            request->complete = false;
            return Wire_HTTP_Request(request, mode, timeout);
        case RangeAnswer::NotPartial:
            break;
        }
    }
    switch (classify(request->status)) {
    case StatusKind::Success:
        if (rangeAsked)
            return acceptFirstByte(request);
        return request->status == 206 ? partNotAsked(request) : acceptAnswer(request);
    case StatusKind::Redirect:
        if (!Inet_HttpLocation(request->hRequest, request->location, sizeof request->location))
            return httpError(request);
        return 0;
    case StatusKind::Failure:
        break;
    }
    request->retryAfter = retryAfterOf(request->hRequest);
    return ERR_CALL_FAILED;
}

int32_t Wire_FTP_Request(WireRequest* request, int32_t mode, uint32_t timeout)
{
    Trace_PrintInt(TRACE_ALL, "Wire_FTP_Request, timeout = %d msec\n", int32_t(timeout));
    const char* timeoutText = "Timeout in FTP Request.";
    // This answer, not a redirect that led here, tells how the request went.
    request->status = 0;
    request->statusText[0] = '\0';
    if (!connect(request, INET_SERVICE_FTP, timeout))
        return failWith(request, timeoutText);
    if (mode == MODE_QUERY) {
        uint64_t size = 0;
        request->hRequest = Inet_FtpFindFile(request->hConnect, request->objectName, &size);
        request->contentLength = size;
    } else if (mode == MODE_DOWNLOAD) {
        if (!checkFtpResume(request))
            return failWith(request, timeoutText);
        request->hRequest = Inet_FtpOpenFile(request->hConnect, request->objectName,
                                             uint64_t(request->resumeFrom));
    } else {
        return ERR_BAD_MODE;
    }
    if (request->hRequest == nullptr || !Wire_SetTimeouts(request->hRequest, timeout))
        return failWith(request, timeoutText);
    return 1;
}

bool Wire_SetTimeouts(InetHandle* handle, uint32_t timeout)
{
    return Inet_SetTimeouts(handle, timeout);
}

int32_t Wire_ReadInto(WireRequest* request, char* buffer, size_t size, size_t* count)
{
    *count = 0;
    if (request->bufferCount > 0) {
        *count = std::min(size, size_t(request->bufferCount));
        std::memcpy(buffer, request->buffer, *count);
        std::memmove(request->buffer, request->buffer + *count, size_t(request->bufferCount) - *count);
        request->bufferCount -= int32_t(*count);
        return 0;
    }
    if (request->complete)
        return 1;
    // Never more than the announced rest; at its end one byte is asked for, which must not come.
    size_t room = size;
    if (request->bytesLeft >= 0)
        room = size_t(std::clamp<int64_t>(request->bytesLeft, 1, int64_t(room)));
    if (!Inet_Read(request->hRequest, buffer, room, count))
        return failWith(request, "Timeout in InternetReadFile.");
    if (request->bytesLeft == 0 && *count > 0) {
        *count = 0;
        Text_CopyBounded(request->statusText, Err_Text(uint32_t(ERR_TOO_MANY_BYTES)));
        return ERR_TOO_MANY_BYTES;
    }
    if (request->bytesLeft > 0)
        request->bytesLeft -= int64_t(*count);
    return *count == 0 ? 1 : 0;
}

int32_t Wire_Read(WireRequest* request)
{
    if (request->bufferCount > 0)
        return 0;
    size_t count = 0;
    const int32_t r = Wire_ReadInto(request, request->buffer, sizeof request->buffer, &count);
    request->bufferCount = int32_t(count);
    return r;
}

void Wire_Close(WireRequest* request)
{
    Inet_Close(request->hRequest);
    request->hRequest = nullptr;
    Inet_Close(request->hConnect);
    request->hConnect = nullptr;
}

#include "web/cookies.h"

#include "browsers/cookiestores.h"
#include "diag/trace.h"
#include "net/inet.h"
#include "platform/program.h"
#include "platform/text.h"
#include "web/urlparse.h"
#include "web/wire.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

namespace {

// "Cookie: ", '=', CR LF and the NUL take 12; the rest is the margin we have always kept.
constexpr size_t COOKIE_HEADER_OVERHEAD = 20;

// The fields of a cookie line, in file order.
enum CookieField {
    FIELD_DOMAIN,
    FIELD_DOMAIN_FLAG,
    FIELD_PATH,
    FIELD_SECURE,
    FIELD_EXPIRY,
    FIELD_NAME,
    FIELD_VALUE,
    FIELD_COUNT
};

// The code of a failed read of the cookie file, by the reader's errno; any other is a file
// that cannot be opened.
struct ReadFailure {
    int error;
    int32_t code;
};

constexpr ReadFailure READ_FAILURES[] = {
    {EFBIG, ERR_FILE_TOO_LARGE},
    {ENOMEM, ERR_FILE_NO_MEMORY},
    {EIO, ERR_FILE_SHORT_READ},
};

int32_t readFailure(int error)
{
    for (const ReadFailure& failure : READ_FAILURES)
        if (failure.error == error)
            return failure.code;
    return ERR_FILE_OPEN;
}

// Loads the file at path into a new NUL-terminated buffer for the store (released with
// std::free); its size, or the code of the failure with *text null.
int32_t loadFile(const char* path, char** text)
{
    *text = nullptr;
    if (path == nullptr)
        return ERR_FILE_NO_PATH;
    std::string read;
    if (const int error = Plat_ReadBounded(path, size_t(COOKIE_FILE_LIMIT), &read))
        return readFailure(error);
    *text = static_cast<char*>(std::malloc(read.size() + 1));
    if (*text == nullptr)
        return ERR_FILE_NO_MEMORY;
    std::memcpy(*text, read.c_str(), read.size() + 1);
    return static_cast<int32_t>(read.size());
}

// Browsers and curl write the cookies that scripts may not read (logins, mostly) behind this
// prefix, which hides them from readers that know only comments.
constexpr char HTTP_ONLY_PREFIX[] = "#HttpOnly_";

// The next line that is neither blank nor a comment, cut at its end, with the cursor behind it
// and without an HttpOnly prefix; null (cursor at the end) when none is left.
char* nextCookieLine(CookieStore* store)
{
    while (store->cursor < store->size) {
        char* line = Text_SkipWhite(store->text + store->cursor);
        if (!line || line - store->text >= store->size) {
            store->cursor = store->size;
            return nullptr;
        }
        const char* rest = Text_SplitLine(line);
        store->cursor = rest ? static_cast<int32_t>(rest - store->text) : store->size;
        if (std::strncmp(line, HTTP_ONLY_PREFIX, sizeof HTTP_ONLY_PREFIX - 1) == 0)
            return line + sizeof HTTP_ONLY_PREFIX - 1;
        if (*line != '#')
            return line;
    }
    return nullptr;
}

// Cuts line at its first six TABs; the last field keeps any further TAB. False when one is
// missing (line then ends at its first TAB).
bool splitFields(char* line, char* (&fields)[FIELD_COUNT])
{
    fields[0] = line;
    for (int i = 1; i < FIELD_COUNT; ++i) {
        fields[i] = Text_SplitAtChar('\t', fields[i - 1]);
        if (!fields[i])
            return false;
    }
    return true;
}

// The host is the domain or one of its subdomains, byte for byte: "bank.example" covers
// "www.bank.example" but never "evilbank.example". A leading dot of the domain says nothing more.
bool domainMatches(const char* domain, const char* host)
{
    if (*domain == '.')
        ++domain;
    const size_t domainLen = std::strlen(domain);
    const size_t hostLen = std::strlen(host);
    if (domainLen == 0 || domainLen > hostLen ||
        std::memcmp(host + hostLen - domainLen, domain, domainLen) != 0)
        return false;
    return hostLen == domainLen || host[hostLen - domainLen - 1] == '.';
}

// The path without its '/' begins the object, not necessarily at a '/'; "/" begins every one.
bool pathMatches(const char* path, const char* object)
{
    const char* prefix = path + 1;
    return std::strncmp(object, prefix, std::strlen(prefix)) == 0;
}

// The cookie goes with a request for object on host at the time now.
bool cookieApplies(const CookieEntry& cookie, const char* host, const char* object, int64_t now)
{
    const bool hostMatches =
        cookie.hostOnly ? std::strcmp(cookie.domain, host) == 0 : domainMatches(cookie.domain, host);
    return hostMatches && pathMatches(cookie.path, object) && (cookie.expiry <= 0 || cookie.expiry > now);
}

// Adds one cookie as a "Cookie:" line of its own; the client joins them with "; ".
int32_t addCookieHeader(InetHandle* request, const CookieEntry& cookie)
{
    if (std::strlen(cookie.name) + std::strlen(cookie.value) + COOKIE_HEADER_OVERHEAD >
        COOKIE_HEADER_CAPACITY)
        return ERR_COOKIE_TOO_LONG;
    char header[COOKIE_HEADER_CAPACITY];
    const int length =
        std::snprintf(header, sizeof header, "Cookie: %s=%s\r\n", cookie.name, cookie.value);
    // The value may be a login: the log, which others may read, gets its length alone.
    Trace_PrintString(TRACE_ALL, "Wire_SendCookies: %s = ", cookie.name);
    Trace_PrintInt64(TRACE_ALL, "(%d characters)\n", int64_t(std::strlen(cookie.value)));
    return Inet_HttpAddHeader(request, header, static_cast<size_t>(length)) ? 0 : ERR_CALL_FAILED;
}

// The last database read, kept while neither it nor its -wal changes.
struct CachedStore {
    std::string file;
    StoreStamp stamp;
    std::shared_ptr<const StoreRead> read;
};

std::mutex cacheLock;
CachedStore cache;

// One trace line per read: how many cookies, how many skipped and why, or why it failed.
void traceRead(const char* file, const StoreRead& read)
{
    if (!read.failure.empty()) {
        Trace_PrintString(TRACE_ALL, "Cookies_ReadStore: %s\n", read.failure.c_str());
        return;
    }
    char line[COOKIE_HEADER_CAPACITY];
    std::snprintf(line, sizeof line, "Cookies_ReadStore: %zu cookies, %d skipped%s%s, from ",
                  read.cookies.size(), read.skipped, read.skipped ? " for " : "", read.skippedWhy.c_str());
    Trace_PrintString(TRACE_ALL, "%s", line);
    Trace_PrintString(TRACE_ALL, "%s\n", file);
}

// The last read of the database at file, read again when it changed. A failed read (with its
// failure) is kept too, so that a store that cannot be read (no Secret Service, say) is not
// copied, opened and traced again for every request until it changes.
std::shared_ptr<const StoreRead> storeOf(const char* file)
{
    const StoreStamp stamp = CookieStores_Stamp(file);
    const std::lock_guard<std::mutex> hold(cacheLock);
    if (!cache.read || cache.file != file || !(cache.stamp == stamp)) {
        auto read = std::make_shared<StoreRead>();
        if (!CookieStores_Read(file, read.get()) && read->failure.empty())
            read->failure = "The cookie database cannot be read.";
        traceRead(file, *read);
        cache = {file, stamp, read};
    }
    return cache.read;
}

// Sends the matching cookies of a browser's database, as Wire_SendCookies does a file's.
int32_t sendStoreCookies(WireRequest* request, bool secureChannel)
{
    const std::shared_ptr<const StoreRead> store = storeOf(request->cookieFile);
    if (!store->failure.empty())
        return ERR_FILE_OPEN;
    const int64_t now = std::time(nullptr);
    for (const StoredCookie& stored : store->cookies) {
        const CookieEntry cookie{stored.secure, stored.hostOnly, stored.expiry, stored.host.c_str(),
                                 stored.path.empty() || stored.path[0] != '/' ? "/" : stored.path.c_str(),
                                 stored.name.c_str(), stored.value.c_str()};
        if (!cookieApplies(cookie, request->hostName, request->objectName, now) || (cookie.secure && !secureChannel))
            continue;
        if (const int32_t result = addCookieHeader(request->hRequest, cookie))
            return result;
    }
    return 0;
}

}  // namespace

bool Cookies_CheckStore(const char* path, std::string* failure)
{
    *failure = storeOf(path)->failure;
    return failure->empty();
}

int32_t Cookies_Open(CookieStore* store, const char* path)
{
    Trace_PrintString(TRACE_ALL, "Cookies_Open, load %s\n", path ? path : "");
    // The limit keeps every size and offset of the store within 32 bits.
    store->size = loadFile(path, &store->text);
    store->cursor = 0;
    return store->size < 0 ? store->size : 0;
}

int32_t Cookies_LoadNetscape(CookieStore* store, CookieEntry* entry)
{
    *entry = {false, false, 0, "", "", "", ""};
    char* line = nextCookieLine(store);
    if (!line)
        return 0;
    char* fields[FIELD_COUNT];
    if (!splitFields(line, fields)) {
        Trace_PrintString(TRACE_ALL, "Cookies_LoadNetscape, bad line = %s\n", line);
        return ERR_BAD_COOKIE;
    }
    // ASCII only: no locale may decide which secure flag reads as "FALSE".
    entry->secure = !Text_EqualNoCase(fields[FIELD_SECURE], "FALSE");
    // Exporters write fractions of a second; the whole seconds are enough to tell expired.
    entry->expiry = Text_LeadingNumber(fields[FIELD_EXPIRY]);
    entry->domain = fields[FIELD_DOMAIN];
    entry->path = fields[FIELD_PATH][0] == '/' ? fields[FIELD_PATH] : "/";
    entry->name = fields[FIELD_NAME];
    entry->value = fields[FIELD_VALUE];
    return 1;
}

int32_t Cookies_NextMatch(CookieStore* store, CookieEntry* entry, const char* host,
                          const char* object)
{
    const int64_t now = std::time(nullptr);
    for (;;) {
        const int32_t result = Cookies_LoadNetscape(store, entry);
        if (result != 1 || cookieApplies(*entry, host, object, now))
            return result;
    }
}

void Cookies_Close(CookieStore* store)
{
    std::free(store->text);
    store->text = nullptr;
}

int32_t Wire_SendCookies(WireRequest* request)
{
    // A secure cookie never travels where others could read it.
    const bool secureChannel = request->scheme == SCHEME_HTTPS;
    if (CookieStores_KindOf(request->cookieFile) != STORE_TEXT)
        return sendStoreCookies(request, secureChannel);
    CookieStore store{};
    int32_t result = Cookies_Open(&store, request->cookieFile);
    if (result < 0)
        return result;
    CookieEntry cookie;
    const char* host = request->hostName;
    const char* object = request->objectName;
    while ((result = Cookies_NextMatch(&store, &cookie, host, object)) == 1) {
        if ((secureChannel || !cookie.secure) && (result = addCookieHeader(request->hRequest, cookie)) != 0)
            break;
    }
    Cookies_Close(&store);
    return result;
}

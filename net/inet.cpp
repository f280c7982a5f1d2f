#include "net/inet.h"

#include "platform/files.h"
#include "platform/text.h"
#include "store/regstore.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t DEFAULT_TIMEOUT_MS = 60000;
// The longest a blocked call sleeps before it looks at its abort flag again.
constexpr int POLL_SLICE_MS = 50;
// The session's cookie jar on disk, in the Netscape format, beside the settings file. It holds
// login cookies: a new jar is for its owner's eyes only, and so is a new folder for it.
constexpr const char* COOKIE_JAR_NAME = "cookies-session.txt";
constexpr const char* COOKIE_JAR_HEAD = "# Netscape HTTP Cookie File\n\n";
constexpr mode_t COOKIE_JAR_MODE = S_IRUSR | S_IWUSR;
constexpr mode_t COOKIE_FOLDER_MODE = S_IRWXU;

thread_local uint32_t lastError = 0;

// The transfer engine that a thread keeps for all its requests once it asked to keep its
// connections: its cache holds them open for the thread's next request to the same server.
struct ThreadEngine {
    bool keep = false;
    CURLM* multi = nullptr;
    ~ThreadEngine() { curl_multi_cleanup(multi); }
};
thread_local ThreadEngine threadEngine;

bool fail(uint32_t error)
{
    lastError = error;
    return false;
}

// What OpenSSL, which libcurl verifies with, says of a certificate it refused. A refused host
// name comes with the chain's verdict (sound) or, when libcurl checks the name first, with the
// "unspecified" value it starts from.
constexpr long VERIFY_ANY = -1;
constexpr long VERIFY_OK = 0;
constexpr long VERIFY_UNSPECIFIED = 1;
constexpr long VERIFY_NOT_YET_VALID = 9;
constexpr long VERIFY_EXPIRED = 10;

// libcurl's codes (and, for a refused certificate, OpenSSL's verdict) for the cases the program
// tells apart; the first row that matches decides, every other code is INET_ERR_INTERNAL.
struct ErrorMapping {
    CURLcode code;
    uint32_t error;
    long verify = VERIFY_ANY;
};

constexpr ErrorMapping ERROR_TABLE[] = {
    {CURLE_OPERATION_TIMEDOUT, INET_ERR_TIMEOUT},
    {CURLE_COULDNT_RESOLVE_HOST, INET_ERR_NAME_NOT_RESOLVED},
    {CURLE_COULDNT_CONNECT, INET_ERR_CANNOT_CONNECT},
    {CURLE_RECV_ERROR, INET_ERR_CONNECTION_ABORTED},
    {CURLE_SEND_ERROR, INET_ERR_CONNECTION_ABORTED},
    {CURLE_PARTIAL_FILE, INET_ERR_CONNECTION_ABORTED},
    {CURLE_GOT_NOTHING, INET_ERR_CONNECTION_ABORTED},
    {CURLE_REMOTE_FILE_NOT_FOUND, INET_ERR_FTP_REFUSED},
    {CURLE_REMOTE_ACCESS_DENIED, INET_ERR_FTP_REFUSED},
    {CURLE_LOGIN_DENIED, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_WEIRD_PASS_REPLY, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_WEIRD_PASV_REPLY, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_WEIRD_227_FORMAT, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_CANT_GET_HOST, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_COULDNT_SET_TYPE, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_COULDNT_RETR_FILE, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_PORT_FAILED, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_COULDNT_USE_REST, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_PRET_FAILED, INET_ERR_FTP_REFUSED},
    {CURLE_FTP_BAD_FILE_LIST, INET_ERR_FTP_REFUSED},
    {CURLE_QUOTE_ERROR, INET_ERR_FTP_REFUSED},
    {CURLE_ABORTED_BY_CALLBACK, INET_ERR_CANCELLED},
    {CURLE_PEER_FAILED_VERIFICATION, INET_ERR_CERT_NAME, VERIFY_OK},
    {CURLE_PEER_FAILED_VERIFICATION, INET_ERR_CERT_NAME, VERIFY_UNSPECIFIED},
    {CURLE_PEER_FAILED_VERIFICATION, INET_ERR_CERT_DATE, VERIFY_NOT_YET_VALID},
    {CURLE_PEER_FAILED_VERIFICATION, INET_ERR_CERT_DATE, VERIFY_EXPIRED},
    {CURLE_PEER_FAILED_VERIFICATION, INET_ERR_CERT_AUTHORITY},
    {CURLE_SSL_CACERT_BADFILE, INET_ERR_CERT_AUTHORITY},
    {CURLE_SSL_CONNECT_ERROR, INET_ERR_SECURE_CHANNEL},
};

uint32_t errorOf(CURLcode code, long verify = VERIFY_ANY)
{
    for (const ErrorMapping& mapping : ERROR_TABLE)
        if (mapping.code == code && (mapping.verify == VERIFY_ANY || mapping.verify == verify))
            return mapping.error;
    return INET_ERR_INTERNAL;
}

// libcurl's global set-up is not thread-safe and must run once per process. Writing to a
// connection the peer has closed must give an error, not end the program.
bool startLibrary()
{
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        std::signal(SIGPIPE, SIG_IGN);
        started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    });
    return started;
}

}  // namespace

struct InetSession {
    std::string agent;
    std::atomic<uint32_t> connectTimeout{DEFAULT_TIMEOUT_MS};
    // The cookie jar that requests without noCookies share, across worker threads.
    CURLSH* share = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
    // Where the jar is kept between runs; empty when there is no settings folder.
    std::string jarPath;
    // Orders the jar's writes, and holds the text last written, which needs no writing again.
    std::mutex jarLock;
    std::string jarText;
};

enum class HandleKind { CONNECTION, HTTP, FTP_FIND, FTP_FILE };

struct InetHandle {
    HandleKind kind = HandleKind::CONNECTION;
    InetSession* session = nullptr;
    InetAbortFlag* abort = nullptr;
    uint32_t timeout = DEFAULT_TIMEOUT_MS;
    // Connection: the server that requests opened from it go to.
    std::string host;
    int port = 0;
    InetService service = INET_SERVICE_HTTP;
    // Request or file: one transfer on a multi handle of its own (or its thread's, which it
    // does not own), to the URL parsed once here.
    CURLU* url = nullptr;
    CURL* easy = nullptr;
    bool usesJar = false;
    CURLM* multi = nullptr;
    bool ownsMulti = true;
    curl_slist* headers = nullptr;
    std::string cookies;
    bool started = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    bool cancelled = false;
    // Set once the server has been reached; until then libcurl's connect time-out rules.
    bool connected = false;
    Clock::time_point lastProgress;
    // The body data held for Inet_Read; libcurl is paused when it brings more than the chunk
    // has room for.
    std::string chunk;
    size_t chunkUsed = 0;
    bool paused = false;
    // From the header lines: the last status line and whether its header block has ended.
    uint32_t status = 0;
    std::string statusText;
    bool headersDone = false;
};

namespace {

// libcurl's receive buffer, and the most the chunk holds: a fast server fills it, so that each
// chunk costs fewer receive calls and fewer trips through the pump.
constexpr long BODY_BUFFER = 128L << 10;

bool hasChunk(const InetHandle& handle)
{
    return handle.chunkUsed < handle.chunk.size();
}

bool isHeadersDone(const InetHandle& handle)
{
    return handle.headersDone;
}

bool isNever(const InetHandle&)
{
    return false;
}

void noteProgress(InetHandle* handle)
{
    handle->connected = true;
    handle->lastProgress = Clock::now();
}

size_t onBody(char* data, size_t size, size_t count, void* user)
{
    auto* handle = static_cast<InetHandle*>(user);
    size_t length = size * count;
    // A size look-up gets made-up header lines here; it has no body to keep.
    if (handle->kind == HandleKind::FTP_FIND)
        return length;
    // libcurl hands at most 16 KiB a call: what arrived together is kept together, up to the
    // buffer's size, so that a reader may take it at once.
    const size_t unread = handle->chunk.size() - handle->chunkUsed;
    if (unread > 0 && unread + length > size_t(BODY_BUFFER)) {
        handle->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    handle->chunk.erase(0, handle->chunkUsed);
    handle->chunk.append(data, length);
    handle->chunkUsed = 0;
    noteProgress(handle);
    return length;
}

// "HTTP/1.1 404 Not Found": the code and the reason phrase; a new status line (after a 1xx or
// a redirect) starts a new header block.
void readStatusLine(InetHandle* handle, std::string_view line)
{
    size_t codeAt = line.find(' ');
    if (codeAt == std::string_view::npos)
        return;
    std::string_view rest = line.substr(codeAt + 1);
    handle->status = 0;
    size_t digits = 0;
    for (; digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9'; ++digits)
        handle->status = handle->status * 10 + static_cast<uint32_t>(rest[digits] - '0');
    rest.remove_prefix(digits);
    if (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    handle->statusText.assign(rest.substr(0, rest.find_first_of("\r\n")));
    handle->headersDone = false;
}

size_t onHeader(char* data, size_t size, size_t count, void* user)
{
    auto* handle = static_cast<InetHandle*>(user);
    size_t length = size * count;
    noteProgress(handle);
    if (handle->kind != HandleKind::HTTP)
        return length;
    std::string_view line(data, length);
    if (line.starts_with("HTTP/"))
        readStatusLine(handle, line);
    else if ((line == "\r\n" || line == "\n") && handle->status / 100 != 1)
        handle->headersDone = true;
    return length;
}

// Called when the connection stands and the request is about to go out.
int onConnected(void* user, char*, char*, int, int)
{
    noteProgress(static_cast<InetHandle*>(user));
    return CURL_PREREQFUNC_OK;
}

void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* user)
{
    static_cast<InetSession*>(user)->locks[data].lock();
}

void unlockShare(CURL*, curl_lock_data data, void* user)
{
    static_cast<InetSession*>(user)->locks[data].unlock();
}

CURLSH* newCookieShare(InetSession* session)
{
    CURLSH* share = curl_share_init();
    if (share == nullptr)
        return nullptr;
    bool ok = curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lockShare) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlockShare) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_USERDATA, session) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) == CURLSHE_OK;
    if (!ok) {
        curl_share_cleanup(share);
        return nullptr;
    }
    return share;
}

// The jar file in the settings folder, which is created for it; empty when there is none.
std::string cookieJarPath()
{
    std::filesystem::path settings = RegStore_FilePath(REG_ROOT_CURRENT_USER);
    if (settings.empty() || Plat_CreateFolders(settings.parent_path().string(), COOKIE_FOLDER_MODE) != 0)
        return {};
    return (settings.parent_path() / COOKIE_JAR_NAME).string();
}

// Reads the jar that an earlier run left into the shared cookies; a missing file is an empty jar.
void loadCookieJar(InetSession* session)
{
    CURL* easy = curl_easy_init();
    if (easy == nullptr)
        return;
    if (curl_easy_setopt(easy, CURLOPT_SHARE, session->share) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, session->jarPath.c_str()) == CURLE_OK)
        curl_easy_setopt(easy, CURLOPT_COOKIELIST, "RELOAD");
    curl_easy_cleanup(easy);
}

// Switches the request's cookie engine on with the session's jar, which is written back to the
// file when the request is closed.
bool useCookieJar(InetHandle* request)
{
    CURL* easy = request->easy;
    // An empty cookie file name switches libcurl's cookie engine on without reading a file.
    request->usesJar = curl_easy_setopt(easy, CURLOPT_SHARE, request->session->share) == CURLE_OK &&
                       curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "") == CURLE_OK;
    return request->usesJar;
}

// Writes the whole jar as the request leaves it, so that what a server set during a query is
// there for the download and for the next run. libcurl would write the file itself, through a
// link and in place; the program's own replacement keeps a link a link and never leaves half a
// jar. Nothing is written while the cookies stay as last written.
void saveCookieJar(InetHandle* request)
{
    InetSession* session = request->session;
    curl_slist* cookies = nullptr;
    std::lock_guard guard(session->jarLock);
    if (session->jarPath.empty() || curl_easy_getinfo(request->easy, CURLINFO_COOKIELIST, &cookies) != CURLE_OK)
        return;
    std::string text = COOKIE_JAR_HEAD;
    for (const curl_slist* line = cookies; line != nullptr; line = line->next)
        text.append(line->data).append("\n");
    curl_slist_free_all(cookies);
    if (text != session->jarText &&
        Plat_ReplaceFile(session->jarPath.c_str(), text.data(), text.size(), COOKIE_JAR_MODE) == 0)
        session->jarText = std::move(text);
}

bool isAborted(InetHandle* handle)
{
    if (handle->abort != nullptr && handle->abort->load())
        handle->cancelled = true;
    return handle->cancelled;
}

// A handle of the kind the call needs, not aborted; else the call's failure is set.
bool usable(InetHandle* handle, HandleKind kind)
{
    if (handle == nullptr || handle->kind != kind)
        return fail(INET_ERR_INTERNAL);
    if (isAborted(handle))
        return fail(INET_ERR_CANCELLED);
    return true;
}

bool usableTransfer(InetHandle* handle)
{
    if (handle != nullptr && (handle->kind == HandleKind::HTTP || handle->kind == HandleKind::FTP_FILE))
        return usable(handle, handle->kind);
    return fail(INET_ERR_INTERNAL);
}

// Bytes that may not stand in a URL as they are (spaces, controls, non-ASCII) are escaped, and
// so is '#': an object has no fragment, all of it goes to the server.
void appendEscaped(std::string& url, const char* object)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    for (const char* at = object; *at != '\0'; ++at) {
        auto byte = static_cast<unsigned char>(*at);
        if (byte > 0x20 && byte < 0x7F && byte != '#') {
            url += *at;
            continue;
        }
        url += '%';
        url += HEX[byte >> 4];
        url += HEX[byte & 0x0F];
    }
}

struct ServiceScheme {
    InetService service;
    const char* prefix;
    int defaultPort;
};

constexpr ServiceScheme SERVICE_SCHEMES[] = {
    {INET_SERVICE_HTTP, "http://", 80},
    {INET_SERVICE_HTTPS, "https://", 443},
    {INET_SERVICE_FTP, "ftp://", 21},
};

const ServiceScheme& schemeOf(InetService service)
{
    for (const ServiceScheme& scheme : SERVICE_SCHEMES)
        if (scheme.service == service)
            return scheme;
    return SERVICE_SCHEMES[0];
}

bool isHttp(InetService service)
{
    return service == INET_SERVICE_HTTP || service == INET_SERVICE_HTTPS;
}

// "scheme://host[:port]/object", the port left out when it is the scheme's default.
std::string urlOf(const InetHandle& connection, const char* object)
{
    const ServiceScheme& scheme = schemeOf(connection.service);
    std::string url = scheme.prefix;
    url += connection.host;
    if (connection.port != scheme.defaultPort) {
        url += ':';
        url += std::to_string(connection.port);
    }
    url += '/';
    appendEscaped(url, object);
    return url;
}

// Whether libcurl reads exactly the connection's server out of url: a host holding URL
// punctuation or escapes would send the request, and any cookies meant for the host, elsewhere.
bool namesServerOf(CURLU* url, const InetHandle& connection)
{
    char* host = nullptr;
    char* port = nullptr;
    bool same = curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK &&
                connection.host == host && std::to_string(connection.port) == port;
    curl_free(host);
    curl_free(port);
    return same;
}

// The URL of object on the connection's server, parsed once (libcurl removes dot segments); null
// when that names another server, or none.
CURLU* parseUrl(const InetHandle& connection, const char* object)
{
    CURLU* url = curl_url();
    if (url == nullptr) {
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    if (curl_url_set(url, CURLUPART_URL, urlOf(connection, object).c_str(), 0) != CURLUE_OK ||
        !namesServerOf(url, connection)) {
        curl_url_cleanup(url);
        fail(INET_ERR_NAME_NOT_RESOLVED);
        return nullptr;
    }
    return url;
}

InetHandle* newHandle(HandleKind kind, InetSession* session, InetAbortFlag* abort)
{
    auto* handle = new (std::nothrow) InetHandle;
    if (handle != nullptr) {
        handle->kind = kind;
        handle->session = session;
        handle->abort = abort;
    }
    return handle;
}

void freeTransfer(InetHandle* handle)
{
    if (handle->multi != nullptr && handle->easy != nullptr)
        curl_multi_remove_handle(handle->multi, handle->easy);
    if (handle->usesJar)
        saveCookieJar(handle);
    curl_easy_cleanup(handle->easy);
    if (handle->ownsMulti)
        curl_multi_cleanup(handle->multi);
    curl_url_cleanup(handle->url);
    curl_slist_free_all(handle->headers);
    delete handle;
}

// The calling thread's engine, made at its first request; null when it cannot be made.
CURLM* threadMulti()
{
    if (threadEngine.multi == nullptr)
        threadEngine.multi = curl_multi_init();
    return threadEngine.multi;
}

// A transfer handle for object with the options every request and file shares; null with the
// error set.
InetHandle* newTransfer(InetHandle* connection, HandleKind kind, const char* object)
{
    CURLU* url = parseUrl(*connection, object);
    if (url == nullptr)
        return nullptr;
    InetHandle* handle = newHandle(kind, connection->session, connection->abort);
    if (handle == nullptr) {
        curl_url_cleanup(url);
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    handle->url = url;
    handle->timeout = connection->timeout;
    handle->easy = curl_easy_init();
    handle->ownsMulti = !threadEngine.keep;
    handle->multi = handle->ownsMulti ? curl_multi_init() : threadMulti();
    CURL* easy = handle->easy;
    // Handing libcurl the parsed URL, not its text, leaves it nothing to read differently.
    bool ok = easy != nullptr && handle->multi != nullptr &&
              curl_easy_setopt(easy, CURLOPT_CURLU, url) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                               static_cast<long>(handle->session->connectTimeout.load())) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, BODY_BUFFER) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEDATA, handle) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HEADERDATA, handle) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, onConnected) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_PREREQDATA, handle) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_PRIVATE, handle) == CURLE_OK;
    if (!ok) {
        freeTransfer(handle);
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    return handle;
}

// Lets libcurl do what it can without waiting and collects the end of the transfer.
bool perform(InetHandle* handle)
{
    int running = 0;
    if (curl_multi_perform(handle->multi, &running) != CURLM_OK)
        return fail(INET_ERR_INTERNAL);
    int queued = 0;
    // A thread's engine may carry another open transfer of the thread: each end goes to its own.
    while (CURLMsg* message = curl_multi_info_read(handle->multi, &queued)) {
        InetHandle* owner = nullptr;
        if (message->msg == CURLMSG_DONE &&
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner) == CURLE_OK && owner) {
            owner->done = true;
            owner->result = message->data.result;
        }
    }
    return true;
}

// Milliseconds the next wait may last: a poll slice, less when the receive time-out is near,
// 0 when it has passed. Before the server is reached libcurl's connect time-out rules.
int waitBudget(const InetHandle& handle)
{
    if (!handle.connected)
        return POLL_SLICE_MS;
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - handle.lastProgress);
    auto left = static_cast<int64_t>(handle.timeout) - waited.count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, POLL_SLICE_MS));
}

// Runs the transfer until ready holds or it ends; false on an abort, a time-out without
// progress or a failure of libcurl itself (a failed transfer is left in result).
bool pump(InetHandle* handle, bool (*ready)(const InetHandle&))
{
    handle->lastProgress = Clock::now();
    while (true) {
        if (!perform(handle))
            return false;
        if (ready(*handle) || handle->done)
            return true;
        if (isAborted(handle))
            return fail(INET_ERR_CANCELLED);
        int budget = waitBudget(*handle);
        if (budget == 0)
            return fail(INET_ERR_TIMEOUT);
        if (curl_multi_poll(handle->multi, nullptr, 0, budget, nullptr) != CURLM_OK)
            return fail(INET_ERR_INTERNAL);
    }
}

bool start(InetHandle* handle)
{
    if (handle->started)
        return fail(INET_ERR_INTERNAL);
    handle->started = true;
    if (curl_multi_add_handle(handle->multi, handle->easy) != CURLM_OK)
        return fail(INET_ERR_INTERNAL);
    return true;
}

// OpenSSL's verdict on the server's certificate, as far as the transfer got; VERIFY_ANY when
// there is none to tell.
long verdictOf(const InetHandle& handle)
{
    long verify = VERIFY_ANY;
    if (curl_easy_getinfo(handle.easy, CURLINFO_SSL_VERIFYRESULT, &verify) != CURLE_OK)
        return VERIFY_ANY;
    return verify;
}

// The transfer's own failure once ready did not come; a clean end is no failure.
bool endedWell(const InetHandle& handle)
{
    if (handle.done && handle.result != CURLE_OK)
        return fail(errorOf(handle.result, verdictOf(handle)));
    return true;
}

// Starts an FTP transfer and runs it until ready; the handle, or null (and it is closed).
InetHandle* runFtp(InetHandle* handle, bool (*ready)(const InetHandle&))
{
    long responseSeconds = static_cast<long>((handle->timeout + 999) / 1000);
    bool ok = curl_easy_setopt(handle->easy, CURLOPT_TRANSFERTEXT, 0L) == CURLE_OK &&
              curl_easy_setopt(handle->easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, responseSeconds) == CURLE_OK &&
              start(handle) && pump(handle, ready) && (ready(*handle) || endedWell(*handle));
    if (ok)
        return handle;
    Inet_Close(handle);
    return nullptr;
}

bool copyOut(const char* text, char* buffer, size_t size)
{
    if (text == nullptr)
        return fail(INET_ERR_INTERNAL);
    size_t length = std::strlen(text);
    if (length >= size)
        return fail(INET_ERR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text, length + 1);
    return true;
}

bool copyInfo(InetHandle* handle, CURLINFO info, char* buffer, size_t size)
{
    if (!usable(handle, HandleKind::HTTP))
        return false;
    if (!handle->started)
        return fail(INET_ERR_INTERNAL);
    const char* text = nullptr;
    if (curl_easy_getinfo(handle->easy, info, &text) != CURLE_OK)
        return fail(INET_ERR_INTERNAL);
    return copyOut(text, buffer, size);
}

// The authorities' file that curl's own tool would take from the environment; null for the
// system's store.
const char* authorityFile()
{
    for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
        const char* file = std::getenv(name);
        if (file != nullptr && *file != '\0')
            return file;
    }
    return nullptr;
}

// The server must show a certificate that a trusted authority made for the host.
bool verifyServer(CURL* easy)
{
    const char* authorities = authorityFile();
    return curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
           (authorities == nullptr || curl_easy_setopt(easy, CURLOPT_CAINFO, authorities) == CURLE_OK);
}

// Adds "name=value" pairs of a "Cookie:" line to the one cookie header of the request.
void addCookies(InetHandle* request, std::string_view pairs)
{
    while (!pairs.empty() && pairs.front() == ' ')
        pairs.remove_prefix(1);
    if (pairs.empty())
        return;
    if (!request->cookies.empty())
        request->cookies += "; ";
    request->cookies += pairs;
}

// One header line without its line end: cookies go into the one "Cookie:" header that libcurl
// also puts the jar's cookies in, anything else is sent as it is.
bool addHeaderLine(InetHandle* request, std::string_view line)
{
    constexpr std::string_view COOKIE = "Cookie:";
    if (Text_StartsWithNoCase(line, COOKIE)) {
        addCookies(request, line.substr(COOKIE.size()));
        return curl_easy_setopt(request->easy, CURLOPT_COOKIE, request->cookies.c_str()) == CURLE_OK;
    }
    curl_slist* headers = curl_slist_append(request->headers, std::string(line).c_str());
    if (headers == nullptr)
        return false;
    request->headers = headers;
    return curl_easy_setopt(request->easy, CURLOPT_HTTPHEADER, headers) == CURLE_OK;
}

}  // namespace

InetSession* Inet_Open(const char* agent)
{
    if (agent == nullptr || !startLibrary())
        return nullptr;
    auto* session = new (std::nothrow) InetSession;
    if (session == nullptr)
        return nullptr;
    session->agent = agent;
    session->share = newCookieShare(session);
    if (session->share == nullptr) {
        delete session;
        return nullptr;
    }
    session->jarPath = cookieJarPath();
    if (!session->jarPath.empty())
        loadCookieJar(session);
    return session;
}

void Inet_KeepConnections()
{
    threadEngine.keep = true;
}

bool Inet_SetConnectTimeout(InetSession* session, uint32_t milliseconds)
{
    if (session == nullptr)
        return fail(INET_ERR_INTERNAL);
    session->connectTimeout.store(milliseconds);
    return true;
}

InetHandle* Inet_Connect(InetSession* session, const char* host, int port, InetService service,
                         InetAbortFlag* abort)
{
    if (session == nullptr || host == nullptr || *host == '\0' || port <= 0 || port > 65535) {
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    InetHandle* connection = newHandle(HandleKind::CONNECTION, session, abort);
    if (connection == nullptr) {
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    connection->host = host;
    connection->port = port;
    connection->service = service;
    return connection;
}

bool Inet_SetTimeouts(InetHandle* handle, uint32_t milliseconds)
{
    if (handle == nullptr)
        return fail(INET_ERR_INTERNAL);
    handle->timeout = milliseconds;
    return true;
}

InetHandle* Inet_HttpOpenRequest(InetHandle* connection, const char* verb, const char* object,
                                 bool noCookies)
{
    if (!usable(connection, HandleKind::CONNECTION))
        return nullptr;
    bool head = verb != nullptr && std::strcmp(verb, "HEAD") == 0;
    bool get = verb != nullptr && std::strcmp(verb, "GET") == 0;
    if (!isHttp(connection->service) || object == nullptr || !(head || get)) {
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    InetHandle* request = newTransfer(connection, HandleKind::HTTP, object);
    if (request == nullptr)
        return nullptr;
    CURL* easy = request->easy;
    // HTTP/2 has no reason phrase, and the status text is what a person reads.
    bool ok = curl_easy_setopt(easy, CURLOPT_USERAGENT, request->session->agent.c_str()) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_NOBODY, head ? 1L : 0L) == CURLE_OK &&
              (connection->service != INET_SERVICE_HTTPS || verifyServer(easy)) &&
              (noCookies || useCookieJar(request));
    if (!ok) {
        Inet_Close(request);
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    return request;
}

bool Inet_HttpAddHeader(InetHandle* request, const char* header, size_t length)
{
    if (!usable(request, HandleKind::HTTP))
        return false;
    if (header == nullptr || request->started)
        return fail(INET_ERR_INTERNAL);
    std::string_view text(header, length);
    while (!text.empty()) {
        size_t end = std::min(text.find_first_of("\r\n"), text.size());
        if (end > 0 && !addHeaderLine(request, text.substr(0, end)))
            return fail(INET_ERR_INTERNAL);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return true;
}

bool Inet_HttpSend(InetHandle* request)
{
    if (!usable(request, HandleKind::HTTP) || !start(request) || !pump(request, isHeadersDone))
        return false;
    return request->headersDone || endedWell(*request);
}

bool Inet_HttpStatusCode(InetHandle* request, uint32_t* status)
{
    if (!usable(request, HandleKind::HTTP))
        return false;
    if (request->status == 0)
        return fail(INET_ERR_INTERNAL);
    *status = request->status;
    return true;
}

bool Inet_HttpStatusText(InetHandle* request, char* buffer, size_t size)
{
    if (!usable(request, HandleKind::HTTP))
        return false;
    if (request->status == 0)
        return fail(INET_ERR_INTERNAL);
    return copyOut(request->statusText.c_str(), buffer, size);
}

bool Inet_HttpContentLength(InetHandle* request, uint64_t* length)
{
    if (!usable(request, HandleKind::HTTP))
        return false;
    curl_off_t value = -1;
    if (curl_easy_getinfo(request->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &value) != CURLE_OK || value < 0)
        return fail(INET_ERR_INTERNAL);
    *length = static_cast<uint64_t>(value);
    return true;
}

bool Inet_RequestUrl(InetHandle* request, char* buffer, size_t size)
{
    return copyInfo(request, CURLINFO_EFFECTIVE_URL, buffer, size);
}

bool Inet_HttpLocation(InetHandle* request, char* buffer, size_t size)
{
    return copyInfo(request, CURLINFO_REDIRECT_URL, buffer, size);
}

bool Inet_HttpHeader(InetHandle* request, const char* name, char* buffer, size_t size)
{
    if (!usable(request, HandleKind::HTTP))
        return false;
    if (!request->started || name == nullptr)
        return fail(INET_ERR_INTERNAL);
    // Request -1 is the last answer of the transfer; its interim (1xx) headers are not asked.
    curl_header* header = nullptr;
    if (curl_easy_header(request->easy, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return fail(INET_ERR_HEADER_NOT_FOUND);
    if (header->amount > 1 &&
        curl_easy_header(request->easy, name, header->amount - 1, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return fail(INET_ERR_HEADER_NOT_FOUND);
    return copyOut(header->value, buffer, size);
}

InetHandle* Inet_FtpFindFile(InetHandle* connection, const char* object, uint64_t* size)
{
    if (!usable(connection, HandleKind::CONNECTION))
        return nullptr;
    if (connection->service != INET_SERVICE_FTP || object == nullptr || size == nullptr) {
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    InetHandle* find = newTransfer(connection, HandleKind::FTP_FIND, object);
    if (find == nullptr)
        return nullptr;
    if (curl_easy_setopt(find->easy, CURLOPT_NOBODY, 1L) != CURLE_OK) {
        Inet_Close(find);
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    find = runFtp(find, isNever);
    if (find == nullptr)
        return nullptr;
    // A server that cannot tell the size gives 0, as an HTTP answer without a length does.
    curl_off_t value = -1;
    curl_easy_getinfo(find->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &value);
    *size = value < 0 ? 0 : static_cast<uint64_t>(value);
    return find;
}

InetHandle* Inet_FtpOpenFile(InetHandle* connection, const char* object, uint64_t offset)
{
    if (!usable(connection, HandleKind::CONNECTION))
        return nullptr;
    if (connection->service != INET_SERVICE_FTP || object == nullptr) {
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    InetHandle* file = newTransfer(connection, HandleKind::FTP_FILE, object);
    if (file == nullptr)
        return nullptr;
    if (curl_easy_setopt(file->easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(offset)) != CURLE_OK) {
        Inet_Close(file);
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    return runFtp(file, hasChunk);
}

bool Inet_Read(InetHandle* handle, void* buffer, size_t size, size_t* count)
{
    if (!usableTransfer(handle))
        return false;
    if (!handle->started || buffer == nullptr || count == nullptr)
        return fail(INET_ERR_INTERNAL);
    if (!hasChunk(*handle)) {
        if (handle->paused) {
            handle->paused = false;
            curl_easy_pause(handle->easy, CURLPAUSE_CONT);
        }
        if (!pump(handle, hasChunk) || (!hasChunk(*handle) && !endedWell(*handle)))
            return false;
    }
    size_t length = std::min(size, handle->chunk.size() - handle->chunkUsed);
    std::memcpy(buffer, handle->chunk.data() + handle->chunkUsed, length);
    handle->chunkUsed += length;
    *count = length;
    return true;
}

void Inet_Close(InetHandle* handle)
{
    if (handle == nullptr)
        return;
    if (handle->kind == HandleKind::CONNECTION) {
        delete handle;
        return;
    }
    freeTransfer(handle);
}

uint32_t Inet_LastError()
{
    return lastError;
}

// The internet client on WinInet: its own handles, time-outs, cookies and error numbers, which
// the INET_ERR_* codes already are. A connection reaches the wire only with its first request
// or file, so that the time-outs set on it before still apply.
#include "net/inet.h"

#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

struct InetSession {
    HINTERNET internet = nullptr;
};

enum class HandleKind { CONNECTION, REQUEST, FILE };

struct InetHandle {
    HandleKind kind = HandleKind::CONNECTION;
    InetSession* session = nullptr;
    InetHandle* connection = nullptr;  // a request's or file's; itself for a connection
    std::mutex guard;                  // wire and the child's handle, against the watcher
    HINTERNET wire = nullptr;          // a connection's InternetConnect handle
    HINTERNET handle = nullptr;        // a request's or file's own
    InetHandle* child = nullptr;       // the connection's open request or file
    std::string host;
    int port = 0;
    InetService service = INET_SERVICE_HTTP;
    uint32_t timeout = 60000;
    InetAbortFlag* abort = nullptr;
    bool aborted = false;               // under guard
    std::condition_variable_any wake;
    std::jthread watcher;
};

namespace {

thread_local uint32_t lastError = 0;

// How often the watcher of a connection looks at its abort flag.
constexpr std::chrono::milliseconds ABORT_POLL{20};
// Host characters that a URL reader would take for the end of the host or another server.
constexpr const char* HOST_BREAKERS = "#?@/\\% \t\r\n";
// Bytes that may not stand as they are in the object of a request line.
constexpr std::string_view UNSAFE_IN_OBJECT = "#\"<>\\^`{|}";

bool fail(uint32_t error)
{
    lastError = error;
    return false;
}

// WinInet's number for the failed call; its own numbers are already the client's.
bool failWithSystem()
{
    return fail(GetLastError());
}

bool isAborted(InetHandle* handle)
{
    std::lock_guard lock(handle->connection->guard);
    return handle->connection->aborted;
}

// Checks the handle's kind and that no abort has ended it.
bool usable(InetHandle* handle, HandleKind kind)
{
    if (handle == nullptr || handle->kind != kind)
        return fail(INET_ERR_INTERNAL);
    return isAborted(handle) ? fail(INET_ERR_CANCELLED) : true;
}

// The request's or file's WinInet handle, read under the lock the abort watcher takes it under;
// null with the failure set when the kind is wrong or an abort has closed it. A handle the
// watcher closes after this read fails its call, which then reads as the abort.
HINTERNET liveHandle(InetHandle* handle, HandleKind kind)
{
    if (!usable(handle, kind))
        return nullptr;
    std::lock_guard lock(handle->connection->guard);
    if (handle->handle == nullptr)
        fail(INET_ERR_CANCELLED);
    return handle->handle;
}

// The failure of a call that an abort may have cut short reads as the abort.
bool failAfterCall(InetHandle* handle)
{
    return isAborted(handle) ? fail(INET_ERR_CANCELLED) : failWithSystem();
}

void setTimeouts(HINTERNET internet, uint32_t milliseconds)
{
    DWORD value = milliseconds;
    for (DWORD option : {INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                         INTERNET_OPTION_DATA_SEND_TIMEOUT, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT})
        InternetSetOptionA(internet, option, &value, sizeof value);
}

// Closes what the connection has on the wire, which makes WinInet end the calls blocked on it.
// The handles are taken out under the lock, so that their owner never closes them again, and
// closed outside it, so that a close that waits for a blocked call cannot hold the owner up.
void abortConnection(InetHandle* connection)
{
    HINTERNET taken[2] = {nullptr, nullptr};
    {
        std::lock_guard lock(connection->guard);
        connection->aborted = true;
        if (connection->child != nullptr)
            taken[0] = std::exchange(connection->child->handle, nullptr);
        taken[1] = std::exchange(connection->wire, nullptr);
    }
    for (HINTERNET handle : taken)
        if (handle != nullptr)
            InternetCloseHandle(handle);
}

// Watches the connection's abort flag until the connection closes.
void watchAbort(std::stop_token stop, InetHandle* connection)
{
    std::mutex idle;
    std::unique_lock lock(idle);
    while (!stop.stop_requested()) {
        connection->wake.wait_for(lock, stop, ABORT_POLL, [] { return false; });
        if (connection->abort->load()) {
            abortConnection(connection);
            return;
        }
    }
}

// Opens the connection's WinInet handle on first use (FTP logs in here).
HINTERNET wireOf(InetHandle* connection)
{
    {
        std::lock_guard lock(connection->guard);
        if (connection->aborted) {
            fail(INET_ERR_CANCELLED);
            return nullptr;
        }
        if (connection->wire != nullptr)
            return connection->wire;
    }
    if (std::strpbrk(connection->host.c_str(), HOST_BREAKERS) != nullptr) {
        fail(INET_ERR_NAME_NOT_RESOLVED);
        return nullptr;
    }
    const bool ftp = connection->service == INET_SERVICE_FTP;
    HINTERNET wire = InternetConnectA(connection->session->internet, connection->host.c_str(),
                                      INTERNET_PORT(connection->port), nullptr, nullptr,
                                      ftp ? INTERNET_SERVICE_FTP : INTERNET_SERVICE_HTTP,
                                      ftp ? INTERNET_FLAG_PASSIVE : 0, 0);
    std::lock_guard lock(connection->guard);
    if (connection->aborted) {
        if (wire != nullptr)
            InternetCloseHandle(wire);
        fail(INET_ERR_CANCELLED);
        return nullptr;
    }
    if (wire == nullptr)
        failWithSystem();
    connection->wire = wire;
    return wire;
}

InetHandle* newChild(InetHandle* connection, HandleKind kind, HINTERNET handle)
{
    auto* child = new InetHandle;
    child->kind = kind;
    child->session = connection->session;
    child->connection = connection;
    child->handle = handle;
    child->timeout = connection->timeout;
    setTimeouts(handle, child->timeout);
    std::lock_guard lock(connection->guard);
    connection->child = child;
    return child;
}

// The object as a request line carries it: '/', then the object with its unsafe bytes escaped.
std::string escapedObject(const char* object)
{
    std::string path = "/";
    for (const char* at = object; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte <= ' ' || byte >= 0x7F || UNSAFE_IN_OBJECT.find(*at) != std::string_view::npos) {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", byte);
            path += escape;
        } else {
            path += *at;
        }
    }
    return path;
}

// HttpQueryInfo as text into buffer; the caller's buffer size bounds the copy.
bool queryText(HINTERNET request, DWORD info, char* buffer, size_t size, DWORD* index = nullptr)
{
    DWORD length = static_cast<DWORD>(size);
    if (!HttpQueryInfoA(request, info, buffer, &length, index))
        return failWithSystem();
    return true;
}

// Copies text into buffer whole, or fails with INET_ERR_INSUFFICIENT_BUFFER.
bool copyOut(std::string_view text, char* buffer, size_t size)
{
    if (text.size() >= size)
        return fail(INET_ERR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return true;
}

std::string_view trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

InetSession* Inet_Open(const char* agent)
{
    HINTERNET internet = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (internet == nullptr) {
        failWithSystem();
        return nullptr;
    }
    return new InetSession{internet};
}

// WinInet keeps every session's connections alive between requests on its own.
void Inet_KeepConnections() {}

bool Inet_SetConnectTimeout(InetSession* session, uint32_t milliseconds)
{
    DWORD value = milliseconds;
    if (session == nullptr)
        return fail(INET_ERR_INTERNAL);
    return InternetSetOptionA(session->internet, INTERNET_OPTION_CONNECT_TIMEOUT, &value, sizeof value)
               ? true : failWithSystem();
}

InetHandle* Inet_Connect(InetSession* session, const char* host, int port, InetService service,
                         InetAbortFlag* abort)
{
    if (session == nullptr || host == nullptr || *host == '\0' || port <= 0 || port > 65535) {
        fail(INET_ERR_INTERNAL);
        return nullptr;
    }
    auto* connection = new InetHandle;
    connection->session = session;
    connection->connection = connection;
    connection->host = host;
    connection->port = port;
    connection->service = service;
    connection->abort = abort;
    if (abort != nullptr)
        connection->watcher = std::jthread(watchAbort, connection);
    return connection;
}

bool Inet_SetTimeouts(InetHandle* handle, uint32_t milliseconds)
{
    if (handle == nullptr)
        return fail(INET_ERR_INTERNAL);
    handle->timeout = milliseconds;
    std::lock_guard lock(handle->connection->guard);
    if (handle->handle != nullptr)
        setTimeouts(handle->handle, milliseconds);
    return true;
}

InetHandle* Inet_HttpOpenRequest(InetHandle* connection, const char* verb, const char* object,
                                 bool noCookies)
{
    if (!usable(connection, HandleKind::CONNECTION) || connection->service == INET_SERVICE_FTP)
        return nullptr;
    HINTERNET wire = wireOf(connection);
    if (wire == nullptr)
        return nullptr;
    DWORD flags = INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_NO_UI | INTERNET_FLAG_KEEP_CONNECTION;
    if (connection->service == INET_SERVICE_HTTPS)
        flags |= INTERNET_FLAG_SECURE;
    if (noCookies)
        flags |= INTERNET_FLAG_NO_COOKIES;
    HINTERNET request = HttpOpenRequestA(wire, verb, escapedObject(object).c_str(), "HTTP/1.1", nullptr,
                                         nullptr, flags, 0);
    if (request == nullptr) {
        failAfterCall(connection);
        return nullptr;
    }
    return newChild(connection, HandleKind::REQUEST, request);
}

bool Inet_HttpAddHeader(InetHandle* request, const char* header, size_t length)
{
    HINTERNET live = liveHandle(request, HandleKind::REQUEST);
    if (live == nullptr)
        return false;
    // Only Cookie lines repeat; WinInet joins a repeated field with "; " itself.
    return HttpAddRequestHeadersA(live, header, static_cast<DWORD>(length),
                                  HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)
               ? true : failWithSystem();
}

bool Inet_HttpSend(InetHandle* request)
{
    HINTERNET live = liveHandle(request, HandleKind::REQUEST);
    if (live == nullptr)
        return false;
    return HttpSendRequestA(live, nullptr, 0, nullptr, 0) ? true : failAfterCall(request);
}

bool Inet_HttpStatusCode(InetHandle* request, uint32_t* status)
{
    DWORD value = 0;
    DWORD length = sizeof value;
    HINTERNET live = liveHandle(request, HandleKind::REQUEST);
    if (live == nullptr)
        return false;
    if (!HttpQueryInfoA(live, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value, &length, nullptr))
        return failWithSystem();
    *status = value;
    return true;
}

bool Inet_HttpStatusText(InetHandle* request, char* buffer, size_t size)
{
    HINTERNET live = liveHandle(request, HandleKind::REQUEST);
    return live != nullptr && queryText(live, HTTP_QUERY_STATUS_TEXT, buffer, size);
}

bool Inet_HttpContentLength(InetHandle* request, uint64_t* length)
{
    char text[32];
    HINTERNET live = liveHandle(request, HandleKind::REQUEST);
    if (live == nullptr || !queryText(live, HTTP_QUERY_CONTENT_LENGTH, text, sizeof text))
        return false;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0')
        return fail(INET_ERR_HEADER_NOT_FOUND);
    *length = value;
    return true;
}

bool Inet_RequestUrl(InetHandle* request, char* buffer, size_t size)
{
    HINTERNET live = liveHandle(request, HandleKind::REQUEST);
    if (live == nullptr)
        return false;
    DWORD length = static_cast<DWORD>(size);
    return InternetQueryOptionA(live, INTERNET_OPTION_URL, buffer, &length) ? true : failWithSystem();
}

bool Inet_HttpLocation(InetHandle* request, char* buffer, size_t size)
{
    char location[INTERNET_MAX_URL_LENGTH];
    char base[INTERNET_MAX_URL_LENGTH];
    HINTERNET live = liveHandle(request, HandleKind::REQUEST);
    if (live == nullptr || !queryText(live, HTTP_QUERY_LOCATION, location, sizeof location) ||
        !Inet_RequestUrl(request, base, sizeof base))
        return false;
    DWORD length = static_cast<DWORD>(size);
    return InternetCombineUrlA(base, location, buffer, &length, ICU_NO_ENCODE) ? true : failWithSystem();
}

bool Inet_HttpHeader(InetHandle* request, const char* name, char* buffer, size_t size)
{
    HINTERNET live = liveHandle(request, HandleKind::REQUEST);
    if (live == nullptr)
        return false;
    // WinInet gives a repeated header one occurrence at a time; the last one counts.
    std::string last;
    bool found = false;
    for (DWORD index = 0;;) {
        char value[INTERNET_MAX_URL_LENGTH];
        std::snprintf(value, sizeof value, "%s", name);
        DWORD length = sizeof value;
        if (!HttpQueryInfoA(live, HTTP_QUERY_CUSTOM, value, &length, &index))
            break;
        last.assign(value, length);
        found = true;
    }
    if (!found)
        return fail(INET_ERR_HEADER_NOT_FOUND);
    return copyOut(trimmed(last), buffer, size);
}

InetHandle* Inet_FtpFindFile(InetHandle* connection, const char* object, uint64_t* size)
{
    if (!usable(connection, HandleKind::CONNECTION))
        return nullptr;
    HINTERNET wire = wireOf(connection);
    if (wire == nullptr)
        return nullptr;
    WIN32_FIND_DATAA found{};
    HINTERNET find = FtpFindFirstFileA(wire, object, &found, INTERNET_FLAG_RELOAD, 0);
    if (find == nullptr) {
        failAfterCall(connection);
        return nullptr;
    }
    *size = (uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    return newChild(connection, HandleKind::FILE, find);
}

InetHandle* Inet_FtpOpenFile(InetHandle* connection, const char* object, uint64_t offset)
{
    if (!usable(connection, HandleKind::CONNECTION))
        return nullptr;
    HINTERNET wire = wireOf(connection);
    if (wire == nullptr)
        return nullptr;
    // Servers take a restart point in binary mode only, and keep it for the next transfer,
    // which FtpOpenFile starts.
    char restart[40];
    std::snprintf(restart, sizeof restart, "REST %llu", static_cast<unsigned long long>(offset));
    for (const char* command : {"TYPE I", static_cast<const char*>(restart)})
        if (offset > 0 && !FtpCommandA(wire, FALSE, FTP_TRANSFER_TYPE_BINARY, command, 0, nullptr)) {
            failAfterCall(connection);
            return nullptr;
        }
    HINTERNET file = FtpOpenFileA(wire, object, GENERIC_READ, FTP_TRANSFER_TYPE_BINARY | INTERNET_FLAG_RELOAD, 0);
    if (file == nullptr) {
        failAfterCall(connection);
        return nullptr;
    }
    return newChild(connection, HandleKind::FILE, file);
}

bool Inet_Read(InetHandle* handle, void* buffer, size_t size, size_t* count)
{
    if (handle == nullptr || handle->kind == HandleKind::CONNECTION)
        return fail(INET_ERR_INTERNAL);
    HINTERNET live = liveHandle(handle, handle->kind);
    if (live == nullptr)
        return false;
    DWORD read = 0;
    if (!InternetReadFile(live, buffer, static_cast<DWORD>(size), &read))
        return failAfterCall(handle);
    *count = read;
    return true;
}

void Inet_Close(InetHandle* handle)
{
    if (handle == nullptr)
        return;
    if (handle->kind == HandleKind::CONNECTION) {
        handle->watcher.request_stop();
        if (handle->watcher.joinable())
            handle->watcher.join();
        if (handle->wire != nullptr)
            InternetCloseHandle(handle->wire);
        delete handle;
        return;
    }
    std::lock_guard lock(handle->connection->guard);
    if (handle->handle != nullptr)
        InternetCloseHandle(handle->handle);
    if (handle->connection->child == handle)
        handle->connection->child = nullptr;
    delete handle;
}

uint32_t Inet_LastError()
{
    return lastError;
}

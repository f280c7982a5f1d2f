// Internet client: blocking, pull-style HTTP, HTTPS and FTP requests on the process-wide session.
//
// Contract:
// - Inet_Open is called once, on the user-interface thread, before any worker exists; it starts
//   the transfer library for the whole process. The session lives until the process ends and
//   is then shared by every worker thread; its cookie jar is locked inside.
// - The cookie jar persists in the Netscape cookie-file format as "cookies-session.txt" beside
//   the settings file (RegStore_FilePath): read when the session opens, written back whole
//   (through Plat_ReplaceFile: a link stays a link) each time a request that used it is closed
//   and the cookies differ from those last written. A new jar gets mode 0600, and folders made
//   for it 0700 (less the umask). A jar that cannot be read or written is empty.
// - A handle (connection, HTTP request, FTP file) belongs to the one thread that opened it.
//   Another thread may only set the InetAbortFlag that the connection was opened with (the
//   flag must outlive the handle): a blocked call then returns false within about 50 ms with
//   INET_ERR_CANCELLED, and every later call on that handle fails at once the same way.
// - A thread that called Inet_KeepConnections runs all its transfers on one engine of its own,
//   which keeps a finished request's connection open (and the server's address resolved) for
//   the thread's next request to the same server, until the thread ends. Other threads open a
//   connection for every request, closed with it.
// - Every call that can block waits at most its time-out (milliseconds): the connect
//   time-out for connecting, the receive time-out since the last data for each answer and
//   each read.
// - Failure returns false or null; Inet_LastError then gives the calling thread's error
//   number, WinInet's numbers for the cases the program tells apart (INET_ERR_*).
// - Requests send exactly the session's agent text as User-Agent, over HTTP/1.1. Redirects are
//   not followed: the Location is reported, resolved against the request's URL.
// - HTTPS always verifies the server's certificate and that it names the host, against the
//   authorities of the file named by CURL_CA_BUNDLE, else SSL_CERT_FILE (read for each request),
//   else the system's store. A certificate that fails ends the request with its own error
//   (Inet_IsCertificateError); there is no unverified way.
// - Requests go through the proxy that the environment names, as curl's own tool reads it
//   (http_proxy, https_proxy, ftp_proxy, all_proxy and no_proxy; all but http_proxy also in capitals).
// - A request holds at most one chunk of the answer (16 KiB) however large the file is.
// - On Windows the calls are WinInet's own: its cookies (the system's, not a file of ours), its
//   certificate authorities, the system's proxy, and its error numbers as it gives them.
#pragma once

#include "net/errors.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

enum InetService { INET_SERVICE_HTTP = 1, INET_SERVICE_FTP = 2, INET_SERVICE_HTTPS = 3 };

struct InetSession;
struct InetHandle;

// Set to true by another thread to abort every blocked call of the handles opened with it.
using InetAbortFlag = std::atomic<bool>;

// Opens the session with the agent text; null when the transfer library cannot start.
InetSession* Inet_Open(const char* agent);
// Lets the calling thread's later requests reuse its connections to the same server.
void Inet_KeepConnections();
// Sets the connect time-out that later connections of the session use (any thread).
bool Inet_SetConnectTimeout(InetSession* session, uint32_t milliseconds);

// Names the server of later requests; nothing goes on the wire yet. abort may be null. A host
// that URL readers would take for another server (one holding '#', '?', '@', '/', a backslash,
// '%' or white space) makes every request or file opened on it fail with
// INET_ERR_NAME_NOT_RESOLVED before anything is sent.
InetHandle* Inet_Connect(InetSession* session, const char* host, int port, InetService service,
                         InetAbortFlag* abort);
// Sets the send and receive time-outs of a request or file handle. On a connection handle it
// sets those that requests and files opened from it afterwards start with (default 60000).
bool Inet_SetTimeouts(InetHandle* handle, uint32_t milliseconds);

// HTTP or HTTPS: opens a request for verb ("HEAD" or "GET") and object (without its leading '/'). The
// object goes to the connection's server whatever it holds: a '?' begins the query, '#' and bytes
// that may not stand in a URL are escaped, dot segments are removed. With noCookies the
// session's cookie jar is neither sent nor fed.
InetHandle* Inet_HttpOpenRequest(InetHandle* connection, const char* verb, const char* object,
                                 bool noCookies);
// Adds a request header line ("Name: value\r\n"); several "Cookie:" lines are joined with "; ".
bool Inet_HttpAddHeader(InetHandle* request, const char* header, size_t length);
// Sends the request and waits for the answer's headers.
bool Inet_HttpSend(InetHandle* request);
bool Inet_HttpStatusCode(InetHandle* request, uint32_t* status);
// The reason phrase of the final status line.
bool Inet_HttpStatusText(InetHandle* request, char* buffer, size_t size);
// Fails when the answer has no Content-Length.
bool Inet_HttpContentLength(InetHandle* request, uint64_t* length);
// The URL the request went to.
bool Inet_RequestUrl(InetHandle* request, char* buffer, size_t size);
// The Location header, resolved against the request's URL.
bool Inet_HttpLocation(InetHandle* request, char* buffer, size_t size);
// The value of the final answer's header name (any case; the last one when it repeats),
// without the white space around it; INET_ERR_HEADER_NOT_FOUND when the answer has none.
bool Inet_HttpHeader(InetHandle* request, const char* name, char* buffer, size_t size);

// FTP: looks up the size of object (passive, anonymous); a handle to close, or null.
InetHandle* Inet_FtpFindFile(InetHandle* connection, const char* object, uint64_t* size);
// FTP: opens object for binary reading (passive, anonymous) from byte offset on (the server is
// asked to restart there); a missing file fails here, and so does an offset past its end.
InetHandle* Inet_FtpOpenFile(InetHandle* connection, const char* object, uint64_t offset = 0);

// Reads up to size bytes of the body; *count 0 means the end of the data.
bool Inet_Read(InetHandle* handle, void* buffer, size_t size, size_t* count);
// Closes any handle; null is allowed. A transfer still under way is dropped at once; after a
// finished FTP transfer the server is told goodbye, which waits at most the time-out of the file.
void Inet_Close(InetHandle* handle);
// The error number of the calling thread's last failed call.
uint32_t Inet_LastError();
// The error number in readable words (no final period); any thread. A number the client does
// not give has a text of its own too.
const char* Inet_ErrorText(uint32_t error);
// Whether the error is a refused certificate, which asking again cannot mend.
bool Inet_IsCertificateError(uint32_t error);

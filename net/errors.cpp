#include "net/errors.h"
#include "net/inet.h"

namespace {

struct ErrorText {
    uint32_t code;
    const char* text;
    bool certificate = false;
};

constexpr ErrorText ERROR_TEXTS[] = {
    {INET_ERR_TIMEOUT, "The operation timed out"},
    {INET_ERR_FTP_REFUSED, "An extended error was returned from the server"},
    {INET_ERR_INTERNAL, "An internal error occurred in the Internet client"},
    {INET_ERR_NAME_NOT_RESOLVED, "The server name could not be resolved"},
    {INET_ERR_CANCELLED, "The operation was canceled"},
    {INET_ERR_CANNOT_CONNECT, "A connection with the server could not be established"},
    {INET_ERR_CONNECTION_ABORTED, "The connection with the server was terminated abnormally"},
    {INET_ERR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small"},
    {INET_ERR_CERT_AUTHORITY, "The certificate is not trusted", true},
    {INET_ERR_CERT_NAME, "The certificate belongs to another host name", true},
    {INET_ERR_CERT_DATE, "The certificate has expired or is not yet valid", true},
    {INET_ERR_CERT_CLIENT_NEEDED, "The server asks for a certificate of ours, which the program does not have", true},
    {INET_ERR_CERT_ERRORS, "The certificate has several faults", true},
    {INET_ERR_CERT_NO_REVOCATION, "The certificate's revocation could not be checked", true},
    {INET_ERR_CERT_REVOCATION_FAILED,
     "The certificate could not be checked for revocation (it is not trusted, or its authority's list cannot be reached)",
     true},
    {INET_ERR_CERT_INVALID, "The certificate is invalid", true},
    {INET_ERR_CERT_REVOKED, "The certificate has been revoked", true},
    {INET_ERR_SECURE_CHANNEL, "The secure connection could not be established"},
    {uint32_t(ERR_BAD_URL), "Badly formatted URL, or not a file!"},
    {uint32_t(ERR_BAD_COOKIE), "Bad cookie in Netscape cookie file."},
    {uint32_t(ERR_NAME_TOO_LONG), "Local file name too long."},
    {uint32_t(ERR_TOO_MANY_BYTES), "The server sent more bytes than it announced."},
    {uint32_t(ERR_FILE_CHANGED), "The local file was changed by another program."},
    {uint32_t(ERR_CHECKSUM_MISMATCH), "The file does not match the server's checksum."},
    {uint32_t(ERR_WEB_PAGE),
     "The server sent a web page instead of the file (the link may have expired or need a login)."},
};

const ErrorText* find(uint32_t code)
{
    for (const ErrorText& entry : ERROR_TEXTS)
        if (entry.code == code)
            return &entry;
    return nullptr;
}

}  // namespace

const char* Err_Text(uint32_t code)
{
    const ErrorText* entry = find(code);
    return entry != nullptr ? entry->text : nullptr;
}

bool Err_IsCertificate(uint32_t code)
{
    const ErrorText* entry = find(code);
    return entry != nullptr && entry->certificate;
}

// The internet client's texts are the table's, on every platform.
const char* Inet_ErrorText(uint32_t error)
{
    const char* text = Err_Text(error);
    return text != nullptr ? text : "An unknown error occurred in the Internet client";
}

bool Inet_IsCertificateError(uint32_t error)
{
    return Err_IsCertificate(error);
}

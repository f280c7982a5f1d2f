// Error codes: the internet client's (WinInet's numbers, INET_ERR_*) and the program's own
// failures (ERR_*, negative as int32_t), with the words each shows to the person, in one table.
//
// Contract:
// - Constants and a constant table; any thread may call.
// - A name appears once; its value and words never change, since stored texts and the trace
//   log of earlier versions show them. Every failure a layer above the internet client returns
//   as an int32_t result is named here: callers test the sign, or compare with a name, and
//   never with a bare number.
// - Some names share a small negative value, each met on a road of its own: a failed call
//   (ERR_CALL_FAILED) and a whole-file read without a path (ERR_FILE_NO_PATH), which a request
//   never meets since its cookie file is a buffer; and the settings' own failures below.
#pragma once

#include <cstdint>

// WinInet's error numbers for the failures the program tells apart.
constexpr uint32_t INET_ERR_TIMEOUT = 12002;
constexpr uint32_t INET_ERR_FTP_REFUSED = 12003;        // e.g. a missing file
constexpr uint32_t INET_ERR_INTERNAL = 12004;           // anything not told apart
constexpr uint32_t INET_ERR_NAME_NOT_RESOLVED = 12007;
constexpr uint32_t INET_ERR_CANCELLED = 12017;          // aborted from another thread
constexpr uint32_t INET_ERR_CANNOT_CONNECT = 12029;
constexpr uint32_t INET_ERR_CONNECTION_ABORTED = 12030;  // aborted or reset by the peer
constexpr uint32_t INET_ERR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t INET_ERR_HEADER_NOT_FOUND = 12150;  // an answer does not fit the caller's buffer
// The server's certificate was refused: its authority is not trusted (or the authorities cannot
// be read), it names another host, or it is outside its dates.
constexpr uint32_t INET_ERR_CERT_AUTHORITY = 12045;
constexpr uint32_t INET_ERR_CERT_NAME = 12038;
constexpr uint32_t INET_ERR_CERT_DATE = 12037;
// WinInet's other refusals of a certificate: the server wants one of ours, the certificate has
// several faults at once or is malformed, it was revoked, or whether it was revoked could not be
// learnt (no revocation list names it, or the list could not be fetched).
constexpr uint32_t INET_ERR_CERT_CLIENT_NEEDED = 12044;
constexpr uint32_t INET_ERR_CERT_ERRORS = 12055;
constexpr uint32_t INET_ERR_CERT_NO_REVOCATION = 12056;
constexpr uint32_t INET_ERR_CERT_REVOCATION_FAILED = 12057;
constexpr uint32_t INET_ERR_CERT_INVALID = 12169;
constexpr uint32_t INET_ERR_CERT_REVOKED = 12170;
constexpr uint32_t INET_ERR_SECURE_CHANNEL = 12157;     // no secure connection could be agreed

// A call of the internet client failed or the server refused the request: the request's status
// and statusText say which.
constexpr int32_t ERR_CALL_FAILED = -1;
// Why a bounded whole-file read (the cookie file's) failed: no path given, the file cannot be
// opened (a folder, or a cookie database that cannot be read, counts alike), it is larger than
// allowed, no memory for its text, or it could not be read whole.
constexpr int32_t ERR_FILE_NO_PATH = -1;
constexpr int32_t ERR_FILE_OPEN = -2;
constexpr int32_t ERR_FILE_TOO_LARGE = -3;
constexpr int32_t ERR_FILE_NO_MEMORY = -4;
constexpr int32_t ERR_FILE_SHORT_READ = -5;
// Why a stored setting could not be read (a key that cannot be opened gives the store's own
// positive code instead): the value is missing or longer than a number, or it is shorter (its
// bytes are then read all the same); the person's browser profile of that name is not found;
// the cookie source could not be loaded, the person having been told why.
constexpr int32_t ERR_VALUE_MISSING = -1;
constexpr int32_t ERR_VALUE_SHORT = -2;
constexpr int32_t ERR_NO_PROFILE = -1;
constexpr int32_t ERR_COOKIE_SOURCE = -1;

// The program's own failures.
constexpr int32_t ERR_NO_MEMORY = static_cast<int32_t>(0x80000001u);
constexpr int32_t ERR_BAD_MODE = static_cast<int32_t>(0x80000003u);
constexpr int32_t ERR_LOCAL_FILE = static_cast<int32_t>(0x80000005u);
// The data did not all reach the local file: a short write, a failed flush or close (a full
// disk), or the file was removed during the download.
constexpr int32_t ERR_WRITE_FAILED = static_cast<int32_t>(0x80000006u);
// The entry under the local name is not the file that holds the item's part.
constexpr int32_t ERR_FILE_CHANGED = static_cast<int32_t>(0x80000007u);
constexpr int32_t ERR_NAME_TOO_LONG = static_cast<int32_t>(0x8000000Au);
constexpr int32_t ERR_COOKIE_TOO_LONG = static_cast<int32_t>(0x8000000Bu);
constexpr int32_t ERR_BAD_SCHEME = static_cast<int32_t>(0x8000000Cu);
constexpr int32_t ERR_NO_THREAD = static_cast<int32_t>(0x8000000Du);
constexpr int32_t ERR_BAD_URL = static_cast<int32_t>(0x8000000Eu);
constexpr int32_t ERR_BAD_COOKIE = static_cast<int32_t>(0x8000000Fu);
// The connection ended cleanly before as many bytes had arrived as were announced (the
// answer's own length, else the size the query learnt).
constexpr int32_t ERR_SHORT_TRANSFER = static_cast<int32_t>(0x80000010u);
// A download was answered with a web page where the file should have come (an expired link,
// a login page).
constexpr int32_t ERR_WEB_PAGE = static_cast<int32_t>(0x80000011u);
// The answer's body went on behind the end it announced.
constexpr int32_t ERR_TOO_MANY_BYTES = static_cast<int32_t>(0x80000012u);
// The finished file's checksum is not the one its server claimed.
constexpr int32_t ERR_CHECKSUM_MISMATCH = static_cast<int32_t>(0x80000013u);

// The words for code (an INET_ERR_* number, or an ERR_* code as uint32_t); null for a code whose
// words depend on the case (the caller composes them) or that has none.
const char* Err_Text(uint32_t code);
// Whether code is a refused certificate, which asking again cannot mend.
bool Err_IsCertificate(uint32_t code);

#include "web/urlparse.h"

#include "diag/trace.h"
#include "platform/files.h"
#include "platform/text.h"

#include <algorithm>
#include <cstring>

namespace {

struct SchemeEntry {
    const char* prefix;
    int32_t scheme;
    int32_t defaultPort;
};

constexpr SchemeEntry SCHEMES[] = {
    {"http://", SCHEME_HTTP, 80},
    {"https://", SCHEME_HTTPS, 443},
    {"ftp://", SCHEME_FTP, 21},
};

const SchemeEntry* matchScheme(const char* url)
{
    for (const SchemeEntry& entry : SCHEMES) {
        if (Text_StartsWithNoCase(url, entry.prefix))
            return &entry;
    }
    return nullptr;
}

// The highest port number TCP has.
constexpr int32_t PORT_LIMIT = 65535;

// The port that the text behind a host's ':' names: decimal digits only, 1 to PORT_LIMIT; -1
// for anything else, which another reader would take for part of a host or a path. An empty
// one is refused too: it is more likely a slip ("http://ftp:/server/x") than a wish for the
// default port.
int32_t readPort(const char* text)
{
    int32_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return -1;
        value = value * 10 + (*text - '0');
        if (value > PORT_LIMIT)
            return -1;
    }
    return value > 0 ? value : -1;
}

// A link holding a control character would carry it into the request line and the logs.
bool holdsControl(const char* text)
{
    for (; *text != '\0'; ++text) {
        if (Trace_ControlLength(text) > 0)
            return true;
    }
    return false;
}

// Index of the last ch among text[0, length), or -1.
ptrdiff_t findLastBefore(char ch, const char* text, size_t length)
{
    for (size_t i = length; i > 0; --i) {
        if (text[i - 1] == ch)
            return static_cast<ptrdiff_t>(i - 1);
    }
    return -1;
}

// An empty segment, "." and ".." name a directory (the download folder or its parent), never a
// file of its own.
bool namesDirectory(const char* segment, size_t length)
{
    return length <= 2 && std::strncmp(segment, "..", length) == 0;
}

// Other URL readers end or reshape the authority at these bytes (fragment, query, user
// information, a backslash taken for a slash, escapes and white space). A host holding one
// would name another server to the connection than to the cookie match.
bool isHostByte(unsigned char c)
{
    return c != ' ' && std::strchr("#?@\\%", c) == nullptr;
}

// The port of a control-free host part "name[:port]", or -1 when the name holds a byte that
// other readers end or reshape it at, or the port is none of readPort's.
int32_t soundHostPort(const char* host, int32_t defaultPort)
{
    const char* at = host;
    for (; *at != '\0' && *at != ':'; ++at) {
        if (!isHostByte(static_cast<unsigned char>(*at)))
            return -1;
    }
    return *at == ':' ? readPort(at + 1) : defaultPort;
}

// Characters that "<directory>/[<extension>/]<segment>" takes, without its NUL. The dot of an
// empty extension is counted as if it made a folder.
size_t localNameLength(const char* segment, size_t segLen, const char* directory, bool byExtension)
{
    const size_t dirLen = directory ? std::strlen(directory) : 0;
    size_t total = segLen + (dirLen > 0 ? dirLen + 1 : 0);
    const ptrdiff_t dot = byExtension ? findLastBefore('.', segment, segLen) : -1;
    if (dot >= 0)
        total += segLen - static_cast<size_t>(dot);
    return total;
}

// Writes "<directory>/[<extension>/]<segment>" and a NUL; out has room for it.
void composeLocalName(const char* segment, size_t segLen, const char* directory, char* out,
                      bool byExtension)
{
    const size_t dirLen = directory ? std::strlen(directory) : 0;
    const ptrdiff_t dot = byExtension ? findLastBefore('.', segment, segLen) : -1;
    const size_t extLen = dot >= 0 ? segLen - static_cast<size_t>(dot) - 1 : 0;
    char* write = out;
    auto append = [&write](const char* text, size_t length, bool separator) {
        std::memcpy(write, text, length);
        write += length;
        if (separator)
            *write++ = PATH_SEP;
    };
    if (dirLen > 0)
        append(directory, dirLen, true);
    if (extLen > 0)
        append(segment + dot + 1, extLen, true);
    append(segment, segLen, false);
    *write = '\0';
}

// Room for a server's file name while it is read and made safe: a header value fits whole.
constexpr size_t DISPOSITION_CAPACITY = 2060;

const char* skipSpaces(const char* at)
{
    while (*at == ' ' || *at == '\t')
        ++at;
    return at;
}

// Reads the parameter value at `at` into out: a quoted string (backslash escapes one
// character) or a token up to ';' without its trailing white space. Returns where the value
// ends; *fits is false when it did not fit into outSize characters with its NUL.
const char* readParameterValue(const char* at, char* out, size_t outSize, bool* fits)
{
    size_t length = 0;
    auto put = [&](char c) {
        if (length + 1 < outSize)
            out[length] = c;
        ++length;
    };
    if (*at == '"') {
        for (++at; *at != '\0' && *at != '"'; ++at)
            put(*at == '\\' && at[1] != '\0' ? *++at : *at);
        at += *at == '"';
    } else {
        for (; *at != '\0' && *at != ';'; ++at)
            put(*at);
        while (length > 0 && length < outSize && (out[length - 1] == ' ' || out[length - 1] == '\t'))
            --length;
    }
    *fits = length < outSize;
    out[std::min(length, outSize - 1)] = '\0';
    return at;
}

// Copies the value of the header value's first parameter called name (any case) into out;
// false when there is none or it does not fit. The disposition type carries no '=' and is
// passed over like any other word without one.
bool findParameter(const char* value, const char* name, char* out, size_t outSize)
{
    const size_t nameLen = std::strlen(name);
    for (const char* at = value; *at != '\0';) {
        const char* start = skipSpaces(at);
        at = start + std::strcspn(start, "=;");
        size_t length = static_cast<size_t>(at - start);
        while (length > 0 && (start[length - 1] == ' ' || start[length - 1] == '\t'))
            --length;
        if (*at == '=') {
            bool fits = false;
            at = readParameterValue(skipSpaces(at + 1), out, outSize, &fits);
            if (fits && length == nameLen && Text_EqualNoCase({start, length}, name))
                return true;
        }
        at += std::strcspn(at, ";");
        at += *at == ';';
    }
    return false;
}

// Decodes an RFC 5987 value ("UTF-8'<language>'<percent-escaped text>") in place; its length,
// which may count decoded NULs, or 0 for another character set or a value of another form.
size_t decodeExtendedValue(char* value)
{
    const ptrdiff_t charsetEnd = Text_FindChar('\'', value);
    if (charsetEnd < 0 || !Text_EqualNoCase({value, static_cast<size_t>(charsetEnd)}, "UTF-8"))
        return 0;
    const ptrdiff_t languageEnd = Text_FindChar('\'', value + charsetEnd + 1);
    if (languageEnd < 0)
        return 0;
    size_t length = 0;
    for (const char* at = value + charsetEnd + languageEnd + 2; *at != '\0'; ++at) {
        const int high = *at == '%' ? Text_HexValue(at[1]) : -1;
        const int low = high >= 0 ? Text_HexValue(at[2]) : -1;
        if (low >= 0) {
            value[length++] = static_cast<char>(high * 16 + low);
            at += 2;
        } else {
            value[length++] = *at;
        }
    }
    return length;
}

// The file name that a Content-Disposition value gives, into name; its length (decoded NULs
// count), 0 when it gives none. The extended form wins when it can be read.
size_t dispositionName(const char* disposition, char* name, size_t size)
{
    if (findParameter(disposition, "filename*", name, size)) {
        if (const size_t length = decodeExtendedValue(name))
            return length;
    }
    return findParameter(disposition, "filename", name, size) ? std::strlen(name) : 0;
}

// Code points a shown name must not hold: controls (C0, DEL, C1), and the invisible characters
// that change how the rest shows, such as U+202E, which shows "nib.exe" as "exe.bin":
// bidirectional marks, embeddings, overrides and isolates, the other format characters (soft
// hyphen, zero-width ones, byte order mark, tags) and line and paragraph separators.
struct CodeRange {
    uint32_t first, last;
};

constexpr CodeRange HIDDEN_CHARACTERS[] = {
    {0x0000, 0x001F}, {0x007F, 0x009F}, {0x00AD, 0x00AD}, {0x061C, 0x061C}, {0x180E, 0x180E},
    {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x2064}, {0x2066, 0x206F}, {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB}, {0xE0001, 0xE007F},
};

constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

// The code point of the UTF-8 sequence at text[0, length) and, in *size, its bytes; a byte that
// starts no whole sequence counts as one character, U+FFFD, as decoders show it.
uint32_t decodeCharacter(const char* text, size_t length, size_t* size)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    const size_t bytes = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    *size = 1;
    if (bytes == 1)
        return lead < 0x80 ? lead : REPLACEMENT_CHARACTER;
    uint32_t code = lead & (0x7Fu >> bytes);
    for (size_t i = 1; i < bytes; ++i) {
        const auto next = i < length ? static_cast<unsigned char>(text[i]) : 0;
        if ((next & 0xC0) != 0x80)
            return REPLACEMENT_CHARACTER;
        code = code << 6 | (next & 0x3F);
    }
    *size = bytes;
    return code;
}

bool isHidden(uint32_t code)
{
    return std::ranges::any_of(HIDDEN_CHARACTERS, [code](const CodeRange& range) {
        return code >= range.first && code <= range.last;
    });
}

// Keeps the last path component of name[0, length) ('/' or backslash before it), without the
// characters a shown name must not hold, at the front of name; the new length.
size_t makeSafeName(char* name, size_t length)
{
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == '/' || name[i] == '\\')
            start = i + 1;
    }
    size_t kept = 0;
    for (size_t i = start, size = 0; i < length; i += size) {
        if (!isHidden(decodeCharacter(name + i, length - i, &size))) {
            std::memmove(name + kept, name + i, size);
            kept += size;
        }
    }
    name[kept] = '\0';
    return kept;
}

// Drops at least excess characters from the end of the name's stem (what stands in front of
// its last dot), stepping back to the start of a UTF-8 character; false when no character of
// the stem would be left.
bool cutStem(char* name, size_t* length, size_t excess)
{
    const ptrdiff_t dot = findLastBefore('.', name, *length);
    const size_t stem = dot >= 0 ? static_cast<size_t>(dot) : *length;
    if (excess >= stem)
        return false;
    size_t keep = stem - excess;
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
        --keep;
    if (keep == 0)
        return false;
    std::memmove(name + keep, name + stem, *length - stem + 1);
    *length -= stem - keep;
    return true;
}

// Url_Parse, with its trace lines when traced.
int32_t parseURL(char* url, int32_t* scheme, char** hostName, char** objectName, int32_t* port, bool traced)
{
    *scheme = 0;
    *objectName = nullptr;
    const SchemeEntry* entry = matchScheme(url);
    if (!entry)
        return ERR_BAD_SCHEME;
    *scheme = entry->scheme;
    *hostName = url + std::strlen(entry->prefix);
    *port = entry->defaultPort;
    const bool clean = !holdsControl(*hostName);
    *objectName = Text_SplitAtChar('/', *hostName);
    const int32_t portNumber = *objectName ? soundHostPort(*hostName, entry->defaultPort) : -1;
    if (!clean || portNumber < 0) {
        *objectName = nullptr;
        return ERR_BAD_URL;
    }
    // The fragment belongs to the browser: the server never sees it, nor does the local name.
    Text_SplitAtChar('#', *objectName);
    if (traced) {
        Trace_PrintString(TRACE_ALL, "ParseURL, hostName = %s\n", *hostName);
        Trace_PrintString(TRACE_ALL, "ParseURL, objectName = %s\n", *objectName);
    }
    Text_SplitAtChar(':', *hostName);
    *port = portNumber;
    return 0;
}

}  // namespace

int32_t Url_Parse(char* url, int32_t* scheme, char** hostName, char** objectName, int32_t* port)
{
    return parseURL(url, scheme, hostName, objectName, port, true);
}

int32_t Url_ParseUntraced(char* url, int32_t* scheme, char** hostName, char** objectName, int32_t* port)
{
    return parseURL(url, scheme, hostName, objectName, port, false);
}

int32_t Url_LocalNameFromURL(const char* object, const char* directory, char* out, size_t outSize,
                         bool byExtension)
{
    const ptrdiff_t query = Text_FindChar('?', object);
    const size_t end = query >= 0 ? static_cast<size_t>(query) : std::strlen(object);
    const size_t start = static_cast<size_t>(findLastBefore('/', object, end) + 1);
    const char* segment = object + start;
    const size_t segLen = end - start;
    if (namesDirectory(segment, segLen))
        return ERR_BAD_URL;
    if (localNameLength(segment, segLen, directory, byExtension) >= outSize)
        return ERR_NAME_TOO_LONG;
    composeLocalName(segment, segLen, directory, out, byExtension);
    return 0;
}

int32_t Url_LocalNameFromDisposition(const char* disposition, const char* directory, char* out,
                                 size_t outSize, bool byExtension)
{
    char name[DISPOSITION_CAPACITY];
    size_t length = makeSafeName(name, dispositionName(disposition, name, sizeof name));
    const size_t total = localNameLength(name, length, directory, byExtension);
    const bool fits = total < outSize || cutStem(name, &length, total - outSize + 1);
    // Asked after the cut too: stepping back to a character's start may leave a dot alone.
    if (namesDirectory(name, length))
        return ERR_BAD_URL;
    if (!fits)
        return ERR_NAME_TOO_LONG;
    composeLocalName(name, length, directory, out, byExtension);
    return 0;
}

void Url_FormatOrigin(int32_t scheme, const char* host, int32_t port, char* out, size_t outSize)
{
    const bool https = scheme == SCHEME_HTTPS;
    const int32_t ownPort = https ? 443 : scheme == SCHEME_FTP ? 21 : 80;
    const char* name = https ? "https" : scheme == SCHEME_FTP ? "ftp" : "http";
    if (port == ownPort)
        std::snprintf(out, outSize, "%s://%s/", name, host);
    else
        std::snprintf(out, outSize, "%s://%s:%d/", name, host, int(port));
}

#include "urlparse.h"

#include "files.h"
#include "text.h"
#include "trace.h"

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

const SchemeEntry* MatchScheme(const char* url)
{
    for (const SchemeEntry& entry : SCHEMES) {
        if (Text_StartsWithNoCase(url, entry.prefix))
            return &entry;
    }
    return nullptr;
}

// atoi, except that a value beyond the int32_t range is clamped instead of undefined.
int32_t ReadDecimal(const char* text)
{
    return static_cast<int32_t>(std::clamp<int64_t>(Text_LeadingNumber(text), INT32_MIN, INT32_MAX));
}

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || IsLineEnd(c);
}

// Index of the last ch among text[0, length), or -1.
ptrdiff_t FindLastBefore(char ch, const char* text, size_t length)
{
    for (size_t i = length; i > 0; --i) {
        if (text[i - 1] == ch)
            return static_cast<ptrdiff_t>(i - 1);
    }
    return -1;
}

// An empty segment, "." and ".." name a directory (the download folder or its parent), never a
// file of its own.
bool NamesDirectory(const char* segment, size_t length)
{
    return length <= 2 && std::strncmp(segment, "..", length) == 0;
}

// Other URL readers end or reshape the authority at these bytes (fragment, query, user
// information, a backslash taken for a slash, escapes, white space and controls). A host holding
// one would name another server to the connection than to the cookie match.
bool IsHostByte(unsigned char c)
{
    return c > ' ' && c != 0x7F && std::strchr("#?@\\%", c) == nullptr;
}

// Looks at the host name alone: the port text behind a ':' is read like atoi and names no server.
bool IsSoundHost(const char* host)
{
    for (const char* at = host; *at != '\0' && *at != ':'; ++at) {
        if (!IsHostByte(static_cast<unsigned char>(*at)))
            return false;
    }
    return true;
}

// Ends text at index and returns the rest behind it; null (text unchanged) for index -1.
char* CutAt(char* text, ptrdiff_t index)
{
    if (index < 0)
        return nullptr;
    text[index] = '\0';
    return text + index + 1;
}

}  // namespace

int32_t ParseURL(char* url, int32_t* scheme, char** hostName, char** objectName, int32_t* port)
{
    *scheme = 0;
    *objectName = nullptr;
    const SchemeEntry* entry = MatchScheme(url);
    if (!entry)
        return ERR_BAD_SCHEME;
    *scheme = entry->scheme;
    *hostName = url + std::strlen(entry->prefix);
    *port = entry->defaultPort;
    *objectName = SplitAtChar('/', *hostName);
    if (!*objectName || !IsSoundHost(*hostName)) {
        *objectName = nullptr;
        return ERR_BAD_URL;
    }
    // The fragment belongs to the browser: the server never sees it, nor does the local name.
    SplitAtChar('#', *objectName);
    Trace_PrintString(TRACE_ALL, "ParseURL, hostName = %s\n", *hostName);
    Trace_PrintString(TRACE_ALL, "ParseURL, objectName = %s\n", *objectName);
    if (const char* portText = SplitAtChar(':', *hostName))
        *port = ReadDecimal(portText);
    return 0;
}

int32_t LocalNameFromURL(const char* object, const char* directory, char* out, size_t outSize,
                         bool byExtension)
{
    const ptrdiff_t query = FindChar('?', object);
    const size_t end = query >= 0 ? static_cast<size_t>(query) : std::strlen(object);
    const size_t start = static_cast<size_t>(FindLastBefore('/', object, end) + 1);
    const char* segment = object + start;
    const size_t segLen = end - start;
    if (NamesDirectory(segment, segLen))
        return ERR_BAD_URL;

    const size_t dirLen = directory ? std::strlen(directory) : 0;
    size_t total = segLen + (dirLen > 0 ? dirLen + 1 : 0);
    const ptrdiff_t dot = byExtension ? FindLastBefore('.', segment, segLen) : -1;
    const size_t extLen = dot >= 0 ? segLen - static_cast<size_t>(dot) - 1 : 0;
    if (dot >= 0)
        total += extLen + 1;  // counted even for an empty extension, which adds no folder
    if (total >= outSize)
        return ERR_NAME_TOO_LONG;

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
    return 0;
}

ptrdiff_t FindChar(char ch, const char* text)
{
    const char* found = std::strchr(text, ch);
    return found && ch != '\0' ? found - text : -1;
}

ptrdiff_t FindLastChar(char ch, const char* text)
{
    const char* found = std::strrchr(text, ch);
    return found && ch != '\0' ? found - text : -1;
}

ptrdiff_t FindLineEnd(const char* text)
{
    const size_t index = std::strcspn(text, "\r\n");
    return text[index] ? static_cast<ptrdiff_t>(index) : -1;
}

char* SplitAtChar(char ch, char* text)
{
    return CutAt(text, FindChar(ch, text));
}

char* SplitLine(char* text)
{
    return CutAt(text, FindLineEnd(text));
}

char* SkipWhite(char* text)
{
    while (IsWhite(*text))
        ++text;
    return *text ? text : nullptr;
}

#include "web/linkdrop.h"

#include "web/urlparse.h"

#include <cstring>

namespace {

// Shortest text that could be a link at all.
constexpr size_t LINK_TEXT_MINIMUM = 4;

// Endings of web pages: a page is something to read, not to download.
constexpr const char* PAGE_ENDINGS[] = {".html", ".htm", ".shtml"};

bool endsWith(const char* text, size_t length, const char* ending)
{
    const size_t endingLen = std::strlen(ending);
    return endingLen <= length && std::memcmp(text + length - endingLen, ending, endingLen) == 0;
}

bool namesPage(const char* object, size_t length)
{
    for (const char* ending : PAGE_ENDINGS) {
        if (endsWith(object, length, ending))
            return true;
    }
    return false;
}

// Behind a fragment a link may end in anything; what the server is asked for must not end at '/'.
bool namesFolder(const char* object)
{
    return *object == '\0' || endsWith(object, std::strlen(object), "/");
}

}  // namespace

bool Link_NamesPage(const char* url)
{
    const char* scheme = std::strstr(url, "://");
    const char* path = scheme != nullptr ? std::strchr(scheme + 3, '/') : nullptr;
    if (path == nullptr)
        return false;
    return namesPage(path, std::strcspn(path, "?#"));
}

int LinkDropTarget::IsAcceptableLink(const char* text)
{
    // strnlen stops one past the limit, so a huge drag costs no more than a long one.
    const size_t length = strnlen(text, URL_LENGTH_LIMIT + 1);
    if (length > URL_LENGTH_LIMIT || length < LINK_TEXT_MINIMUM || text[length - 1] == '/')
        return 0;
    std::memcpy(scratch, text, length + 1);
    int32_t scheme, port;
    char *host, *object;
    if (Url_Parse(scratch, &scheme, &host, &object, &port) < 0 || namesFolder(object))
        return 0;
    return allowHTML || !namesPage(object, std::strlen(object)) ? 1 : 0;
}

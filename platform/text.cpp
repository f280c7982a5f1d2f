#include "platform/text.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// The white space that atoi skips in the "C" locale.
bool isAtoiSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Ends text at index and returns the rest behind it; null (text unchanged) for index -1.
char* cutAt(char* text, ptrdiff_t index)
{
    if (index < 0)
        return nullptr;
    text[index] = '\0';
    return text + index + 1;
}

}  // namespace

char Text_LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool Text_EqualNoCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return Text_LowerAscii(x) == Text_LowerAscii(y); });
}

bool Text_StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && Text_EqualNoCase(text.substr(0, prefix.size()), prefix);
}

int64_t Text_LeadingNumber(const char* text)
{
    while (isAtoiSpace(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                              : uint64_t(std::numeric_limits<int64_t>::max());
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        unsigned digit = unsigned(*text - '0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    return negative ? int64_t(0 - value) : int64_t(value);
}

ptrdiff_t Text_FindChar(char ch, const char* text)
{
    const char* found = std::strchr(text, ch);
    return found && ch != '\0' ? found - text : -1;
}

ptrdiff_t Text_FindLastChar(char ch, const char* text)
{
    const char* found = std::strrchr(text, ch);
    return found && ch != '\0' ? found - text : -1;
}

ptrdiff_t Text_FindLineEnd(const char* text)
{
    const size_t index = std::strcspn(text, "\r\n");
    return text[index] ? static_cast<ptrdiff_t>(index) : -1;
}

char* Text_SplitAtChar(char ch, char* text)
{
    return cutAt(text, Text_FindChar(ch, text));
}

char* Text_SplitLine(char* text)
{
    return cutAt(text, Text_FindLineEnd(text));
}

char* Text_SkipWhite(char* text)
{
    while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n')
        ++text;
    return *text ? text : nullptr;
}

int Text_HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Text_LowerAscii(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Length of the UTF-8 sequence that starts with lead, and the lowest code point it may carry
// (anything lower is an overlong form); 0 for a byte no sequence starts with.
static size_t utf8SequenceLength(unsigned char lead, uint32_t* lowest)
{
    struct Form { unsigned char mask, value; size_t length; uint32_t lowest; };
    static constexpr Form FORMS[] = {
        {0x80, 0x00, 1, 0}, {0xE0, 0xC0, 2, 0x80}, {0xF0, 0xE0, 3, 0x800}, {0xF8, 0xF0, 4, 0x10000},
    };
    for (const Form& form : FORMS)
        if ((lead & form.mask) == form.value) {
            *lowest = form.lowest;
            return form.length;
        }
    return 0;
}

bool Text_IsUtf8(std::string_view text)
{
    for (size_t at = 0; at < text.size();) {
        uint32_t lowest = 0;
        const auto lead = static_cast<unsigned char>(text[at]);
        const size_t length = utf8SequenceLength(lead, &lowest);
        if (length == 0 || at + length > text.size())
            return false;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[at + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        at += length;
    }
    return true;
}

// Text helpers that every layer shares: ASCII-only comparisons and number reading, so that no
// locale (the toolkit sets one) changes which URL, header, setting or cookie flag is recognised,
// and the bounded copy and in-place splitting of fixed buffers.
//
// Contract: pure functions, callable from any thread; nothing is kept between calls. The caller
// owns every buffer: the split helpers write NULs into it and hand out pointers into it. "Not
// found" is -1 (the Find helpers) or null (the Split helpers and Text_SkipWhite); text arguments
// must not be null.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// The lower-case form of an ASCII letter; any other byte as it is.
char Text_LowerAscii(char c);
// Whether text is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool Text_IsUtf8(std::string_view text);
// The value of a hexadecimal digit (either case), -1 for any other character.
int Text_HexValue(char c);
// Equal when the texts differ at most in the case of ASCII letters.
bool Text_EqualNoCase(std::string_view a, std::string_view b);
bool Text_StartsWithNoCase(std::string_view text, std::string_view prefix);
// The leading decimal number of text, read as atoi reads it (white space, a sign, 0 without
// digits) but 64 bits wide, saturating instead of overflowing.
int64_t Text_LeadingNumber(const char* text);

// Copies text into a fixed buffer, cut to fit in front of a UTF-8 character that does not fit
// whole; the buffer always ends with a NUL.
template <size_t N>
void Text_CopyBounded(char (&to)[N], const char* text)
{
    const size_t whole = std::strlen(text);
    size_t length = std::min(whole, N - 1);
    while (length > 0 && length < whole && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    std::memcpy(to, text, length);
    to[length] = '\0';
}

// Index of the first ch in text, or -1.
ptrdiff_t Text_FindChar(char ch, const char* text);
// Index of the last ch in text, or -1.
ptrdiff_t Text_FindLastChar(char ch, const char* text);
// Index of the first CR or LF in text, or -1.
ptrdiff_t Text_FindLineEnd(const char* text);
// Ends text at its first ch and returns the rest behind it; null (text unchanged) without ch.
char* Text_SplitAtChar(char ch, char* text);
// Text_SplitAtChar at the first CR or LF; after a CR LF the rest begins with the LF.
char* Text_SplitLine(char* text);
// First character that is not a space, TAB, LF or CR; null when there is none.
char* Text_SkipWhite(char* text);

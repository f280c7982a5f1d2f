// Text helpers that every layer shares: ASCII-only comparisons and number reading, so that no
// locale (the toolkit sets one) changes which URL, header, setting or cookie flag is recognised.
//
// Contract: pure functions, callable from any thread; nothing is kept between calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The lower-case form of an ASCII letter; any other byte as it is.
char Text_LowerAscii(char c);
// Equal when the texts differ at most in the case of ASCII letters.
bool Text_EqualNoCase(std::string_view a, std::string_view b);
bool Text_StartsWithNoCase(std::string_view text, std::string_view prefix);
// The leading decimal number of text, read as atoi reads it (white space, a sign, 0 without
// digits) but 64 bits wide, saturating instead of overflowing.
int64_t Text_LeadingNumber(const char* text);
// The person's home folder: $HOME, else the password database's entry, else ".".
std::string Text_HomeFolder();

#include "platform/text.h"

#include <gtest/gtest.h>

namespace {

// What the URL, header and cookie parsers do not reach: bytes above 127 and a vertical tab, which is
// no white space.
TEST(StringHelpers, FindLastCharSkipWhiteAndCopyBounded)
{
    char cut[5];
    Text_CopyBounded(cut, "abc\xC3\xA9");   // a chosen profile name: half a character would name another
    EXPECT_STREQ(cut, "abc");
    EXPECT_EQ(Text_FindLastChar('.', "a.b.c"), 3);
    EXPECT_EQ(Text_FindLastChar('x', ""), -1);
    EXPECT_EQ(Text_FindLastChar('\xE9', "caf\xE9 \xE9t\xE9"), 7);
    EXPECT_EQ(Text_FindLineEnd("\nabc"), 0);
    char white[] = " \t\r\n", text[] = " \t\r\n\vx";
    EXPECT_EQ(Text_SkipWhite(white), nullptr);
    EXPECT_EQ(Text_SkipWhite(text), text + 4);
}

}  // namespace

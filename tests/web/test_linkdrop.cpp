#include "web/linkdrop.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

namespace {

// On the heap, so that a copy running past the scratch buffer leaves the allocation.
int accepts(const std::string& text, bool allowHTML)
{
    auto target = std::make_unique<LinkDropTarget>();
    target->allowHTML = allowHTML;
    return target->IsAcceptableLink(text.c_str());
}

TEST(LinkDrop, FilesBehindHttpHttpsOrFtpHostsAndPagesOnlyWhenAllowedWhateverTheFragment)
{
    const struct { const char* text; int htmlOff, htmlOn; } cases[] = {
        {"http://server/file.zip", 1, 1}, {"http://server/", 0, 0}, {"http://server", 0, 0}, {"", 0, 0},
        {"file:///file.zip", 0, 0}, {"http://server/index.html", 0, 1}, {"HTTPS://server/a.htm", 0, 1},
        {"ftp://server/x.shtml", 0, 1}, {"http://server/.htm", 0, 1}, {"http://server/INDEX.HTML", 1, 1},
        {"http://server/page.html?id=1", 1, 1}, {"http://server/a.xhtml", 1, 1},
        // The fragment is the browser's: the server is asked for what stands in front of it.
        {"http://server/index.html#top", 0, 1}, {"http://server/file.zip#index.html", 1, 1},
        {"http://server/dir/#part2", 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::pair(accepts(c.text, false), accepts(c.text, true)), std::pair(c.htmlOff, c.htmlOn)) << c.text;
    const std::string head = "http://server/";
    const std::string longest = head + std::string(URL_LENGTH_LIMIT - head.size(), 'f');
    EXPECT_EQ(accepts(longest, false), 1);
    EXPECT_EQ(accepts(longest + "f", true), 0);
    EXPECT_EQ(accepts(head + std::string(1 << 20, 'f'), true), 0);
}

}  // namespace

#include "web/expiry.h"

#include <gtest/gtest.h>

namespace {

TEST(Expiry, SignedLinksOfEachSchemeGiveTheirEndAndAnythingDoubtfulGivesNone)
{
    const struct { const char* url; int64_t expiry; } cases[] = {
        {"https://b.example/f.zip?X-Amz-Algorithm=A&X-Amz-Date=20261207T013000Z&X-Amz-Expires=3600&X-Amz-Signature=s",
         1796610600},
        {"https://g.example/f.zip?x-goog-date=20261207T013000Z&x-goog-expires=604800", 1797211800},
        {"https://a.example/f.zip?sv=2022&se=2026-12-08T01%3a30%3A00Z&sp=r&sig=a%3D", 1796693400},
        {"https://a.example/f.zip?se=2026-12-08&sig=a", 1796688000},
        {"https://c.example/f.zip?Expires=1796680800&Signature=s", 1796680800},
        {"https://c.example/f.zip?token=t&exp=1796680800", 1796680800},
        // Two schemes: the earlier end counts.
        {"https://b.example/f?Expires=1796680800&X-Amz-Date=20261207T013000Z&X-Amz-Expires=3600", 1796610600},
        // A half missing.
        {"https://b.example/f.zip?X-Amz-Date=20261207T013000Z", 0},
        {"https://b.example/f.zip?X-Amz-Expires=3600", 0},
        {"https://g.example/f.zip?X-Goog-Date=20261207T013000Z&X-Amz-Expires=3600", 0},
        {"https://a.example/f.zip?se=2026-12-08T01%3A30%3A00Z", 0},
        // Malformed, out of range or huge.
        {"https://b.example/f.zip?X-Amz-Date=20261307T013000Z&X-Amz-Expires=3600", 0},
        {"https://b.example/f.zip?X-Amz-Date=20261207T013000Z&X-Amz-Expires=604801", 0},
        {"https://b.example/f.zip?X-Amz-Date=20261207T013000Z&X-Amz-Expires=0", 0},
        {"https://b.example/f.zip?X-Amz-Date=20261207T013000Z&X-Amz-Expires=99999999999999999999999", 0},
        {"https://a.example/f.zip?se=2026-12-08T01%3G30%3A00Z&sig=a", 0},
        {"https://a.example/f.zip?se=2026-12-08T01%3A30%3A00Z%3A30%3A00Z%3A30%3A00Z%3A30%3A00Z%3A30%3A00Z&sig=a", 0},
        {"https://c.example/f.zip?Expires=946684799", 0},
        {"https://c.example/f.zip?Expires=7258118400", 0},
        {"https://c.example/f.zip?exp=1796680800.5", 0},
        // Not in the query.
        {"https://c.example/Expires=1796680800/f.zip", 0},
        {"https://c.example/f.zip#?Expires=1796680800", 0},
        {"https://c.example/f.zip?e=1796680800&xexp=1796680800", 0},
        // Days no calendar has; a leap day is one.
        {"https://a.example/f.zip?se=2026-02-30&sig=a", 0}, {"https://a.example/f.zip?se=2028-02-29&sig=a", 1835395200},
        {"https://b.example/f.zip?X-Amz-Date=21000229T000000Z&X-Amz-Expires=60", 0},
    };
    for (const auto& c : cases)   // 0 in the rows stands for none
        EXPECT_EQ(Expiry_FromUrl(c.url), c.expiry == 0 ? EXPIRY_NONE : c.expiry) << c.url;
    // The first moment of 1970 is a moment like any other.
    EXPECT_EQ(Expiry_FromUrl("https://a.example/f.zip?se=1970-01-01T00%3A00%3A00Z&sig=a"), 0);
}

}  // namespace

// The cookie stores on Windows: no browser's profile is offered, and a browser's database that
// the person names says why nothing comes of it.
#include "platform/cookiestores.h"

#include "tests/support/fixtures.h"

#include <string>
#include <vector>

namespace {

using CookieStoresWin = moontest::Sandbox;

TEST_F(CookieStoresWin, NoProfileIsListedAndABrowsersDatabaseSaysItIsNotReadHere)
{
    std::vector<BrowserProfile> profiles{{"Firefox: old", "old", "C:\\old"}};
    EXPECT_FALSE(CookieStores_ListProfiles(&profiles));
    EXPECT_TRUE(profiles.empty());
    const struct { const char* file; const char* reason; } cases[] = {
        {"cookies.sqlite", "Reading browsers' cookie databases is not available on Windows"},
        {"Default\\Network\\Cookies", "Reading browsers' cookie databases is not available on Windows"},
        {"cookies.txt", "is no cookie database"},
    };
    for (const auto& c : cases) {
        StoreRead read;
        EXPECT_FALSE(CookieStores_Read(path(c.file), &read));
        EXPECT_NE(read.failure.find(c.reason), std::string::npos) << read.failure;
    }
}

}  // namespace

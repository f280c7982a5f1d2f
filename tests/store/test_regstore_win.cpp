// The settings store on the real registry: what the program stores comes back as it was, with
// the registry's own results for what is missing or does not fit.
#include "store/regstore.h"

#include "tests/support/fixtures.h"

#include <windows.h>

#include <string>
#include <utility>

namespace {

constexpr const char* KEY = "Software\\Larkvale\\Moonfetch\\Cookies";

using RegStoreWin = moontest::Sandbox;

TEST_F(RegStoreWin, ValuesComeBackAsStoredAndTooSmallABufferStaysUntouched)
{
    // Text is UTF-8 here and the registry's own UTF-16 there, where other programs read it.
    const std::string text = "C:\\Users\\Jos\xC3\xA9\\cookies-\xE2\x82\xAC.txt";
    const auto stored = static_cast<uint32_t>(text.size() + 1);
    ASSERT_EQ(RegStore_SetValue(REG_ROOT_CURRENT_USER, KEY, "OtherName", REG_SZ, text.c_str(), stored), REG_OK);
    const int32_t source = 3;
    ASSERT_EQ(RegStore_SetValue(REG_ROOT_CURRENT_USER, KEY, "Source", REG_DWORD, &source, 4), REG_OK);
    const struct { const char* key; const char* name; uint32_t room; int32_t result, opened; uint32_t size; std::string data; } reads[] = {
        {KEY, "OtherName", 64, REG_OK, REG_OK, stored, text + '\0'},
        {KEY, "OtherName", stored - 1, REG_ERROR_MORE_DATA, REG_OK, stored, ""},
        {"Software\\\\Larkvale\\Moonfetch\\Cookies\\", "Source", 4, REG_OK, REG_OK, 4, std::string("\3\0\0\0", 4)},
        {KEY, "Missing", 4, REG_ERROR_FILE_NOT_FOUND, REG_OK, 4, ""},
        {"Software\\Larkvale\\Elsewhere", "Source", 4, REG_ERROR_FILE_NOT_FOUND, REG_ERROR_FILE_NOT_FOUND, 4, ""},
    };
    for (const auto& r : reads) {
        char data[64] = {};
        uint32_t type = 0, size = r.room;
        int32_t opened = -1;
        EXPECT_EQ(RegStore_QueryValue(REG_ROOT_CURRENT_USER, r.key, r.name, &type, data, &size, &opened), r.result) << r.name;
        EXPECT_EQ(std::pair(opened, size), std::pair(r.opened, r.size)) << r.name;
        EXPECT_EQ(std::string(data, r.data.size()), r.data) << r.name;
    }
    EXPECT_EQ(RegStore_SetValue(REG_ROOT_CURRENT_USER, KEY, "Bad\nName", REG_DWORD, &source, 4), REG_ERROR_INVALID_PARAMETER);
    wchar_t wide[64] = {};
    DWORD room = sizeof wide;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Larkvale\\Moonfetch\\Cookies", L"OtherName", RRF_RT_REG_SZ,
                           nullptr, wide, &room), ERROR_SUCCESS);
    EXPECT_STREQ(wide, L"C:\\Users\\Jos\u00E9\\cookies-\u20AC.txt");
}

}  // namespace

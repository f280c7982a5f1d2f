#include "registry.h"

#include "fixtures.h"

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

constexpr RegRoot HKCU = REG_ROOT_CURRENT_USER;
constexpr const char* COOKIES = REG_KEY_COOKIES;

int32_t setBytes(const char* name, uint32_t type, const std::string& bytes)
{
    return RegStore_SetValue(HKCU, COOKIES, name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

using RegistryHelpers = moontest::Sandbox;

// How often body opens the settings file. Closes are watched too: inotify merges two equal
// events in a row.
int opensOfSettings(const std::function<void()>& body)
{
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || ::inotify_add_watch(watch, RegStore_FilePath(HKCU).c_str(), IN_OPEN | IN_CLOSE) < 0)
        return -1;
    body();
    inotify_event events[16];  // the events of a watched file carry no name: one record each
    ssize_t length = ::read(watch, events, sizeof events);
    ::close(watch);
    int opens = 0;
    for (ssize_t i = 0; i < length / static_cast<ssize_t>(sizeof *events); ++i)
        opens += (events[i].mask & IN_OPEN) != 0;
    return opens;
}

TEST_F(RegistryHelpers, EachReadOpensTheFileOnce)
{
    ASSERT_EQ(Reg_WriteString(HKCU, COOKIES, REG_VAL_OTHER_NAME, "x"), 0);
    int32_t number = 0;
    char text[8] = "";
    uint32_t size = sizeof text;
    EXPECT_EQ(opensOfSettings([&] { Reg_ReadDword(HKCU, COOKIES, REG_VAL_SOURCE, &number); }), 1);
    EXPECT_EQ(opensOfSettings([&] { Reg_ReadString(HKCU, COOKIES, REG_VAL_OTHER_NAME, text, &size); }), 1);
}

TEST_F(RegistryHelpers, ReadDwordChecksOnlyTheSize)
{
    const struct { const char* name; uint32_t type; std::string bytes; int32_t result, before, after; } reads[] = {
        {REG_VAL_SOURCE, 0, "", REG_ERROR_FILE_NOT_FOUND, 77, 77},   // no file yet; 0: nothing stored
        {"Eight", REG_QWORD, std::string(8, '\x01'), -1, 77, 77},
        {REG_VAL_SOURCE, 0, "", -1, 77, 77},   // the key is there now, the value is not
        {"Two", REG_DWORD, "\x34\x12", -2, 0x7F7F7F7F, 0x7F7F1234},
        {"Four", REG_BINARY, std::string("\x02\0\0\0", 4), 0, 77, 2},
    };
    for (const auto& r : reads) {
        ASSERT_EQ(r.type == 0 ? 0 : setBytes(r.name, r.type, r.bytes), 0);
        int32_t target = r.before;
        EXPECT_EQ(Reg_ReadDword(HKCU, COOKIES, r.name, &target), r.result) << r.name;
        EXPECT_EQ(target, r.after) << r.name;
    }
}

TEST_F(RegistryHelpers, ReadStringAlwaysGivesATerminatedTextOrKeepsTheDefault)
{
    const struct { const char* name; uint32_t type; std::string bytes; int32_t result; const char* text; uint32_t size; }
        reads[] = {
            {REG_VAL_OTHER_NAME, 0, "", REG_ERROR_FILE_NOT_FOUND, "default", 8},   // 0: nothing stored
            {"Long", REG_SZ, std::string("abcdefgh", 9), REG_ERROR_MORE_DATA, "default", 8},
            {"Unterminated", REG_BINARY, "12345678", REG_ERROR_MORE_DATA, "default", 8},
            {"Fits", REG_SZ, std::string("abcdefg", 8), 0, "abcdefg", 8},
            {"Short", REG_BINARY, "xyz", 0, "xyz", 4},
        };
    for (const auto& r : reads) {
        ASSERT_EQ(r.type == 0 ? 0 : setBytes(r.name, r.type, r.bytes), 0);
        char buffer[8] = "default";
        uint32_t size = sizeof buffer;
        EXPECT_EQ(Reg_ReadString(HKCU, COOKIES, r.name, buffer, &size), r.result) << r.name;
        EXPECT_STREQ(buffer, r.text) << r.name;
        EXPECT_EQ(size, r.size) << r.name;
    }
}

TEST_F(RegistryHelpers, WritesStoreTheirTypeOrReturnTheCode)
{
    ASSERT_EQ(Reg_WriteDword(HKCU, REG_KEY_SCHEDULE, REG_VAL_BEGIN_HOUR, -5), 0);
    ASSERT_EQ(Reg_WriteString(HKCU, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, "/home/me/dl"), 0);
    uint32_t type = 0, size = 0;
    EXPECT_EQ(RegStore_QueryValue(HKCU, REG_KEY_SCHEDULE, REG_VAL_BEGIN_HOUR, &type, nullptr, &size), 0);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegStore_QueryValue(HKCU, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, &type, nullptr, &size), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, std::strlen("/home/me/dl") + 1);

    // A plain file where the settings folder should be.
    std::filesystem::remove_all(path("config"));
    std::filesystem::create_directories(path("config"));
    moontest::writeFile(path("config/Larkvale"), "not a folder");
    EXPECT_EQ(Reg_WriteDword(HKCU, REG_KEY_SCHEDULE, REG_VAL_END_HOUR, 5), REG_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Reg_WriteString(HKCU, COOKIES, REG_VAL_USER_NAME, "me"), REG_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(moontest::readFile(path("config/Larkvale")), "not a folder");
}

}  // namespace

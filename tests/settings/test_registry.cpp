#include "settings/registry.h"

#include "tests/support/fixtures.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr RegRoot HKCU = REG_ROOT_CURRENT_USER;
constexpr const char* COOKIES = REG_KEY_COOKIES;

int32_t setBytes(const char* name, uint32_t type, const std::string& bytes)
{
    return RegStore_SetValue(HKCU, COOKIES, name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

using RegistryHelpers = moontest::Sandbox;

// How often body opens the settings file (0 when there is none yet); each read must open it at
// most once. Closes are watched too: inotify merges two equal events in a row.
int opensOfSettings(const std::function<void()>& body)
{
    int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ::inotify_add_watch(watch, RegStore_FilePath(HKCU).c_str(), IN_OPEN | IN_CLOSE);
    body();
    inotify_event events[16];  // the events of a watched file carry no name: one record each
    ssize_t length = ::read(watch, events, sizeof events);
    ::close(watch);
    int opens = 0;
    for (ssize_t i = 0; i < length / static_cast<ssize_t>(sizeof *events); ++i)
        opens += (events[i].mask & IN_OPEN) != 0;
    return opens;
}

// A DWORD read checks only the size; a string read gives a terminated text or keeps the default.
TEST_F(RegistryHelpers, ReadsCheckOnlyTheSizeAndGiveATerminatedTextOrKeepTheDefault)
{
    // type 0: nothing stored; got: the DWORD in hex, or the text and its size, after the read.
    const struct { bool dword; const char* name; uint32_t type; std::string bytes; int32_t result; const char* got; }
        reads[] = {
            {true, REG_VAL_SOURCE, 0, "", REG_ERROR_FILE_NOT_FOUND, "7f7f7f7f"},   // no file yet
            {false, REG_VAL_OTHER_NAME, 0, "", REG_ERROR_FILE_NOT_FOUND, "default 8"},
            {true, "Eight", REG_QWORD, std::string(8, '\x01'), -1, "7f7f7f7f"},
            {true, REG_VAL_SOURCE, 0, "", -1, "7f7f7f7f"},   // the key is there now, the value is not
            {true, "Two", REG_DWORD, "\x34\x12", -2, "7f7f1234"},
            {true, "Four", REG_BINARY, std::string("\x02\0\0\0", 4), 0, "2"},
            {false, "Long", REG_SZ, std::string("abcdefgh", 9), REG_ERROR_MORE_DATA, "default 8"},
            {false, "Unterminated", REG_BINARY, "12345678", REG_ERROR_MORE_DATA, "default 8"},
            {false, "Fits", REG_SZ, std::string("abcdefg", 8), 0, "abcdefg 8"},
            {false, "Short", REG_BINARY, "xyz", 0, "xyz 4"},
        };
    for (const auto& r : reads) {
        ASSERT_EQ(r.type == 0 ? 0 : setBytes(r.name, r.type, r.bytes), 0);
        int32_t number = 0x7F7F7F7F, result = 0;
        char text[8] = "default", got[32];
        uint32_t size = sizeof text;
        // Each read opens the settings file once at most.
        EXPECT_LE(opensOfSettings([&] {
            result = r.dword ? Reg_ReadDword(HKCU, COOKIES, r.name, &number)
                             : Reg_ReadString(HKCU, COOKIES, r.name, text, &size);
        }), 1);
        r.dword ? std::snprintf(got, sizeof got, "%x", uint32_t(number))
                : std::snprintf(got, sizeof got, "%s %u", text, size);
        EXPECT_EQ(std::pair(result, std::string(got)), std::pair(r.result, std::string(r.got))) << r.name;
    }
}

TEST_F(RegistryHelpers, WritesStoreTheirTypeOrReturnTheCode)
{
    std::filesystem::create_directories(path("config"));
    moontest::writeFile(path("config/Larkvale"), "not a folder");   // where the settings folder should be
    EXPECT_EQ(Reg_WriteDword(HKCU, REG_KEY_SCHEDULE, REG_VAL_END_HOUR, 5), REG_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(moontest::readFile(path("config/Larkvale")), "not a folder");
    std::filesystem::remove(path("config/Larkvale"));
    ASSERT_EQ(Reg_WriteDword(HKCU, REG_KEY_SCHEDULE, REG_VAL_BEGIN_HOUR, -5), 0);
    ASSERT_EQ(Reg_WriteString(HKCU, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, "/home/me/dl"), 0);
    const std::string text = moontest::readFile(RegStore_FilePath(HKCU));
    EXPECT_NE(text.find("\n\"BeginHour\"=dword:fffffffb\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n\"Download\"=\"/home/me/dl\"\n"), std::string::npos) << text;
}

}  // namespace

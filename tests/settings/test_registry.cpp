#include "settings/registry.h"

#include "tests/support/fixtures.h"

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
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
        int32_t target = r.before, result = 0;
        EXPECT_LE(opensOfSettings([&] { result = Reg_ReadDword(HKCU, COOKIES, r.name, &target); }), 1);
        EXPECT_EQ(std::pair(result, target), std::pair(r.result, r.after)) << r.name;
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
        int32_t result = 0;
        EXPECT_LE(opensOfSettings([&] { result = Reg_ReadString(HKCU, COOKIES, r.name, buffer, &size); }), 1);
        EXPECT_EQ(std::tuple(result, std::string(buffer), size), std::tuple(r.result, r.text, r.size)) << r.name;
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

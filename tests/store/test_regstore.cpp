#include "store/regstore.h"

#include "tests/support/fixtures.h"

#include <cstdlib>
#include <filesystem>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_literals;
using moontest::readFile;

constexpr RegRoot HKCU = REG_ROOT_CURRENT_USER;
constexpr const char* KEY = "Software\\Larkvale\\Moonfetch\\Schedule";

// The stored bytes of a REG_DWORD (the file format is little-endian, as is every host we build on).
std::string dword(uint32_t number)
{
    return std::string(reinterpret_cast<const char*>(&number), sizeof number);
}

int32_t setDword(const char* key, const char* name, uint32_t number)
{
    return RegStore_SetValue(HKCU, key, name, REG_DWORD, &number, sizeof number);
}

struct Read {
    int32_t result = 0;
    int32_t key = 0;  // what opening the key alone gives
    std::string bytes;
};

Read query(const char* key, const char* name)
{
    Read read;
    char data[16];
    uint32_t size = sizeof data;
    read.result = RegStore_QueryValue(HKCU, key, name, nullptr, data, &size, &read.key);
    read.bytes.assign(data, read.result == REG_OK ? size : 0);
    return read;
}

class RegStore : public moontest::Sandbox {
protected:
    std::string file() const { return RegStore_FilePath(HKCU); }
    std::filesystem::path folder() const { return std::filesystem::path(file()).parent_path(); }

    void putFile(const std::string& text) const
    {
        std::filesystem::create_directories(folder());
        moontest::writeFile(file(), text);
    }
};

TEST_F(RegStore, FileLiesInTheConfigFolderOrBelowHomeAndANewOneIsItsOwnersAlone)
{
    EXPECT_EQ(file(), path("config/Larkvale/Moonfetch.reg"));
    ASSERT_EQ(setDword(KEY, "BeginHour", 1), REG_OK);
    using enum std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(file()).permissions() & all, owner_read | owner_write);
    for (const char* config : {"", "relative", static_cast<const char*>(nullptr)}) {
        config ? ::setenv("XDG_CONFIG_HOME", config, 1) : ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(file(), path("home/.config/Larkvale/Moonfetch.reg")) << (config ? config : "unset");
    }
}

constexpr const char* ROOT = "HKEY_CURRENT_USER";
const std::string HEADER = "Windows Registry Editor Version 5.00\n\n";

// The tidy text of what text parses into, or "damaged".
std::string reformat(std::string_view text)
{
    RegTree tree;
    return RegText_Parse(text, ROOT, tree) ? RegText_Format(tree, ROOT) : "damaged";
}

TEST(RegText, ValuesOfEveryKindRoundTripAndLongHexIsWrapped)
{
    const struct { const char* name; uint32_t type; std::string bytes; const char* line; } cases[] = {
        {"Quoted", REG_SZ, "C:\\dl \"new\"\\\0"s, R"("Quoted"="C:\\dl \"new\"\\")"},
        {"", REG_QWORD, dword(1) + dword(0), "@=hex(b):01,00,00,00,00,00,00,00"},
        {"Bytes", REG_SZ, "caf\xC3\xA9 \xFF\0"s, "\"Bytes\"=\"caf\xC3\xA9 \xFF\""},
        {"Controls", REG_SZ, "a\tb\n\0"s, "\"Controls\"=hex(1):61,09,62,0a,00"},
        {"Empty", REG_SZ, "\0"s, "\"Empty\"=\"\""},
        {"NoNul", REG_SZ, "ab", "\"NoNul\"=hex(1):61,62"},
        {"Short", REG_DWORD, "\x34\x12", "\"Short\"=hex(4):34,12"},
        {"Expand", 2, "%HOME%\0"s, "\"Expand\"=hex(2):25,48,4f,4d,45,25,00"},
        {"None", REG_BINARY, "", "\"None\"=hex:"},
        {"na\"me\\", REG_DWORD, dword(0xFFFFFFFF), R"("na\"me\\"=dword:ffffffff)"},
        {"Long", REG_BINARY, std::string(100, '\x5A'), "\"Long\"=hex:5a,5a,5a,"},
    };
    RegTree tree;
    for (const auto& c : cases)
        RegText_PutValue(RegText_CreateKey(tree, KEY), c.name, c.type, c.bytes);
    // Each kind has a text of its own, so reading back to the same text keeps type and bytes.
    const std::string text = RegText_Format(tree, ROOT);
    EXPECT_EQ(reformat(text), text);
    for (const auto& c : cases)
        EXPECT_NE(text.find("\n"s + c.line), std::string::npos) << c.line;
    std::istringstream lines(text);
    int continued = 0;
    for (std::string line; std::getline(lines, line); continued += line.ends_with('\\'))
        EXPECT_LE(line.size(), 80u) << line;
    EXPECT_GT(continued, 0);
}

TEST(RegText, HandEditedTextReadsAsItsTidyForm)
{
    EXPECT_EQ(reformat("\xEF\xBB\xBFREGEDIT4\r\n; kept by hand\r\n\r\n"
                       "[hkey_current_user\\Software\\Larkvale\\Moonfetch\\Schedule]\r\n"
                       "\"BeginHour\"=dword:a\r\n  \"EndHour\" = DWORD:00000017  \r\n@=\"default\"\r\n\r\n"
                       "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Cookies]\r\n"
                       "\"Blob\"=hex:01, 02,\\\r\n    03,\\\r\n  FF\r\n"
                       "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n\"Path\"=\"C:\\Temp\\\\x\"\r\n\r\n"
                       "; a second section of a key adds to it, in names of any case\r\n"
                       "[HKEY_CURRENT_USER\\software\\LARKVALE\\moonfetch\\schedule]\r\n\"beginhour\"=dword:b\r\n"
                       "\"Extra\"=dword:1"),
              HEADER + "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Cookies]\n\"Blob\"=hex:01,02,03,ff\n"
                       "\"Big\"=hex(b):01,00,00,00,00,00,00,00\n\"Path\"=\"C:\\\\Temp\\\\x\"\n\n"
                       "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Schedule]\n\"BeginHour\"=dword:0000000b\n"
                       "\"EndHour\"=dword:00000017\n@=\"default\"\n\"Extra\"=dword:00000001\n\n"s);
    EXPECT_EQ(reformat("; comment first\nWindows Registry Editor Version 5.00\n[HKEY_CURRENT_USER]\n@=dword:1"),
              HEADER + "[HKEY_CURRENT_USER]\n@=dword:00000001\n\n"s);
}

TEST(RegText, DamagedTextDoesNotParse)
{
    const std::string key = "[HKEY_CURRENT_USER\\Software\\Larkvale]\n";
    for (const std::string& text : {""s, key + "\"a\"=dword:1\n", HEADER + key + "\"a\"=dword:1\njunk\n",
                                    HEADER + key + "\"a\"=hex:01,0g\n", HEADER + key + "\"a\"=dword:123456789\n",
                                    HEADER + key + "\"a\"=dword:\n", HEADER + "\"a\"=dword:1\n" + key,
                                    HEADER + key + "\"a\"=\"open\n", HEADER + key + "\"a=dword:1\n",
                                    HEADER + key + "\"a\"=hex:01,\\\n", HEADER + key + "\"a\"=\"x\" y\n",
                                    HEADER + "[HKEY_LOCAL_MACHINE\\Software]\n",
                                    HEADER + "[HKEY_CURRENT_USER\\Software\\\\Larkvale]\n\"a\"=dword:1\n"})
        EXPECT_EQ(reformat(text), "damaged") << text;
}

TEST_F(RegStore, KeysComeWithTheirAncestorsAndNamesMatchInAnyCase)
{
    EXPECT_EQ(query("", "Value").key, REG_OK);
    EXPECT_EQ(std::pair(query("Software", "Value").key, query("Software", "Value").result),
              std::pair(REG_ERROR_FILE_NOT_FOUND, REG_ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(std::filesystem::exists(path("config")));  // reading creates nothing
    ASSERT_EQ(setDword(KEY, "BeginHour", 1), REG_OK);
    ASSERT_EQ(setDword("SOFTWARE\\larkvale\\MOONFETCH\\schedule", "BEGINHOUR", 7), REG_OK);
    ASSERT_EQ(setDword("software\\LARKVALE\\Moonfetch\\Directories", "x", 1), REG_OK);
    for (const char* ancestor : {"Software", "Software\\Larkvale", "Software\\Larkvale\\Moonfetch"})
        EXPECT_EQ(query(ancestor, "x").key, REG_OK) << ancestor;
    for (const char* prefix : {"Soft", "Software\\Larkvale\\Moon", "Software\\Larkvale\\Moonfetch\\Sched"})
        EXPECT_EQ(query(prefix, "x").key, REG_ERROR_FILE_NOT_FOUND) << prefix;
    EXPECT_EQ(query("Software\\Larkvale\\Moonfetch", "BeginHour").result, REG_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(query("software\\LARKVALE\\moonfetch\\Schedule", "beginhour").bytes, dword(7));
    // Names keep their first case, and the file reads like a tree whatever the order of writing.
    EXPECT_TRUE(readFile(file()).ends_with(
        "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch]\n\n"
        "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Directories]\n\"x\"=dword:00000001\n\n"
        "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Schedule]\n\"BeginHour\"=dword:00000007\n\n"));
    EXPECT_EQ(setDword(KEY, "two\nlines", 1), REG_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(setDword("Software\\a\tb", "x", 1), REG_ERROR_INVALID_PARAMETER);
    // A buffer too small is refused and left alone.
    uint32_t type = 0, size = 3;
    char buffer[4] = {'x'};
    EXPECT_EQ(RegStore_QueryValue(HKCU, KEY, "BeginHour", &type, buffer, &size), REG_ERROR_MORE_DATA);
    EXPECT_EQ(std::tuple(type, size, buffer[0]), std::tuple(REG_DWORD, 4u, 'x'));
}

TEST_F(RegStore, UnchangedValueLeavesTheFileAsItIsAndADamagedFileIsKeptAsBadAtTheFirstWrite)
{
    const std::string handMade = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Schedule]\r\n"
                                 "  \"Extra\" = dword:1\r\n";
    putFile(handMade);
    ASSERT_EQ(setDword(KEY, "extra", 1), REG_OK);
    EXPECT_EQ(readFile(file()), handMade);

    const std::string damaged = "[HKEY_CURRENT_USER\\Software\\Larkvale]\n\"a\"=dword:1\n";
    putFile(damaged);
    moontest::writeFile(file() + ".bad", "older");
    EXPECT_EQ(std::pair(query("Software", "a").key, query("Software\\Larkvale", "a").result),
              std::pair(REG_ERROR_FILE_NOT_FOUND, REG_ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(setDword("Software\\Larkvale", "b", 2), REG_OK);
    EXPECT_EQ(readFile(file() + ".bad"), damaged);
    EXPECT_EQ(readFile(file()), HEADER + "[HKEY_CURRENT_USER\\Software]\n\n"
                                         "[HKEY_CURRENT_USER\\Software\\Larkvale]\n\"b\"=dword:00000002\n\n"s);
    ASSERT_EQ(setDword("Software\\Larkvale", "c", 3), REG_OK);
    EXPECT_EQ(readFile(file() + ".bad"), damaged);
}

TEST_F(RegStore, UnwritableFolderIsRefusedAndLeavesTheFileByteForByte)
{
    ASSERT_EQ(setDword(KEY, "BeginHour", 1), REG_OK);
    const std::string before = readFile(file());
    // Permissions do not stop root, so the write runs as nobody, who must still reach the lock.
    ::chmod(dir().c_str(), 0755);
    ::chmod(path("config").c_str(), 0755);
    ::chmod((file() + ".lock").c_str(), 0666);
    ::chmod(folder().c_str(), 0555);
    int code = moontest::inChild([] { return moontest::becomeNobody() ? int(setDword(KEY, "BeginHour", 4)) : 100; });
    ::chmod(folder().c_str(), 0755);
    EXPECT_EQ(std::pair(code, readFile(file())), std::pair(int(REG_ERROR_ACCESS_DENIED), before));
}

TEST_F(RegStore, FullDiskGivesItsOwnCodeAndLeavesTheFileByteForByte)
{
    constexpr int NO_MOUNT = 100, DAMAGED = 101;
    std::filesystem::create_directories(path("config"));
    // A file system of a few pages over the settings folder, in a mount table of the child's own.
    int code = moontest::inChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", path("config").c_str(), "tmpfs", 0, "size=16k") != 0)
            return NO_MOUNT;
        if (setDword(KEY, "BeginHour", 1) != REG_OK)
            return DAMAGED;
        const std::string before = readFile(file());
        const std::set<std::string> entries = moontest::folderEntries(folder());
        const std::string big(64 * 1024, 'x');
        int32_t result = RegStore_SetValue(HKCU, KEY, "Download", REG_BINARY, big.data(), uint32_t(big.size()));
        return readFile(file()) == before && moontest::folderEntries(folder()) == entries ? result : DAMAGED;
    });
    if (code == NO_MOUNT)
        GTEST_SKIP() << "this system refused a private tmpfs, so no full disk could be made";
    EXPECT_EQ(code, REG_ERROR_DISK_FULL);
}

using RegStoreConcurrent = RegStore;

TEST_F(RegStoreConcurrent, ProcessesWritingAtOnceKeepEveryValue)
{
    constexpr int CHILDREN = 4, WRITES = 50;
    ASSERT_EQ(setDword(KEY, "Anchor", 42), REG_OK);
    auto name = [](int c, int i) { return "C" + std::to_string(c) + "_" + std::to_string(i); };
    std::vector<pid_t> children;
    for (int c = 0; c < CHILDREN; ++c) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < WRITES; ++i)
                failures += setDword(KEY, name(c, i).c_str(), uint32_t(i)) != REG_OK;
            ::_exit(failures);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    // Readers take no lock: however the writes interleave, a reader sees a whole file.
    int torn = 0, missing = 0;
    for (pid_t pid : children) {
        int status = 0;
        pid_t done = 0;
        while ((done = ::waitpid(pid, &status, WNOHANG)) == 0)
            torn += query(KEY, "Anchor").bytes != dword(42);
        EXPECT_TRUE(done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    for (int c = 0; c < CHILDREN; ++c)
        for (int i = 0; i < WRITES; ++i)
            missing += query(KEY, name(c, i).c_str()).bytes != dword(uint32_t(i));
    EXPECT_EQ(std::tuple(torn, missing, std::filesystem::exists(file() + ".bad")), std::tuple(0, 0, false));
}

}  // namespace

#include "regstore.h"

#include "fixtures.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

int32_t setBytes(const char* key, const char* name, uint32_t type, const std::string& bytes)
{
    return RegStore_SetValue(HKCU, key, name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

int32_t setDword(const char* key, const char* name, uint32_t number)
{
    return setBytes(key, name, REG_DWORD, dword(number));
}

struct Read {
    int32_t result = 0;
    int32_t key = 0;  // what opening the key alone gives
    uint32_t type = 0;
    std::string bytes;
};

Read query(const char* key, const char* name)
{
    Read read;
    uint32_t size = 0;
    read.result = RegStore_QueryValue(HKCU, key, name, &read.type, nullptr, &size, &read.key);
    if (read.result == REG_OK) {
        read.bytes.resize(size);
        read.result = RegStore_QueryValue(HKCU, key, name, nullptr, read.bytes.data(), &size);
    }
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

    std::set<std::string> folderEntries() const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder()))
            names.insert(entry.path().filename().string());
        return names;
    }
};

TEST_F(RegStore, FileLiesInTheConfigFolderOrBelowHome)
{
    EXPECT_EQ(file(), path("config/Larkvale/Moonfetch.reg"));
    const char* home = std::getenv("HOME");
    const std::string oldHome = home ? home : "";
    ::setenv("HOME", path("home").c_str(), 1);
    for (const char* config : {"", "relative", static_cast<const char*>(nullptr)}) {
        config ? ::setenv("XDG_CONFIG_HOME", config, 1) : ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(file(), path("home/.config/Larkvale/Moonfetch.reg")) << (config ? config : "unset");
    }
    home ? ::setenv("HOME", oldHome.c_str(), 1) : ::unsetenv("HOME");
}

TEST_F(RegStore, KeysComeWithTheirAncestorsAndNamesMatchInAnyCase)
{
    EXPECT_EQ(query("", "Value").key, REG_OK);
    EXPECT_EQ(query("Software", "Value").key, REG_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(query("Software", "Value").result, REG_ERROR_FILE_NOT_FOUND);
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
    const std::string text = readFile(file());
    EXPECT_TRUE(text.ends_with("[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch]\n\n"
                               "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Directories]\n\"x\"=dword:00000001\n\n"
                               "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Schedule]\n\"BeginHour\"=dword:00000007\n\n"))
        << text;

    EXPECT_EQ(setDword(KEY, "two\nlines", 1), REG_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(setDword("Software\\a\tb", "x", 1), REG_ERROR_INVALID_PARAMETER);
}

TEST_F(RegStore, ValuesOfEveryKindRoundTrip)
{
    struct {
        const char* name;
        uint32_t type;
        std::string bytes;
        const char* line;  // as written in the file
    } cases[] = {
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
        {"Long", REG_BINARY, std::string(100, '\x5A'), nullptr},
    };
    for (const auto& c : cases)
        ASSERT_EQ(setBytes(KEY, c.name, c.type, c.bytes), REG_OK) << c.name;
    const std::string text = readFile(file());
    for (const auto& c : cases) {
        Read read = query(KEY, c.name);
        EXPECT_EQ(read.result, REG_OK) << c.name;
        EXPECT_EQ(read.type, c.type) << c.name;
        EXPECT_EQ(read.bytes, c.bytes) << c.name;
        if (c.line) {
            EXPECT_NE(text.find("\n"s + c.line + "\n"), std::string::npos) << c.line;
        }
    }
    // Long hex data is wrapped with continuation lines, as the registry editor does.
    std::istringstream lines(text);
    int continued = 0;
    for (std::string line; std::getline(lines, line); continued += line.ends_with('\\'))
        EXPECT_LE(line.size(), 80u) << line;
    EXPECT_GT(continued, 0);

    // A buffer too small is refused and left alone.
    uint32_t type = 0, size = 99;
    char buffer[100] = {'x'};
    EXPECT_EQ(RegStore_QueryValue(HKCU, KEY, "Long", &type, buffer, &size), REG_ERROR_MORE_DATA);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(buffer[0], 'x');
}

TEST_F(RegStore, HandEditedFileIsRead)
{
    putFile("\xEF\xBB\xBFREGEDIT4\r\n"
            "; kept by hand\r\n"
            "\r\n"
            "[hkey_current_user\\Software\\Larkvale\\Moonfetch\\Schedule]\r\n"
            "\"BeginHour\"=dword:a\r\n"
            "  \"EndHour\" = DWORD:00000017  \r\n"
            "@=\"default\"\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Cookies]\r\n"
            "\"Blob\"=hex:01, 02,\\\r\n"
            "    03,\\\r\n"
            "  FF\r\n"
            "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
            "\"Path\"=\"C:\\Temp\\\\x\"\r\n"
            "\r\n"
            "; a second section of a key adds to it\r\n"
            "[HKEY_CURRENT_USER\\Software\\Larkvale\\Moonfetch\\Schedule]\r\n"
            "\"Extra\"=dword:1");
    const char* cookies = "Software\\Larkvale\\Moonfetch\\Cookies";
    auto expectAll = [&] {
        EXPECT_EQ(query(KEY, "BeginHour").bytes, dword(10));
        EXPECT_EQ(query(KEY, "EndHour").bytes, dword(23));
        EXPECT_EQ(query(KEY, "Extra").bytes, dword(1));
        Read fallback = query(KEY, "");
        EXPECT_EQ(fallback.type, REG_SZ);
        EXPECT_EQ(fallback.bytes, "default\0"s);
        EXPECT_EQ(query(cookies, "Blob").bytes, "\x01\x02\x03\xFF");
        EXPECT_EQ(query(cookies, "Big").type, REG_QWORD);
        EXPECT_EQ(query(cookies, "Path").bytes, "C:\\Temp\\x\0"s);
    };
    expectAll();
    // Values written again unchanged leave the file as it is, its hand-made layout included.
    const std::string handMade = readFile(file());
    ASSERT_EQ(setDword(KEY, "extra", 1), REG_OK);
    ASSERT_EQ(setBytes(cookies, "Path", REG_SZ, "C:\\Temp\\x\0"s), REG_OK);
    EXPECT_EQ(readFile(file()), handMade);
    ASSERT_EQ(setDword(KEY, "New", 1), REG_OK);
    expectAll();
    EXPECT_FALSE(std::filesystem::exists(file() + ".bad"));

    putFile("; comment first\nWindows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n"
            "\"x\"=dword:1");
    EXPECT_EQ(query("A", "x").bytes, dword(1));
}

TEST_F(RegStore, DamagedFileReadsEmptyAndIsKeptAsBadAtTheFirstWrite)
{
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string key = "[HKEY_CURRENT_USER\\Software\\Larkvale]\n";
    const std::string damaged[] = {
        "",
        key + "\"a\"=dword:1\n",
        header + key + "\"a\"=dword:1\njunk\n",
        header + key + "\"a\"=hex:01,0g\n",
        header + key + "\"a\"=dword:123456789\n",
        header + key + "\"a\"=dword:\n",
        header + "\"a\"=dword:1\n" + key,
        header + key + "\"a\"=\"open\n",
        header + key + "\"a=dword:1\n",
        header + key + "\"a\"=hex:01,\\\n",
        header + key + "\"a\"=\"x\" y\n",
        header + "[HKEY_LOCAL_MACHINE\\Software]\n",
        header + "[HKEY_CURRENT_USER\\Software\\\\Larkvale]\n\"a\"=dword:1\n",
    };
    putFile("");
    moontest::writeFile(file() + ".bad", "older");
    for (const std::string& text : damaged) {
        SCOPED_TRACE(text);
        putFile(text);
        EXPECT_EQ(query("Software", "a").key, REG_ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(query("Software\\Larkvale", "a").result, REG_ERROR_FILE_NOT_FOUND);
        ASSERT_EQ(setDword("Software\\Larkvale", "b", 2), REG_OK);
        EXPECT_EQ(readFile(file() + ".bad"), text);
        EXPECT_EQ(readFile(file()), header + "[HKEY_CURRENT_USER\\Software]\n\n" + key + "\"b\"=dword:00000002\n\n");
        ASSERT_EQ(setDword("Software\\Larkvale", "c", 3), REG_OK);
        EXPECT_EQ(readFile(file() + ".bad"), text);
    }
}

TEST_F(RegStore, FailedWriteLeavesTheFileByteForByte)
{
    ASSERT_EQ(setBytes(KEY, "Download", REG_SZ, "/home/me/dl\0"s), REG_OK);
    const std::string before = readFile(file());
    const std::set<std::string> entries = folderEntries();

    // An unwritable folder. Permissions do not stop root, so the write then runs as nobody,
    // who must still reach the folder and the lock.
    ::chmod(dir().c_str(), 0755);
    ::chmod(path("config").c_str(), 0755);
    ::chmod((file() + ".lock").c_str(), 0666);
    ::chmod(folder().c_str(), 0555);
    int code = moontest::inChild([] {
        if (!moontest::becomeNobody())
            return 100;
        return static_cast<int>(setDword(KEY, "BeginHour", 4));
    });
    EXPECT_EQ(code, REG_ERROR_ACCESS_DENIED);
    EXPECT_EQ(readFile(file()), before);
    EXPECT_EQ(folderEntries(), entries);
    ::chmod(folder().c_str(), 0755);

    // A write cut off in the middle, as on a full disk.
    code = moontest::inChild([] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{16, 16};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 100;
        return static_cast<int>(setBytes(KEY, "Download", REG_SZ, std::string(200, 'x') + '\0'));
    });
    EXPECT_EQ(code, REG_ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(readFile(file()), before);
    EXPECT_EQ(folderEntries(), entries);
}

TEST_F(RegStore, FullDiskGivesItsOwnCodeAndLeavesTheFileByteForByte)
{
    constexpr int NO_MOUNT = 100;
    constexpr int DAMAGED = 101;
    std::filesystem::create_directories(path("config"));
    // A file system of a few pages over the settings folder, in a mount table of the child's own.
    int code = moontest::inChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", path("config").c_str(), "tmpfs", 0, "size=16k") != 0)
            return NO_MOUNT;
        if (setDword(KEY, "BeginHour", 1) != REG_OK)
            return DAMAGED;
        const std::string before = readFile(file());
        const std::set<std::string> entries = folderEntries();
        int32_t result = setBytes(KEY, "Download", REG_SZ, std::string(64 * 1024, 'x') + '\0');
        return readFile(file()) == before && folderEntries() == entries ? result : DAMAGED;
    });
    if (code == NO_MOUNT)
        GTEST_SKIP() << "this system refused a private tmpfs, so no full disk could be made";
    EXPECT_EQ(code, REG_ERROR_DISK_FULL);
}

using RegStoreConcurrent = RegStore;

TEST_F(RegStoreConcurrent, ProcessesWritingAtOnceKeepEveryValue)
{
    constexpr int CHILDREN = 4;
    constexpr int WRITES = 50;
    ASSERT_EQ(setDword(KEY, "Anchor", 42), REG_OK);
    auto name = [](int c, int i) { return "C" + std::to_string(c) + "_" + std::to_string(i); };
    std::vector<pid_t> children;
    for (int c = 0; c < CHILDREN; ++c) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < WRITES; ++i)
                failures += setDword(KEY, name(c, i).c_str(), static_cast<uint32_t>(i)) != REG_OK;
            ::_exit(failures);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    // Readers take no lock: however the writes interleave, a reader sees a whole file.
    int torn = 0;
    for (pid_t pid : children) {
        int status = 0;
        pid_t done = 0;
        while ((done = ::waitpid(pid, &status, WNOHANG)) == 0)
            torn += query(KEY, "Anchor").bytes != dword(42);
        EXPECT_TRUE(done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(torn, 0);
    int missing = 0;
    for (int c = 0; c < CHILDREN; ++c)
        for (int i = 0; i < WRITES; ++i)
            missing += query(KEY, name(c, i).c_str()).bytes != dword(static_cast<uint32_t>(i));
    EXPECT_EQ(missing, 0);
    EXPECT_FALSE(std::filesystem::exists(file() + ".bad"));
}

}  // namespace

#include "platform/files.h"
#include "platform/instance.h"
#include "platform/program.h"

#include "tests/support/fixtures.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

using LocalFiles = moontest::Sandbox;

TEST_F(LocalFiles, WritingKeepsTheAskedPartOfAPlainFileOnly)
{
    // What lies at the name before ("/": a folder, null: nothing), the bytes kept, the content
    // after writing "XY" (null: the open fails).
    const struct { const char* before; int64_t keep; const char* after; } cases[] = {
        {nullptr, 0, "XY"},  {"abcdef", 0, "XY"},   {"abcdef", 2, "abXY"},
        {"abc", 3, "abcXY"}, {"abc", 4, nullptr},   {nullptr, 2, nullptr}, {"/", 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.before ? c.before : "(none)") + " keep " + std::to_string(c.keep));
        const std::string name = path("local");
        fs::remove_all(name);
        if (c.before != nullptr && std::string(c.before) == "/")
            fs::create_directory(name);
        else if (c.before != nullptr)
            moontest::writeFile(name, c.before);
        FILE* file = Plat_OpenForWriting(name.c_str(), c.keep);
        ASSERT_EQ(file != nullptr, c.after != nullptr);
        if (file == nullptr)
            continue;
        std::fputs("XY", file);
        std::fclose(file);
        EXPECT_EQ(moontest::readFile(name), c.after);
    }
}

// Each save's clean-up of what killed saves left must leave the others' temporary files alone,
// from their creation until they take the target's name (a save's lock is its own descriptor's,
// so threads meet as processes do).
using LocalFilesConcurrent = LocalFiles;

TEST_F(LocalFilesConcurrent, SavesOfOneFileAtOnceNeverRemoveEachOthersWork)
{
    std::atomic<int> failures = 0;
    {
        std::vector<std::jthread> savers;
        for (char fill : {'a', 'b', 'c', 'd'})
            savers.emplace_back([&failures, fill] {
                const std::string text(4096, fill);
                for (int i = 0; i < 100; ++i)
                    failures += Plat_ReplaceFile("list.txt", text.data(), text.size()) != 0;
            });
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(moontest::folderEntries("."), std::set<std::string>{"list.txt"});
}

// Every call that takes a path keeps its UTF-8 name as the disk's own, whatever the system's
// code page: a data and download folder with accents, the lock and the list in it, and a file
// that the server named, which is found under its name as it was written.
TEST_F(LocalFiles, AccentedNamesAreTheNamesOnDiskAndTheWrittenFileIsTheOneFoundThere)
{
    const std::u8string top = dir().u8string();
    const std::string folder = std::string(top.begin(), top.end()) + PATH_SEP + "T\xC3\xA9l\xC3\xA9" "chargements" +
                               PATH_SEP + "Jos\xC3\xA9";
    const std::string file = folder + PATH_SEP + "na\xC3\xAFve-\xE2\x82\xAC.bin";
    const std::string lock = folder + PATH_SEP + "verrou-\xC3\xA9";
    const std::string list = folder + PATH_SEP + "liste-\xC3\xA9.txt";
    ASSERT_EQ(Plat_CreateFolders(folder, 0700), 0);
    FILE* written = Plat_OpenForWriting(file.c_str(), 0);
    ASSERT_NE(written, nullptr);
    std::fputs("abc", written);
    PlatFileState kept, seen;
    ASSERT_EQ(Plat_KeepWritten(written, &kept), 0);
    ASSERT_EQ(Plat_LookAt(file.c_str(), &seen), 0);
    std::fclose(written);
    EXPECT_TRUE(seen.regular && seen.named && !seen.link && seen.size == 3);
    EXPECT_EQ(std::tuple(seen.device, seen.inode, seen.modifiedNs),
              std::tuple(kept.device, kept.inode, kept.modifiedNs));
    EXPECT_EQ(Plat_ReplaceFile(list.c_str(), "abc", 3), 0);
    std::string read;
    EXPECT_EQ(Plat_ReadBounded(list.c_str(), 16, &read), 0);
    EXPECT_EQ(read, "abc");
    ASSERT_EQ(Plat_LockInstance(lock.c_str()), 0);
    EXPECT_EQ(Plat_LockHolder(lock.c_str()), long(getpid()));
    Plat_UnlockInstance();
    EXPECT_EQ(moontest::folderEntries(dir() / u8"T\u00E9l\u00E9chargements" / u8"Jos\u00E9"),
              (std::set<std::string>{"liste-\xC3\xA9.txt", "na\xC3\xAFve-\xE2\x82\xAC.bin", "verrou-\xC3\xA9"}));
}

}  // namespace

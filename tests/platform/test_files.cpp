#include "platform/files.h"
#include "platform/instance.h"

#include "tests/support/fixtures.h"

#include <filesystem>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using moontest::readFile;
using moontest::writeFile;

int replace(const std::string& path, const std::string& text)
{
    return Plat_ReplaceFile(path.c_str(), text.data(), text.size());
}

using ReplaceFile = moontest::Sandbox;

TEST_F(ReplaceFile, ALinkStaysALinkWhoseFinalTargetGetsTheContentAndAReplacedFileKeepsItsMode)
{
    // The link in "here", what it holds (null: the absolute path of the target), its final target.
    const struct { const char* link; const char* points; const char* target; } cases[] = {
        {"absolute", nullptr, "dotfiles/absolute"},
        {"relative", "../dotfiles/relative", "dotfiles/relative"},
        {"chain", "relative", "dotfiles/relative"},
        {"dangling", "../dotfiles/new", "dotfiles/new"},
    };
    fs::create_directories(path("here"));
    fs::create_directories(path("dotfiles"));
    writeFile(path("dotfiles/absolute"), "old");
    writeFile(path("dotfiles/relative"), "old");
    for (const auto& c : cases) {
        const std::string link = path("here/") + c.link, points = c.points ? c.points : path(c.target);
        fs::create_symlink(points, link);
        ASSERT_EQ(replace(link, c.link), 0) << c.link;
        std::error_code notALink;
        EXPECT_EQ(fs::read_symlink(link, notALink), points) << c.link;
        EXPECT_EQ(readFile(path(c.target)), c.link);
    }
    // A replaced file keeps its mode, a new one follows the umask: the mode of the file replaced (0: none
    // yet), the umask, the mode of the result.
    const mode_t modes[][3] = {{0600, 022, 0600}, {0640, 077, 0640}, {0, 077, 0600}, {0, 022, 0644}};
    for (const auto& [oldMode, mask, expected] : modes) {
        fs::remove("list.txt");
        if (oldMode != 0) {
            writeFile("list.txt", "old");
            ::chmod("list.txt", oldMode);
        }
        mode_t before = ::umask(mask);
        EXPECT_EQ(replace("list.txt", "new"), 0);
        ::umask(before);
        EXPECT_EQ(fs::status("list.txt").permissions() & fs::perms::all, fs::perms(expected))
            << std::oct << oldMode << " umask " << mask;
    }
}

TEST_F(ReplaceFile, ASaveRemovesWhatAKilledSaveLeftBesideItsTarget)
{
    writeFile(path("list.txt"), "old");
    // Killed in the middle of its write: the file size limit ends the process as a kill would.
    int code = moontest::inChild([&] {
        rlimit noCore{0, 0}, small{2, 2};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::setrlimit(RLIMIT_FSIZE, &small);
        return replace(path("list.txt"), "a list longer than the limit");
    });
    ASSERT_EQ(code, -1);
    EXPECT_EQ(readFile(path("list.txt")), "old");
    const std::set<std::string> killed = moontest::folderEntries(".");
    ASSERT_EQ(killed.size(), 2u);
    EXPECT_TRUE(killed.rbegin()->starts_with("list.txt.tmp-")) << *killed.rbegin();
    writeFile(path("other.txt.tmp-Old123"), "another file's");
    ASSERT_EQ(replace(path("list.txt"), "new"), 0);
    EXPECT_EQ(readFile(path("list.txt")), "new");
    EXPECT_EQ(moontest::folderEntries("."), (std::set<std::string>{"list.txt", "other.txt.tmp-Old123"}));
}

using InstanceLock = moontest::Sandbox;

TEST_F(InstanceLock, ALinkIsNeverFollowedAndAFileThatCannotBeWrittenIsLockedForReading)
{
    // A link at the lock's name, to a file or to nothing, else a file of this mode and owner; what nobody gets.
    const struct { const char* link; mode_t mode; uid_t owner; int result; } cases[] = {
        {nullptr, 0444, 65534, 0}, {nullptr, 0644, 0, 0}, {nullptr, 0, 0, EACCES}, {"file.txt", 0666, 0, ELOOP},
        {"planted.txt", 0666, 0, ELOOP}};
    fs::permissions(dir(), fs::perms::all);   // a followed link could write or create its target
    for (const auto& c : cases) {
        fs::remove("moonfch_lock.txt");
        writeFile("file.txt", "old");
        c.link ? fs::create_symlink(c.link, "moonfch_lock.txt") : fs::create_hard_link("file.txt", "moonfch_lock.txt");
        EXPECT_TRUE(::chmod("file.txt", c.mode) == 0 && (::chown("file.txt", c.owner, 0) == 0 || ::geteuid() != 0));
        EXPECT_EQ(moontest::inChild([] {
            return moontest::becomeNobody() ? Plat_LockInstance("moonfch_lock.txt") : -1; }), c.result) << &c - cases;
    }
}

}  // namespace

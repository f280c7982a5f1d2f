#include "platform/program.h"

#include "tests/support/fixtures.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

using Program = moontest::Sandbox;

// A program started apart does what it was told and, on Linux, keeps none of our descriptors
// (an inherited one would keep a browser waiting on the host's pipes) nor our session.
TEST_F(Program, AProgramStartedApartRunsWithNothingOfOurs)
{
#ifdef _WIN32
    // From a folder whose name has a space, as under "Program Files".
    const std::string program = path("a b\\cmd.exe");
    fs::create_directory(path("a b"));
    fs::copy_file(std::string(std::getenv("SystemRoot")) + "\\system32\\cmd.exe", program);
    ASSERT_TRUE(Plat_StartDetached(program, {"/c", "echo apart>out.tmp&&ren out.tmp out"}));
    const std::string expected = "apart\r\n";
#else
    const int inherited = ::open("/dev/null", O_RDONLY);
    ASSERT_TRUE(Plat_StartDetached("/bin/sh", {"-c", "exec > out.tmp; ls /proc/$$/fd; readlink /proc/$$/fd/0; "
                                                     "[ $(cut -d' ' -f6 /proc/$$/stat) = $$ ] && echo apart; mv out.tmp out"}));
    ::close(inherited);
    const std::string expected = "0\n1\n2\n/dev/null\napart\n";
#endif
    for (int k = 0; k < 500 && !fs::exists(path("out")); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(moontest::readFile(path("out")), expected);
}

TEST_F(Program, AnInputIsReadWholeUpToItsLimitAndAFolderIsRefused)
{
    constexpr size_t LIMIT = 100000;   // more than one block of the read
    fs::create_directory(path("folder"));
    moontest::writeFile(path("full"), std::string(LIMIT, 'x'));
    moontest::writeFile(path("over"), std::string(LIMIT + 1, 'x'));
    const struct { const char* name; int error; } cases[] = {
        {"full", 0}, {"over", EFBIG}, {"folder", EISDIR}, {"missing", ENOENT},
    };
    for (const auto& c : cases) {
        std::string text;
        EXPECT_EQ(Plat_ReadBounded(path(c.name).c_str(), LIMIT, &text), c.error) << c.name;
        EXPECT_TRUE(c.error != 0 || text == std::string(LIMIT, 'x')) << c.name;
    }
}

}  // namespace

#include "platform/files.h"

#include "tests/support/fixtures.h"

#include <filesystem>
#include <fstream>
#include <string>

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
            std::ofstream(name, std::ios::binary) << c.before;
        FILE* file = Plat_OpenForWriting(name.c_str(), c.keep);
        ASSERT_EQ(file != nullptr, c.after != nullptr);
        if (file == nullptr)
            continue;
        std::fputs("XY", file);
        std::fclose(file);
        std::ifstream in(name, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.after);
    }
}

TEST_F(LocalFiles, TheWrittenFileIsTheOneFoundUnderItsName)
{
    const std::string name = path("local");
    FILE* file = Plat_OpenForWriting(name.c_str(), 0);
    ASSERT_NE(file, nullptr);
    std::fputs("abc", file);
    PlatFileState written;
    PlatFileState seen;
    ASSERT_EQ(Plat_KeepWritten(file, &written), 0);
    ASSERT_EQ(Plat_LookAt(name.c_str(), &seen), 0);
    EXPECT_TRUE(seen.regular && seen.named && !seen.link);
    EXPECT_EQ(seen.size, 3);
    EXPECT_EQ(seen.device, written.device);
    EXPECT_EQ(seen.inode, written.inode);
    EXPECT_EQ(seen.modifiedNs, written.modifiedNs);
    std::fclose(file);
}

}  // namespace

#include "diag/trace.h"

#include "tests/support/fixtures.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using moontest::readFile;

using Trace = moontest::Sandbox;

TEST_F(Trace, WritesOnlyWhileOpenWithTheTextsControlsEscapedAndReopeningStartsAFreshFile)
{
    Trace_EnableLevels(TRACE_ALL);
    moontest::writeFile("a.txt", "old run\n");
    ASSERT_NE(Trace_Open("a.txt"), nullptr);
    Trace_Print(TRACE_ALL, "Trace file for Moonfetch 1.2");
    Trace_PrintInt(TRACE_ALL, "Wire_Request: result = %d\n", -2147483647 - 1);
    Trace_PrintInt64(TRACE_ALL, "QueryURL, size = %d\n", 5000000000);
    Trace_PrintString(TRACE_ALL, "QueryURL, %s\n", "http://h/a\r\nforged\x1b[2J\x7f\xc2\x85 \xc3\xa9\t");
    Trace_Print(TRACE_ALL, "ends\n");
    ASSERT_NE(Trace_Open("b.txt"), nullptr);
    Trace_Print(TRACE_ALL, "second");
    using enum std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status("b.txt").permissions() & all, owner_read | owner_write);
    // A log that cannot be opened leaves everything silent; only a link, never followed, is reported.
    std::filesystem::create_symlink(path("a.txt"), "link.txt");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Trace_Open("missing/dir/c.txt"), nullptr);
    EXPECT_EQ(Trace_Open("link.txt"), nullptr);
    Trace_Print(TRACE_ALL, "lost");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Moonfetch: link.txt is a symbolic link; running without a trace log.\n");
    Trace_Close();
    Trace_Print(TRACE_ALL, "after close");
    Trace_Close();
    EXPECT_EQ(readFile("a.txt"),
              "Trace file for Moonfetch 1.2\nWire_Request: result = -2147483648\nQueryURL, size = 5000000000\n"
              "QueryURL, http://h/a\\r\\nforged\\x1b[2J\\x7f\\xc2\\x85 \xc3\xa9\\t\nends\\n\n");
    EXPECT_EQ(readFile("b.txt"), "second\n");
}

using TraceDeathTest = moontest::Sandbox;

TEST_F(TraceDeathTest, LevelMaskGatesEveryPrint)
{
    // The mask is process-wide and never cleared, so this runs in a fresh process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Trace_Open("gate.txt");
            Trace_Print(TRACE_ALL, "mask still 0");
            Trace_EnableLevels(0x6);
            Trace_PrintInt(0x1, "outside %d\n", 1);
            Trace_PrintInt(0x3, "one shared bit %d\n", 2);
            Trace_PrintString(TRACE_ALL, "%s\n", "all");
            Trace_Close();
            const bool gated = readFile("gate.txt") == "one shared bit 2\nall\n";
            std::filesystem::remove_all(dir());   // the re-run child made a sandbox of its own
            std::exit(gated ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(TraceDeathTest, EachWholeLineIsInTheFileAtOnceAndSurvivesAKill)
{
    GTEST_FLAG_SET(death_test_style, "fast");   // the child keeps this sandbox as its folder
    for (bool ended : {false, true}) {
        EXPECT_EXIT(
            {
                Trace_EnableLevels(TRACE_ALL);
                Trace_Open("killed.txt");
                Trace_Print(TRACE_ALL, "Trace file for Moonfetch 1.2");
                // The name's own line end leaves the line open.
                Trace_PrintString(TRACE_ALL, "Wire_SendCookies: %s = ", "s\nid");
                if (ended)
                    Trace_PrintString(TRACE_ALL, " %s\n", "abc");
                ::raise(SIGKILL);
            },
            ::testing::KilledBySignal(SIGKILL), "");
        EXPECT_EQ(readFile("killed.txt"),
                  std::string("Trace file for Moonfetch 1.2\n") + (ended ? "Wire_SendCookies: s\\nid =  abc\n" : ""));
    }
}

using TraceConcurrent = moontest::Sandbox;

// "I <number>" or "T <thread>:" followed only by that thread's letter.
bool isWholeLine(const std::string& line)
{
    if (line.starts_with("I "))
        return line.size() > 2 && line.find_first_not_of("0123456789", 2) == std::string::npos;
    if (line.size() < 5 || !line.starts_with("T ") || line[3] != ':')
        return false;
    return line.find_first_not_of(char('a' + (line[2] - '0')), 4) == std::string::npos;
}

TEST_F(TraceConcurrent, LinesOfManyThreadsNeverMixAndCloseNeverTearsOne)
{
    Trace_EnableLevels(TRACE_ALL);
    ASSERT_NE(Trace_Open("log.txt"), nullptr);
    constexpr int threads = 6, lines = 1500;
    std::atomic<int> ready{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t, &ready] {
            // Lines in two calls, some longer than a stdio buffer: no other line may cut one.
            std::string body(static_cast<size_t>(100 + 3000 * (t % 3)), char('a' + t));
            ++ready;
            for (int i = 0; i < lines; ++i) {
                Trace_PrintString(TRACE_ALL, "T %s:", std::to_string(t).c_str());
                Trace_PrintString(TRACE_ALL, "%s\n", body.c_str());
                Trace_PrintInt(TRACE_ALL, "I %d\n", t * 100000 + i);
            }
        });
    }
    moontest::waitFor([&] { return ready == threads; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Trace_Close();
    for (auto& writer : writers)
        writer.join();

    std::istringstream log(readFile("log.txt"));
    int count = 0;
    for (std::string line; std::getline(log, line); ++count)
        ASSERT_TRUE(isWholeLine(line)) << "torn line " << count << ": " << line.substr(0, 80);
    EXPECT_TRUE(count > 0 && count <= 2 * threads * lines) << count;
}

}  // namespace

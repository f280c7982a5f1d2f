#include "core/segments.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr int64_t MIB = SEG_MIN_SIZE;
constexpr int64_t SECOND = SEG_SECOND_NS;

// The gaps are those of the file's first 40 bytes.
TEST(Segments, DoneRangesMergeForgetLeaveGapsAndReadBackFromTheirTextForm)
{
    const struct {
        const char* name;
        std::vector<SegRange> added;
        SegRange removed;
        const char* text;
        int64_t prefix;
        const char* gaps;
    } cases[] = {
        {"touching merge", {{10, 20}, {0, 10}, {20, 30}}, {}, "0-30", 30, "30-40"},
        {"overlaps merge", {{5, 15}, {40, 50}, {10, 45}}, {}, "5-50", 0, "0-5"},
        {"empty ignored", {{7, 7}, {9, 3}}, {}, "", 0, "0-40"},
        {"removal splits", {{0, 100}}, {40, 60}, "0-40,60-100", 40, ""},
        {"removal of all", {{0, 10}, {20, 30}}, {0, 30}, "", 0, "0-40"},
        {"gaps between", {{10, 20}, {30, 120}}, {}, "10-20,30-120", 0, "0-10,20-30"},
    };
    for (const auto& c : cases) {
        SegDone done{}, gaps{}, read{};
        for (SegRange range : c.added)
            Seg_Add(&done, range);
        Seg_Remove(&done, c.removed);
        SegRange missing[4];
        for (int32_t i = 0, count = Seg_Missing(done, 40, missing, 4); i < count; ++i)
            Seg_Add(&gaps, missing[i]);
        const bool parsed = Seg_Parse(c.text, &read);
        EXPECT_EQ(std::tuple(Seg_Format(done), Seg_Prefix(done), Seg_Format(gaps), parsed, Seg_Format(read)),
                  std::tuple(c.text, c.prefix, c.gaps, true, c.text)) << c.name;
    }
}

TEST(Segments, TextThatDoesNotReadWhollyIsNothing)
{
    for (const char* text : {"5", "1-", "-1-2", "3-2", "0-4,", "0-4;5-6", "0-4,x", "0-99999999999999999999"}) {
        SegDone done{};
        EXPECT_FALSE(Seg_Parse(text, &done)) << text;
        EXPECT_EQ(done.count, 0) << text;
    }
}

TEST(Segments, AFullSetForgetsItsSmallestRangeNeverABytesItDidNotGet)
{
    SegDone done{};
    for (int64_t i = 0; i < SEG_DONE_CAPACITY; ++i)
        Seg_Add(&done, {i * 100, i * 100 + 10 + i});
    Seg_Add(&done, {10000, 10005});   // smaller than any held: forgotten itself
    EXPECT_EQ(std::pair(done.count, Seg_End(done)), std::pair(SEG_DONE_CAPACITY, int64_t(47 * 100 + 10 + 47)));
    Seg_Add(&done, {10000, 10050});   // 0-10 was the smallest
    EXPECT_EQ(std::tuple(done.count, done.ranges[0].first, Seg_End(done)),
              std::tuple(SEG_DONE_CAPACITY, int64_t(100), int64_t(10050)));
}

TEST(Segments, AFinishedConnectionTakesTheBackHalfOfTheLargestRangeAboveTheFloor)
{
    SegRange ranges[] = {{0, 3 * MIB}, {5 * MIB, 9 * MIB}, {9 * MIB, 10 * MIB}};
    SegRange taken{};
    EXPECT_EQ(Seg_SplitLargest(ranges, 3, MIB, &taken), 1);
    EXPECT_EQ(std::tuple(taken.first, taken.end, ranges[1].end), std::tuple(7 * MIB, 9 * MIB, 7 * MIB));
    SegRange small[] = {{0, 2 * MIB - 1}};
    EXPECT_EQ(Seg_SplitLargest(small, 1, MIB, &taken), -1);
}

// A feed of windows (how long, how many bytes, how many added connections not answered yet),
// and the connections the ramp wants at each window's end; the engine runs what it wants.
TEST(Segments, ConnectionsGrowWhileTheyRaiseTheTotalRate)
{
    constexpr int64_t W = SEG_WINDOW_NS, K = SEG_WINDOW_BYTES;
    struct Window {
        int64_t ns;
        int64_t bytes;
        int32_t want;
        int32_t waiting = 0;
    };
    constexpr int64_t L = SEG_WINDOW_MAX_NS;
    const struct {
        const char* name;
        int32_t limit;
        std::vector<Window> windows;
        bool refused = false;   // what the engine sets when the server refuses
    } cases[] = {
        {"each connection held back", 16, {{W, K, 4}, {W, 4 * K, 16}, {W, 16 * K, 16}, {W, 16 * K, 16}}},
        {"one is enough: the added go after the longest window, and come again after a pause that doubles", 16,
         {{W, 10 * K, 4}, {W, 10 * K, 4}, {L - W, 95 * K, 1}, {SEG_PAUSE_NS - 1, 0, 1}, {W + 1, 10 * K, 4},
          {L, 105 * K, 1}, {2 * SEG_PAUSE_NS - 1, 0, 1}, {W + 1, 10 * K, 4}}},
        {"a shared cap keeps what it gained", 16, {{W, K, 4}, {W, 4 * K, 16}, {L, 50 * K, 16}, {W, 20 * K, 16}}},
        {"the added ones' first bytes count, also before the last answered", 16,
         {{W, K, 4}, {W, 3 * K, 4, 1}, {W, K, 16}}},
        {"up to the limit", 8, {{W, K, 4}, {W, 4 * K, 8}, {W, 8 * K, 8}}},
        {"too short a window", 16, {{W - 1, 10 * K, 1}, {1, 0, 4}}},
        {"too few bytes until the longest window", 16, {{W, K, 4}, {W, K, 4}, {L - 2 * W, K, 4}, {W, 38 * K, 16}}},
        {"no judging while the added have not answered", 16, {{W, K, 4}, {L, 0, 4, 3}, {W, 40 * K, 16}}},
        {"one connection only", 1, {{W, K, 1}, {W, K, 1}}},
        {"refused", 16, {{W, K, 1}}, true},
    };
    for (const auto& c : cases) {
        SegRamp ramp{};
        int64_t now = 0, total = 0;
        Seg_RampStart(&ramp, c.limit, now, total);
        ramp.stopped = c.refused;
        for (size_t i = 0; i < c.windows.size(); ++i) {
            now += c.windows[i].ns;
            total += c.windows[i].bytes;
            ramp.waiting = c.windows[i].waiting;
            const int32_t want = Seg_RampTick(&ramp, now, total);
            EXPECT_EQ(want, c.windows[i].want) << c.name << ", window " << i;
            ramp.connections = want;
        }
    }
}

TEST(Segments, TheLimiterLetsThroughTheRateAndNoBurstBeyondAnEighthOfASecond)
{
    SegLimiter none{};
    Seg_LimiterStart(&none, 0, 0);
    EXPECT_EQ(Seg_LimiterTake(&none, 0, 1 << 30), 0);

    constexpr int64_t RATE = 80 * 1024, BLOCK = 1024;
    SegLimiter limiter{};
    Seg_LimiterStart(&limiter, RATE, 0);
    int64_t now = 0, taken = 0;
    // Ten seconds of a reader that asks for a block whenever the bucket lets it.
    while (now < 10 * SECOND) {
        const int64_t wait = Seg_LimiterTake(&limiter, now, BLOCK);
        if (wait == 0)
            taken += BLOCK;
        else
            now += wait;
    }
    EXPECT_LE(taken, 10 * RATE + RATE / 8);
    EXPECT_GE(taken, 10 * RATE - BLOCK);
    // After a long pause only the burst is there at once.
    now += 60 * SECOND;
    int64_t burst = 0;
    while (Seg_LimiterTake(&limiter, now, BLOCK) == 0)
        burst += BLOCK;
    EXPECT_EQ(burst, RATE / 8);
}

}  // namespace

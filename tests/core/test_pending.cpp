#include "pending.h"

#include "items.h"
#include "urlparse.h"

#include "core_fixture.h"

#include <csignal>
#include <filesystem>
#include <ostream>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using moontest::readFile;
using moontest::writeFile;

const std::string HEADER = "1.2, Moonfetch pending URL list for internal use.\n";

struct Saved {
    std::string url;
    std::string path;
    int64_t size;
    std::string etag{};
    std::string modified{};
    int64_t part = 0;
    bool operator==(const Saved&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Saved& s)
    {
        return out << "{" << s.url.substr(0, 40) << ", " << s.path.substr(0, 40) << ", " << s.size
                   << ", " << s.etag << ", " << s.modified << ", " << s.part << "}";
    }
};

class Pending : public moontest::CoreSandbox {
protected:

    static UrlItem* add(const std::string& url, uint32_t flags, const std::string& path = "",
                        int64_t size = 0)
    {
        UrlItem* item = MOONQ_NewItem(url.c_str());
        item->flags = flags;
        std::snprintf(item->localPath, sizeof item->localPath, "%s", path.c_str());
        item->size = size;
        return item;
    }

    // Every item of pendingList; each must have come back plainly valid.
    static std::vector<Saved> items()
    {
        std::vector<Saved> out;
        for (UrlItem* item = MOONQ_FirstItem(); item; item = MOONQ_NextItem(item)) {
            EXPECT_EQ(item->flags, ITEM_VALID) << item->url;
            out.push_back({item->url, item->localPath, item->size, item->etag, item->lastModified,
                           item->partDone.load()});
        }
        return out;
    }

    // Empties the list without touching files, as a restart would.
    static void restart()
    {
        MOONQ_Stop();
        ASSERT_EQ(MOONQ_Start(), 0);
    }

    static size_t loadFrom(const std::string& content)
    {
        writeFile(PENDING_FILE, content);
        return MOONQ_LoadPending();
    }
};

TEST_F(Pending, SavesValidItemsOnlyAndReadsThemBackAfterWhatTheListHeld)
{
    add("http://h/validating", 0);
    add("http://h/a.zip", ITEM_VALID | ITEM_SELECTED | ITEM_EXT_DIR, "/d/zip/a.zip", 10);
    add("http://h/failed", ITEM_FAILED);
    add("http://h/b.zip", ITEM_VALID | ITEM_FAILED, "", 20);
    add("http://h/c.zip", ITEM_VALID | ITEM_NEEDS_FIX, "/d/c.zip", 30);
    add("http://h/deleted", ITEM_VALID);
    MOONQ_ClickSelect(5, false);
    MOONQ_DeleteSelected();
    ASSERT_EQ(MOONQ_SavePending(), 0);
    EXPECT_EQ(readFile(PENDING_FILE), HEADER +
              "http://h/a.zip\n/d/zip/a.zip\n10\n"
              "http://h/b.zip\n\n20\n"
              "http://h/c.zip\n/d/c.zip\n30\n");

    restart();
    MOONQ_NewItem("http://h/already")->flags = ITEM_VALID;
    EXPECT_EQ(MOONQ_LoadPending(), 3u);
    EXPECT_EQ(items(), (std::vector<Saved>{{"http://h/already", "", 0},
                                           {"http://h/a.zip", "/d/zip/a.zip", 10},
                                           {"http://h/b.zip", "", 20},
                                           {"http://h/c.zip", "/d/c.zip", 30}}));
}

TEST_F(Pending, EmptyListAndMissingOrBareFiles)
{
    ASSERT_EQ(MOONQ_SavePending(), 0);
    EXPECT_EQ(readFile(PENDING_FILE), HEADER);
    EXPECT_EQ(MOONQ_LoadPending(), 0u);
    EXPECT_EQ(loadFrom(""), 0u);
    std::filesystem::remove(PENDING_FILE);
    EXPECT_EQ(MOONQ_LoadPending(), 0u);
    EXPECT_EQ(MOONQ_CountItems(), 0u);
}

TEST_F(Pending, HeaderIsSkippedWhateverItSays)
{
    EXPECT_EQ(loadFrom("9.9, something else entirely\nhttp://h/x\n/p\n5\n"), 1u);
    EXPECT_EQ(items(), (std::vector<Saved>{{"http://h/x", "/p", 5}}));
}

TEST_F(Pending, TruncatedFileKeepsWhatWasRead)
{
    EXPECT_EQ(loadFrom(HEADER + "http://h/1\n/p1\n1\nhttp://h/2\n/p2\n"), 2u);
    EXPECT_EQ(loadFrom(HEADER + "http://h/3"), 1u);  // no line end at all
    EXPECT_EQ(items(), (std::vector<Saved>{{"http://h/1", "/p1", 1},
                                           {"http://h/2", "/p2", 0},
                                           {"http://h/3", "", 0}}));
}

TEST_F(Pending, SizesAreReadLikeAtoiButSixtyFourBitsWide)
{
    EXPECT_EQ(loadFrom(HEADER +
                       "http://h/big\n/a\n5000000000\r\n"
                       "http://h/neg\r\n/b\r\n  -99999999999999999999999xyz\r\n"
                       "http://h/letters\n/c\nabc12\n"
                       "http://h/huge\n/d\n99999999999999999999999\n"),
              4u);
    EXPECT_EQ(items(), (std::vector<Saved>{{"http://h/big", "/a", 5000000000},
                                           {"http://h/neg", "/b", 0},   // no size is negative
                                           {"http://h/letters", "/c", 0},
                                           {"http://h/huge", "/d", INT64_MAX}}));
    restart();
    add("http://h/4g", ITEM_VALID, "/e", (int64_t(1) << 32) + 1);
    ASSERT_EQ(MOONQ_SavePending(), 0);
    restart();
    MOONQ_LoadPending();
    EXPECT_EQ(items(), (std::vector<Saved>{{"http://h/4g", "/e", (int64_t(1) << 32) + 1}}));
}

TEST_F(Pending, VersionAndPartRideOnTheSizeLineWhereAnAtoiReaderSeesOnlyTheSize)
{
    UrlItem* item = add("http://h/v.zip", ITEM_VALID, "/v.zip", 200000);
    CopyBounded(item->etag, "\"5f1-a2\"");
    CopyBounded(item->lastModified, "Wed, 21 Oct 2015 07:28:00 GMT");
    item->partDone = 150000;
    add("http://h/w.zip", ITEM_VALID, "/w.zip", 7)->partDone = 0;
    ASSERT_EQ(MOONQ_SavePending(), 0);
    EXPECT_EQ(readFile(PENDING_FILE), HEADER +
              "http://h/v.zip\n/v.zip\n200000\tetag=\"5f1-a2\"\tmodified=Wed, 21 Oct 2015 07:28:00 GMT"
              "\tpart=150000\n"
              "http://h/w.zip\n/w.zip\n7\n");
    restart();
    EXPECT_EQ(MOONQ_LoadPending(), 2u);
    // Fields in any order, unknown ones, a negative part, and values that cannot be stored.
    EXPECT_EQ(loadFrom(HEADER + "http://h/x\n/x\n9\tpart=-4\tnew=1\tmodified=Mon\tetag=" +
                       std::string(ETAG_CAPACITY, 'e') + "\n"
                       "http://h/y\n/y\n8\tetag=\"a\x01\"\tpart=3\r\n"),
              2u);
    EXPECT_EQ(items(), (std::vector<Saved>{
                           {"http://h/v.zip", "/v.zip", 200000, "\"5f1-a2\"",
                            "Wed, 21 Oct 2015 07:28:00 GMT", 150000},
                           {"http://h/w.zip", "/w.zip", 7},
                           {"http://h/x", "/x", 9, "", "Mon", 0},
                           {"http://h/y", "/y", 8, "", "", 3}}));
}

TEST_F(Pending, LongestFieldsRoundTripWholeWithoutShiftingLaterItems)
{
    std::string url = "http://h/" + std::string(2057 - 9, 'u');
    std::string path = "/" + std::string(510, 'p');
    add(url, ITEM_VALID, path, 77);
    add("http://h/next", ITEM_VALID, "/n", 8);
    ASSERT_EQ(MOONQ_SavePending(), 0);
    restart();
    EXPECT_EQ(MOONQ_LoadPending(), 2u);
    EXPECT_EQ(items(), (std::vector<Saved>{{url, path, 77}, {"http://h/next", "/n", 8}}));
}

TEST_F(Pending, OversizedLinesNeverSpillIntoOtherFields)
{
    // A path that no item can hold is dropped rather than cut to name another file; a URL that
    // no item can hold ends the reading, keeping what came before.
    std::string hugePath = "/" + std::string(511, 'p');   // one character more than fits
    std::string hugeUrl = "http://h/" + std::string(3000, 'u');
    EXPECT_EQ(loadFrom(HEADER + "http://h/1\n" + hugePath + "\n4\n" + hugeUrl + "\n/q\n5\nhttp://h/3\n/r\n6\n"),
              1u);
    EXPECT_EQ(items(), (std::vector<Saved>{{"http://h/1", "", 4}}));
}

using PendingConcurrent = Pending;

TEST_F(PendingConcurrent, HandedOffSavesNeverLandAfterALaterOneAndStopWaitsForThem)
{
    for (int i = 0; i < 200; ++i) {
        add("http://h/" + std::to_string(i), ITEM_VALID, "/p", i);
        MOONQ_SavePendingSoon();
    }
    MOONQ_FreeList(&pendingList);
    add("http://h/last", ITEM_VALID, "/p", 1);
    ASSERT_EQ(MOONQ_SavePending(), 0);
    MOONQ_FinishSaves();
    EXPECT_EQ(readFile(PENDING_FILE), HEADER + "http://h/last\n/p\n1\n");

    add("http://h/after", ITEM_VALID, "/p", 2);
    MOONQ_SavePendingSoon();
    MOONQ_FinishSaves();
    EXPECT_EQ(readFile(PENDING_FILE), HEADER + "http://h/last\n/p\n1\nhttp://h/after\n/p\n2\n");
}

class PendingSaveFailure : public Pending {
protected:
    void SetUp() override
    {
        Pending::SetUp();
        add("http://h/old", ITEM_VALID, "/old", 1);
        ASSERT_EQ(MOONQ_SavePending(), 0);
        before = readFile(PENDING_FILE);
        add("http://h/new", ITEM_VALID, "/new", 2);
    }
    void expectOldFileAndNoLeftovers()
    {
        EXPECT_EQ(readFile(PENDING_FILE), before);
        size_t entries = 0;
        for (auto& entry : std::filesystem::directory_iterator(dir()))
            entries += entry.path().filename().string().starts_with(PENDING_FILE);
        EXPECT_EQ(entries, 1u);
    }
    std::string before;
};

TEST_F(PendingSaveFailure, FullDiskLeavesThePreviousList)
{
    // A file-size limit stands in for a full disk: the write fails part-way.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = old;
    tiny.rlim_cur = before.size() + 4;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    int result = MOONQ_SavePending();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(result, 0);
    expectOldFileAndNoLeftovers();
}

TEST_F(PendingSaveFailure, ReadOnlyDirectoryLeavesThePreviousList)
{
    // Permissions do not bind root, so the save runs as nobody, who may read but not write here.
    std::filesystem::permissions(dir(), std::filesystem::perms::owner_all |
                                 std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                                 std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
    int result = moontest::inChild([] { return moontest::becomeNobody() ? MOONQ_SavePending() : -1; });
    EXPECT_GT(result, 0);
    expectOldFileAndNoLeftovers();
}

TEST_F(PendingSaveFailure, DirectoryInTheFilesPlaceIsLeftAlone)
{
    std::filesystem::remove(PENDING_FILE);
    std::filesystem::create_directory(PENDING_FILE);
    writeFile(std::string(PENDING_FILE) + "/inside", "kept");
    EXPECT_NE(MOONQ_SavePending(), 0);
    EXPECT_EQ(readFile(std::string(PENDING_FILE) + "/inside"), "kept");
    EXPECT_EQ(MOONQ_LoadPending(), 0u);
}

}  // namespace

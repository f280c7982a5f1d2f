#include "core/pending.h"

#include "core/items.h"
#include "core/start.h"
#include "platform/text.h"
#include "web/urlparse.h"

#include "tests/core/core_fixture.h"

#include <filesystem>
#include <string>
#include <vector>

namespace {

using moontest::newItem;
using moontest::readFile;
using moontest::writeFile;

const std::string HEADER = "1.2, Moonfetch pending URL list for internal use.\n";

class Pending : public moontest::CoreSandbox {
protected:
    // Every item of pendingList as "url|path|size|etag|modified|part", then "|ranges" when more are
    // done than the part; each must be plainly valid (or a valid one whose query found a web page).
    static std::vector<std::string> items()
    {
        std::vector<std::string> out;
        for (UrlItem* item = MOONQ_FirstItem(); item; item = MOONQ_NextItem(item)) {
            EXPECT_EQ(item->flags & ~ITEM_QUERY_PAGE, ITEM_VALID) << item->url;
            out.push_back(std::string(item->url) + "|" + item->localPath + "|" + std::to_string(item->size) + "|" +
                          item->etag + "|" + item->lastModified + "|" + std::to_string(item->partDone.load()) +
                          (Seg_Bytes(MOONQ_PartRanges(item)) > item->partDone ? "|" + Seg_Format(MOONQ_PartRanges(item)) : ""));
        }
        return out;
    }
};

TEST_F(Pending, SavesTheValidItemsWithTheirVersionAndPartAndReadsThemBackAfterWhatTheListHeld)
{
    const std::string longest = "http://h/" + std::string(2057 - 9, 'u'), longestPath = "/" + std::string(510, 'p');
    newItem("http://h/validating", 0);
    newItem("http://h/a.zip", ITEM_VALID | ITEM_SELECTED | ITEM_EXT_DIR, "/d/zip/a.zip", 10);
    newItem("http://h/failed", ITEM_FAILED);
    newItem("http://h/b.zip", ITEM_VALID | ITEM_FAILED, "", 20);
    newItem("http://h/c.zip", ITEM_VALID | ITEM_NEEDS_FIX, "/d/c.zip", 30);
    newItem("http://h/deleted", ITEM_VALID);
    MOONQ_ClickSelect(5, false);
    MOONQ_DeleteSelected();
    UrlItem* versioned = newItem("https://h/v.zip", ITEM_VALID, "/v.zip", 200000);
    Text_CopyBounded(versioned->etag, "\"5f1-a2\"");
    Text_CopyBounded(versioned->lastModified, "Wed, 21 Oct 2015 07:28:00 GMT");
    versioned->partDone = 150000;
    SegDone ranges{};
    Seg_Add(&ranges, {0, 150000});
    Seg_Add(&ranges, {160000, 200000});
    MOONQ_SetPartRanges(versioned, ranges);
    versioned->partFile = {2049, 18446744073709551615u, 1700000000123456789};
    ASSERT_TRUE(MOONQ_HandCookies(versioned, "session=kept in memory"));   // and never saved
    EXPECT_TRUE(versioned->handed->secure);
    ASSERT_TRUE(MOONQ_HandReferrer(versioned, "https://pages.example:8443/p?q#top"));
    EXPECT_FALSE(MOONQ_HandReferrer(versioned, "ftp://pages.example/") || MOONQ_HandReferrer(versioned, "http://h/\n"));
    EXPECT_EQ(std::string(versioned->handed->referrer) + " " + versioned->handed->referrerOrigin,
              "https://pages.example:8443/p?q https://pages.example:8443/");
    newItem("http://h/4g", ITEM_VALID | ITEM_QUERY_PAGE, "/e", (int64_t(1) << 32) + 1);
    newItem(longest, ITEM_VALID, longestPath, 77);
    newItem("http://h/next", ITEM_VALID, "/n", 8);
    ASSERT_EQ(MOONQ_SavePending(), 0);
    const std::string saved = "http://h/a.zip\n/d/zip/a.zip\n10\nhttp://h/b.zip\n\n20\nhttp://h/c.zip\n/d/c.zip\n30\n"
                              "https://h/v.zip\n/v.zip\n200000\tetag=\"5f1-a2\"\tmodified=Wed, 21 Oct 2015 07:28:00 GMT"
                              "\tpart=150000\tdone=0-150000,160000-200000\tdevice=2049\tinode=18446744073709551615\tmtime=1700000000123456789"
                              "\nhttp://h/4g\n/e\n4294967297\tpage=1\n" + longest + "\n" + longestPath +
                              "\n77\nhttp://h/next\n/n\n8\n";
    EXPECT_EQ(readFile(PENDING_FILE), HEADER + saved);
    // Links may carry tokens: a new list is its owner's alone.
    using enum std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(PENDING_FILE).permissions() & all, owner_read | owner_write);
    // Read back behind what the list holds, every item plainly valid, they save as before.
    MOONQ_Stop();   // empties the lists without touching files, as a restart would
    // What the browser handed over stays in memory: neither the log nor the list holds it.
    const std::string log = readFile("moonfch_log.txt");
    EXPECT_TRUE(log.find("pages.example") == std::string::npos && log.find("kept in memory") == std::string::npos);
    ASSERT_EQ(MOONQ_Start(), 0);
    MOONQ_NewItem("http://h/already")->flags = ITEM_VALID;
    EXPECT_EQ(MOONQ_LoadPending(), 7u);
    EXPECT_EQ(items().size(), 8u);
    ASSERT_EQ(MOONQ_SavePending(), 0);
    EXPECT_EQ(readFile(PENDING_FILE), HEADER + "http://h/already\n\n0\n" + saved);
}

TEST_F(Pending, ReadingTakesWhatTheFileHoldsAsFarAsItCanBeTrusted)
{
    const struct {
        const char* name;
        std::string content;   // "-" for no file at all
        std::vector<std::string> items;
    } cases[] = {
        {"no file", "-", {}},
        {"empty", "", {}},
        {"header only", HEADER, {}},
        {"any header", "9.9, something else entirely\nhttp://h/x\n/p\n5\n", {"http://h/x|/p|5|||0"}},
        {"cut short", HEADER + "http://h/1\n/p1\n1\nhttp://h/2\n/p2\n",
         {"http://h/1|/p1|1|||0", "http://h/2|/p2|0|||0"}},
        {"no line end at all", HEADER + "http://h/3", {"http://h/3||0|||0"}},
        // Sizes read like atoi, but 64 bits wide, and none is negative.
        {"sizes", HEADER + "http://h/big\n/a\n5000000000\r\nhttp://h/neg\r\n/b\r\n  -99999999999999999999999xyz\r\n"
                           "http://h/letters\n/c\nabc12\nhttp://h/huge\n/d\n99999999999999999999999\n",
         {"http://h/big|/a|5000000000|||0", "http://h/neg|/b|0|||0", "http://h/letters|/c|0|||0",
          "http://h/huge|/d|" + std::to_string(INT64_MAX) + "|||0"}},
        // Fields behind the size in any order, unknown ones, a negative part, values that cannot be stored.
        {"fields", HEADER + "http://h/x\n/x\n9\tpart=-4\tnew=1\tmodified=Mon\tetag=" + std::string(ETAG_CAPACITY, 'e') +
                       "\nhttp://h/y\n/y\n8\tetag=\"a\x01\"\tpart=3\r\n",
         {"http://h/x|/x|9||Mon|0", "http://h/y|/y|8|||3"}},
        // Ranges done besides the part; ranges that do not read leave the part alone.
        {"ranges", HEADER + "http://h/r\n/r\n90\tdone=40-90\tpart=10\nhttp://h/s\n/s\n90\tpart=10\tdone=0-10;50-60\n",
         {"http://h/r|/r|90|||10|0-10,40-90", "http://h/s|/s|90|||10"}},
        // A path no item can hold is dropped rather than cut to name another file; a URL no item
        // can hold ends the reading, keeping what came before.
        {"oversized", HEADER + "http://h/1\n/" + std::string(511, 'p') + "\n4\nhttp://h/" + std::string(3000, 'u') +
                          "\n/q\n5\nhttp://h/3\n/r\n6\n",
         {"http://h/1||4|||0"}},
        // The file is read in blocks: a line longer than one reads whole, and so does the next.
        {"longer than a block", HEADER + "http://h/x\n/x\n9\tnew=" + std::string(100000, 'n') +
                                    "\tpart=7\r\nhttp://h/y\n/y\n8\n",
         {"http://h/x|/x|9|||7", "http://h/y|/y|8|||0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MOONQ_FreeList(&pendingList);
        if (c.content == "-")
            std::filesystem::remove(PENDING_FILE);
        else
            writeFile(PENDING_FILE, c.content);
        EXPECT_EQ(MOONQ_LoadPending(), c.items.size());
        EXPECT_EQ(items(), c.items);
    }
    MOONQ_FreeList(&pendingList);
    ASSERT_EQ(MOONQ_SavePending(), 0);
    EXPECT_EQ(readFile(PENDING_FILE), HEADER);
}

using PendingConcurrent = Pending;

TEST_F(PendingConcurrent, HandedOffSavesNeverLandAfterALaterOneAndStopWaitsForThem)
{
    for (int i = 0; i < 200; ++i) {
        newItem("http://h/" + std::to_string(i), ITEM_VALID, "/p", i);
        MOONQ_SavePendingSoon();
    }
    MOONQ_FreeList(&pendingList);
    newItem("http://h/last", ITEM_VALID, "/p", 1);
    ASSERT_EQ(MOONQ_SavePending(), 0);
    MOONQ_FinishSaves();
    EXPECT_EQ(readFile(PENDING_FILE), HEADER + "http://h/last\n/p\n1\n");

    newItem("http://h/after", ITEM_VALID, "/p", 2);
    MOONQ_SavePendingSoon();
    MOONQ_FinishSaves();
    EXPECT_EQ(readFile(PENDING_FILE), HEADER + "http://h/last\n/p\n1\nhttp://h/after\n/p\n2\n");
}

TEST_F(Pending, FailedSaveLeavesThePreviousListAndNoLeftovers)
{
    newItem("http://h/old", ITEM_VALID, "/old", 1);
    ASSERT_EQ(MOONQ_SavePending(), 0);
    const std::string before = readFile(PENDING_FILE);
    newItem("http://h/new", ITEM_VALID, "/new", 2);
    // A full disk: the write fails part-way.
    EXPECT_NE(moontest::withFileSizeLimit(before.size() + 4, [] { return MOONQ_SavePending(); }), 0);
    EXPECT_EQ(readFile(PENDING_FILE), before);
    size_t entries = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir()))
        entries += entry.path().filename().string().starts_with(PENDING_FILE);
    EXPECT_EQ(entries, 1u);
    // A directory in the file's place is left alone.
    std::filesystem::remove(PENDING_FILE);
    std::filesystem::create_directory(PENDING_FILE);
    writeFile(std::string(PENDING_FILE) + "/inside", "kept");
    EXPECT_NE(MOONQ_SavePending(), 0);
    EXPECT_EQ(readFile(std::string(PENDING_FILE) + "/inside"), "kept");
    EXPECT_EQ(MOONQ_LoadPending(), 0u);
}

}  // namespace

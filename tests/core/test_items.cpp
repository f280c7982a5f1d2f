#include "items.h"

#include "core_fixture.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using moontest::readFile;
using moontest::writeFile;

class Items : public moontest::CoreSandbox {
protected:

    // Adds items named "http://h/0", "http://h/1", ...
    void addItems(int count)
    {
        for (int i = 0; i < count; ++i)
            ASSERT_NE(MOONQ_NewItem(("http://h/" + std::to_string(i)).c_str()), nullptr);
    }

    static std::vector<std::string> urls(ListLink& head)
    {
        std::vector<std::string> out;
        for (ListLink* at = head.next; at != &head; at = at->next)
            out.push_back(MOONQ_ItemOf(at)->url);
        return out;
    }

    static std::string selection()
    {
        std::string marks;
        for (UrlItem* item = MOONQ_FirstItem(); item; item = MOONQ_NextItem(item))
            marks += (item->flags & ITEM_SELECTED) ? 'x' : '.';
        return marks;
    }
};

TEST_F(Items, UrlLengthLimitIsTheBuffer)
{
    std::string longest = "http://h/" + std::string(2057 - 9, 'a');
    UrlItem* item = MOONQ_NewItem(longest.c_str());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(std::string(item->url), longest);
    EXPECT_EQ(item->flags, 0u);
    EXPECT_EQ(MOONQ_NewItem((longest + "b").c_str()), nullptr);
    EXPECT_EQ(MOONQ_CountItems(), 1u);
}

TEST_F(Items, WalkingAndPositions)
{
    EXPECT_EQ(MOONQ_FirstItem(), nullptr);
    EXPECT_EQ(MOONQ_ItemAt(0), nullptr);
    addItems(3);
    EXPECT_EQ(MOONQ_CountItems(), 3u);
    EXPECT_STREQ(MOONQ_ItemAt(0)->url, "http://h/0");
    EXPECT_STREQ(MOONQ_ItemAt(2)->url, "http://h/2");
    EXPECT_EQ(MOONQ_ItemAt(3), nullptr);
    EXPECT_EQ(MOONQ_NextItem(MOONQ_ItemAt(2)), nullptr);
}

TEST_F(Items, ClickSelectTogglesAndExtends)
{
    addItems(4);
    MOONQ_ClickSelect(1, false);
    EXPECT_EQ(selection(), ".x..");
    MOONQ_ClickSelect(3, true);
    EXPECT_EQ(selection(), ".x.x");
    MOONQ_ClickSelect(3, true);   // extend toggles only that item
    EXPECT_EQ(selection(), ".x..");
    MOONQ_SelectAll();
    EXPECT_EQ(selection(), "xxxx");
    MOONQ_ClickSelect(2, false);  // the selected item itself is deselected with all others
    EXPECT_EQ(selection(), "....");
    MOONQ_SelectAll();
    MOONQ_ClickSelect(9, false);  // past the end: nothing selected any more
    EXPECT_EQ(selection(), "....");
    MOONQ_ClickSelect(9, true);
    EXPECT_EQ(selection(), "....");
}

TEST_F(Items, DeleteAndUndo)
{
    addItems(4);
    MOONQ_ClickSelect(0, false);
    MOONQ_ClickSelect(2, true);
    MOONQ_DeleteSelected();
    EXPECT_EQ(urls(pendingList), (std::vector<std::string>{"http://h/1", "http://h/3"}));
    EXPECT_EQ(urls(deletedList), (std::vector<std::string>{"http://h/0", "http://h/2"}));

    MOONQ_UndoDelete();
    EXPECT_EQ(urls(pendingList),
              (std::vector<std::string>{"http://h/1", "http://h/3", "http://h/0", "http://h/2"}));
    EXPECT_EQ(selection(), "..xx");
    MOONQ_UndoDelete();   // a second Undo has nothing left
    EXPECT_EQ(MOONQ_CountItems(), 4u);

    MOONQ_DeleteSelected();
    MOONQ_ClickSelect(9, false);
    MOONQ_DeleteSelected();   // nothing selected, but the earlier Delete is forgotten
    EXPECT_TRUE(List_IsEmpty(&deletedList));
    MOONQ_UndoDelete();
    EXPECT_EQ(urls(pendingList), (std::vector<std::string>{"http://h/1", "http://h/3"}));
}

TEST_F(Items, DownloadDirectoryLimitAndTrace)
{
    std::string dir511(511, 'd');
    MOONQ_SetDownloadDir(dir511.c_str());
    EXPECT_EQ(std::string(MOONQ_GetDownloadDir()), dir511);
    MOONQ_SetDownloadDir(std::string(512, 'e').c_str());
    EXPECT_EQ(std::string(MOONQ_GetDownloadDir()), dir511);
    MOONQ_SetDownloadDir("");
    EXPECT_STREQ(MOONQ_GetDownloadDir(), "");

    MOONQ_Stop();
    std::string log = readFile("moonfch_log.txt");
    EXPECT_NE(log.find("DownloadDir, set default: " + dir511 + "\n"), std::string::npos);
    // The refused directory is traced too, so the log shows what was asked for.
    EXPECT_NE(log.find("DownloadDir, set default: " + std::string(512, 'e') + "\n"), std::string::npos);
    ASSERT_EQ(MOONQ_Start(), 0);
}

TEST_F(Items, FreeingDeletesOnlyEmptyPlaceholders)
{
    writeFile("empty.bin", "");
    writeFile("data.bin", "x");
    std::filesystem::create_directory("emptydir");
    std::filesystem::create_symlink("empty.bin", "link.bin");
    const char* paths[] = {"empty.bin", "data.bin", "emptydir", "link.bin", "missing.bin", ""};
    for (const char* path : paths) {
        UrlItem* item = MOONQ_NewItem("http://h/f");
        std::snprintf(item->localPath, sizeof item->localPath, "%s", path);
        List_Remove(&item->link);
        MOONQ_FreeItem(item);
    }
    EXPECT_FALSE(std::filesystem::exists("empty.bin"));
    EXPECT_EQ(readFile("data.bin"), "x");
    EXPECT_TRUE(std::filesystem::is_directory("emptydir"));
    EXPECT_TRUE(std::filesystem::is_symlink("link.bin"));
    MOONQ_FreeItem(nullptr);
}

TEST_F(Items, StopFreesBothListsAndTheirPlaceholders)
{
    writeFile("kept.bin", "");
    writeFile("deleted.bin", "");
    UrlItem* kept = MOONQ_NewItem("http://h/kept");
    std::snprintf(kept->localPath, sizeof kept->localPath, "kept.bin");
    UrlItem* gone = MOONQ_NewItem("http://h/gone");
    std::snprintf(gone->localPath, sizeof gone->localPath, "deleted.bin");
    MOONQ_ClickSelect(1, false);
    MOONQ_DeleteSelected();

    MOONQ_Stop();
    EXPECT_FALSE(std::filesystem::exists("kept.bin"));
    EXPECT_FALSE(std::filesystem::exists("deleted.bin"));
    EXPECT_TRUE(List_IsEmpty(&pendingList));
    EXPECT_TRUE(List_IsEmpty(&deletedList));
    EXPECT_EQ(readFile("moonfch_log.txt"), "Trace file for Moonfetch 1.2\n");

    // A new start writes a fresh log, whatever the previous run wrote.
    ASSERT_EQ(MOONQ_Start(), 0);
    MOONQ_SetDownloadDir("x");
    MOONQ_Stop();
    EXPECT_EQ(readFile("moonfch_log.txt"),
              "Trace file for Moonfetch 1.2\nDownloadDir, set default: x\n");
    ASSERT_EQ(MOONQ_Start(), 0);
}

}  // namespace

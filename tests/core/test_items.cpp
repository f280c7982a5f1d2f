#include "items.h"

#include "core_fixture.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using moontest::readFile;
using moontest::writeFile;
namespace fs = std::filesystem;

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

TEST_F(Items, NewItemsQueueInOrderUpToTheUrlBuffer)
{
    EXPECT_EQ(MOONQ_FirstItem(), nullptr);
    EXPECT_EQ(MOONQ_ItemAt(0), nullptr);
    std::string longest = "http://h/" + std::string(2057 - 9, 'a');
    UrlItem* item = MOONQ_NewItem(longest.c_str());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(std::string(item->url), longest);
    EXPECT_EQ(item->flags, 0u);
    EXPECT_EQ(MOONQ_NewItem((longest + "b").c_str()), nullptr);
    addItems(2);
    EXPECT_EQ(MOONQ_CountItems(), 3u);
    EXPECT_EQ(MOONQ_ItemAt(0), item);
    EXPECT_STREQ(MOONQ_ItemAt(2)->url, "http://h/1");
    EXPECT_EQ(MOONQ_ItemAt(3), nullptr);
    EXPECT_EQ(MOONQ_NextItem(MOONQ_ItemAt(2)), nullptr);
}

TEST_F(Items, ClickSelectTogglesAndExtends)
{
    constexpr int ALL = -1;
    const struct { int position; bool extend; const char* after; } clicks[] = {
        {1, false, ".x.."}, {3, true, ".x.x"}, {3, true, ".x.."},   // extend toggles only that item
        {ALL, false, "xxxx"}, {2, false, "...."},   // the selected item goes with all others
        {ALL, false, "xxxx"}, {9, false, "...."}, {9, true, "...."},   // past the end
    };
    addItems(4);
    for (const auto& click : clicks) {
        click.position == ALL ? MOONQ_SelectAll() : MOONQ_ClickSelect(size_t(click.position), click.extend);
        EXPECT_EQ(selection(), click.after) << click.position << " " << click.extend;
    }
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

TEST_F(Items, DownloadDirectoryMustFitItsBufferAndEveryRequestIsTracedInAFreshLog)
{
    const std::string fits(511, 'd'), tooLong(512, 'e');
    MOONQ_SetDownloadDir(fits.c_str());
    MOONQ_SetDownloadDir(tooLong.c_str());
    EXPECT_EQ(MOONQ_GetDownloadDir(), fits);
    MOONQ_Stop();
    const std::string head = "Trace file for Moonfetch 1.2\nDownloadDir, set default: ";
    EXPECT_EQ(readFile("moonfch_log.txt"), head + fits + "\nDownloadDir, set default: " + tooLong + "\n");

    ASSERT_EQ(MOONQ_Start(), 0);   // whatever the previous run wrote
    MOONQ_SetDownloadDir("x");
    MOONQ_Stop();
    EXPECT_EQ(readFile("moonfch_log.txt"), head + "x\n");
    ASSERT_EQ(MOONQ_Start(), 0);
}

TEST_F(Items, StopFreesBothListsAndDeletesOnlyEmptyPlaceholders)
{
    writeFile("deleted.bin", "");
    writeFile("empty.bin", "");
    writeFile("data.bin", "x");
    fs::create_directory("emptydir");
    fs::create_symlink("empty.bin", "link.bin");
    for (const char* path : {"deleted.bin", "empty.bin", "data.bin", "emptydir", "link.bin", "missing.bin", ""}) {
        UrlItem* item = MOONQ_NewItem("http://h/f");
        std::snprintf(item->localPath, sizeof item->localPath, "%s", path);
    }
    MOONQ_ClickSelect(0, false);
    MOONQ_DeleteSelected();
    MOONQ_FreeItem(nullptr);

    MOONQ_Stop();
    EXPECT_FALSE(fs::exists("deleted.bin"));
    EXPECT_FALSE(fs::exists("empty.bin"));
    EXPECT_EQ(readFile("data.bin"), "x");
    EXPECT_TRUE(fs::is_directory("emptydir"));
    EXPECT_TRUE(fs::is_symlink("link.bin"));
    EXPECT_TRUE(List_IsEmpty(&pendingList) && List_IsEmpty(&deletedList));
    EXPECT_EQ(readFile("moonfch_log.txt"), "Trace file for Moonfetch 1.2\n");
    ASSERT_EQ(MOONQ_Start(), 0);
}

}  // namespace

#include "core/items.h"
#include "core/start.h"

#include "tests/core/core_fixture.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

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

    // The last letter of each item's address in the list's order, a selected one marked: "0 2*".
    static std::string names(ListLink& head = pendingList)
    {
        std::string out;
        for (ListLink* at = head.next; at != &head; at = at->next) {
            UrlItem* item = MOONQ_ItemOf(at);
            out += (out.empty() ? "" : " ") + std::string(1, std::string(item->url).back());
            out += (item->flags & ITEM_SELECTED) ? "*" : "";
        }
        return out;
    }
};

TEST_F(Items, NewItemsQueueInOrderUpToTheUrlBuffer)
{
    EXPECT_TRUE(MOONQ_FirstItem() == nullptr && MOONQ_ItemAt(0) == nullptr);
    const std::string longest = "http://h/" + std::string(2057 - 9, 'a');
    EXPECT_EQ(MOONQ_NewItem((longest + "b").c_str()), nullptr);
    UrlItem* item = MOONQ_NewItem(longest.c_str());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(std::pair(std::string(item->url), item->flags.load()), std::pair(longest, 0u));
    addItems(2);
    EXPECT_EQ(std::pair(names(), MOONQ_CountItems()), std::pair(std::string("a 0 1"), size_t(3)));
    EXPECT_TRUE(MOONQ_ItemAt(0) == item && MOONQ_ItemAt(3) == nullptr && MOONQ_NextItem(MOONQ_ItemAt(2)) == nullptr);
    EXPECT_STREQ(MOONQ_ItemAt(2)->url, "http://h/1");
}

// Each step acts on four items as the person would; then the list, and behind '|' the deleted items.
TEST_F(Items, ClickSelectTogglesAndExtendsAndOneDeleteCanBeUndone)
{
    enum Step { CLICK, EXTEND, ALL, DELETE, UNDO };
    const std::function<void(size_t)> act[] = {
        [](size_t at) { MOONQ_ClickSelect(at, false); }, [](size_t at) { MOONQ_ClickSelect(at, true); },
        [](size_t) { MOONQ_SelectAll(); }, [](size_t) { MOONQ_DeleteSelected(); }, [](size_t) { MOONQ_UndoDelete(); },
    };
    const struct { Step step; size_t at; const char* after; } steps[] = {
        {CLICK, 1, "0 1* 2 3|"}, {EXTEND, 3, "0 1* 2 3*|"}, {EXTEND, 3, "0 1* 2 3|"},   // extend toggles only that item
        {ALL, 0, "0* 1* 2* 3*|"}, {CLICK, 2, "0 1 2 3|"},   // the selected item goes with all others
        {ALL, 0, "0* 1* 2* 3*|"}, {CLICK, 9, "0 1 2 3|"}, {EXTEND, 9, "0 1 2 3|"},   // past the end
        {CLICK, 0, "0* 1 2 3|"}, {EXTEND, 2, "0* 1 2* 3|"}, {DELETE, 0, "1 3|0* 2*"},
        {UNDO, 0, "1 3 0* 2*|"}, {UNDO, 0, "1 3 0* 2*|"},   // a second Undo has nothing left
        {DELETE, 0, "1 3|0* 2*"}, {CLICK, 9, "1 3|0* 2*"},
        {DELETE, 0, "1 3|"}, {UNDO, 0, "1 3|"},   // nothing selected, but the earlier Delete is forgotten
    };
    addItems(4);
    for (const auto& s : steps) {
        act[s.step](s.at);
        EXPECT_EQ(names() + "|" + names(deletedList), s.after) << &s - steps;
    }
}

TEST_F(Items, DownloadDirectoryMustFitItsBufferAndEveryRequestIsTraced)
{
    const std::string fits(511, 'd'), tooLong(512, 'e');
    MOONQ_SetDownloadDir(fits.c_str());
    MOONQ_SetDownloadDir(tooLong.c_str());
    EXPECT_EQ(MOONQ_GetDownloadDir(), fits);
    EXPECT_EQ(readFile("moonfch_log.txt"), "Trace file for Moonfetch 1.2\nDownloadDir, set default: " + fits +
                                               "\nDownloadDir, set default: " + tooLong + "\n");
}

// A name is taken while another item holds it, and free again once that item gives it up or goes;
// an item's own name is no obstacle to it.
TEST_F(Items, LocalNameIsTakenOnlyWhileAnotherItemHoldsIt)
{
    UrlItem* first = MOONQ_NewItem("http://h/a");
    UrlItem* second = MOONQ_NewItem("http://h/b");
    auto taken = [&](const char* path) {
        return std::to_string(MOONQ_LocalNameMayBeTaken(first, path)) +
               std::to_string(MOONQ_LocalNameMayBeTaken(second, path));
    };
    MOONQ_SetLocalName(first, "dl/a.bin");
    MOONQ_SetLocalName(second, "dl/a.bin");
    EXPECT_EQ(taken("dl/a.bin"), "11");
    MOONQ_SetLocalName(second, "dl/b.bin");
    EXPECT_EQ(taken("dl/a.bin") + taken("dl/b.bin") + taken(""), "01" "10" "00");
    List_Remove(&first->link);
    MOONQ_FreeItem(first);
    EXPECT_EQ(MOONQ_LocalNameMayBeTaken(second, "dl/a.bin"), false);
}

TEST_F(Items, StopFreesBothListsAndDeletesOnlyEmptyPlaceholders)
{
    writeFile("deleted.bin", "");
    writeFile("empty.bin", "");
    writeFile("data.bin", "x");
    fs::create_directory("emptydir");
    fs::create_symlink("empty.bin", "link.bin");
    const char* paths[] = {"deleted.bin", "empty.bin", "data.bin", "emptydir", "link.bin", "missing.bin", ""};
    for (const char* path : paths)
        MOONQ_SetLocalName(MOONQ_NewItem("http://h/f"), path);
    MOONQ_ClickSelect(0, false);
    MOONQ_DeleteSelected();
    MOONQ_FreeItem(nullptr);
    MOONQ_Stop();
    std::string left;
    for (const char* path : paths)
        left += fs::exists(fs::symlink_status(path)) ? std::string(path) + " " : "";
    EXPECT_EQ(std::tuple(left, List_IsEmpty(&pendingList) && List_IsEmpty(&deletedList), readFile("moonfch_log.txt")),
              std::tuple("data.bin emptydir link.bin ", true, "Trace file for Moonfetch 1.2\n"));
    ASSERT_EQ(MOONQ_Start(), 0);
}

}  // namespace

#include "core/checkback.h"

#include "platform/text.h"
#include "tests/support/servers.h"
#include "tests/ui/ui_fixture.h"
#include "settings/registry.h"

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using moontest::readFile;
using moontest::writeFile;
namespace fs = std::filesystem;
using Answer = std::function<WinModalAnswer(const WinModal&)>;

Answer choose(const std::string& path) { return [=](const WinModal&) { return WinModalAnswer{IDOK, path}; }; }
Answer cancel() { return [](const WinModal&) { return WinModalAnswer{IDCANCEL, ""}; }; }
Answer press(int id)
{
    return [=](const WinModal& modal) {
        Win_Click(Win_GetDlgItem(modal.dialog, id));
        return WinModalAnswer{};
    };
}

class CheckBack : public moontest::DownloadSandbox {
protected:
    void SetUp() override
    {
        DownloadSandbox::SetUp();
        // Every modal call takes the next answer; one that nobody expected fails the test.
        Win_SetModalScript([this](const WinModal& modal) {
            static const char* const KINDS[] = {"dialog", "box", "save", "open"};
            seen.push_back(KINDS[int(modal.kind)] + (" " + modal.caption + ": " + modal.text));
            if (answers.empty()) {
                ADD_FAILURE() << "unexpected modal: " << modal.caption << " " << modal.text;
                return WinModalAnswer{};
            }
            Answer next = answers.front();
            answers.pop_front();
            return next(modal);
        });
    }
    // Adds url and waits for its worker; the item, not yet harvested.
    UrlItem* queried(const std::string& path)
    {
        UrlItem* item = MOONQ_AddURL(nginx->url(path).c_str(), &downloadOptions);
        auto* request = reinterpret_cast<UrlRequest*>(requestList.prev);
        EXPECT_TRUE(moontest::waitFor([&] { return request->result.load() != RESULT_RUNNING; }));
        return item;
    }
    int32_t checkBack() { return MOONQ_CheckBackQueries(&downloadOptions); }

    std::deque<Answer> answers;
    std::vector<std::string> seen;   // kind, caption and text of each modal call
};

TEST_F(CheckBack, ValidItemGetsItsPlaceholderAndItsDirectoryBecomesTheDefault)
{
    moontest::ScriptedServer silent({{moontest::readRequest(), moontest::staySilent()}});
    EXPECT_EQ(checkBack(), 2);
    MOONQ_AddURL(silent.url("slow.bin").c_str(), &downloadOptions);
    EXPECT_EQ(checkBack(), 0);

    nginx->makeFile("pub/song.mp3", 5000);
    ASSERT_TRUE(nginx->start());
    UrlItem* item = queried("pub/song.mp3");
    UrlItem* missing = queried("missing.bin");
    MOONQ_SetDownloadDir(path("elsewhere").c_str());
    EXPECT_EQ(checkBack(), 1);   // and no dialog
    EXPECT_EQ(std::tuple(item->flags.load(), missing->flags.load(), missing->status),
              std::tuple(ITEM_VALID, ITEM_FAILED, 404));
    EXPECT_TRUE(fs::is_regular_file(path("dl/song.mp3")) && fs::file_size(path("dl/song.mp3")) == 0);
    EXPECT_EQ(MOONQ_GetDownloadDir(), path("dl"));
    char stored[PATH_CAPACITY] = {};
    uint32_t size = sizeof stored;
    Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, stored, &size);
    EXPECT_EQ(stored, path("dl"));
    EXPECT_EQ(List_Count(&requestList), 1u);   // only the silent one is left
}

TEST_F(CheckBack, SaveDialogWhenTheDirectoryIsEmptyOrAskedForEveryTime)
{
    nginx->makeFile("a.mp3", 10);
    nginx->makeFile("b.mp3", 10);
    ASSERT_TRUE(nginx->start());
    MOONQ_SetDownloadDir("");
    UrlItem* item = queried("a.mp3");
    fs::create_directory("chosen");
    answers = {choose(path("chosen/a.mp3"))};
    EXPECT_EQ(checkBack(), 1);
    EXPECT_EQ(std::tuple(item->localPath, MOONQ_GetDownloadDir()), std::tuple(path("chosen/a.mp3"), path("chosen")));
    EXPECT_TRUE(fs::exists(path("chosen/a.mp3")));
    downloadOptions.askNameEveryTime = 1;
    queried("b.mp3");
    answers = {cancel()};
    EXPECT_EQ(checkBack(), 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"save Save As: a.mp3", "save Save As: " + path("chosen/b.mp3")}));
    EXPECT_EQ(MOONQ_CountItems(), 1u);
    EXPECT_FALSE(fs::exists(path("chosen/b.mp3")));
}

TEST_F(CheckBack, NameClashShowsTheMessageAndTheSaveDialogAgain)
{
    for (const char* name : {"a/x.bin", "b/x.bin", "c/x.bin"})
        nginx->makeFile(name, 10);
    ASSERT_TRUE(nginx->start());
    queried("a/x.bin");
    EXPECT_EQ(checkBack(), 1);
    UrlItem* second = queried("b/x.bin");
    std::string secondText;
    answers = {choose(""),
               [&](const WinModal& modal) {
                   secondText = second->statusText;
                   EXPECT_TRUE(second->flags & ITEM_NEEDS_FIX);
                   return cancel()(modal);
               }};
    EXPECT_EQ(checkBack(), 1);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].starts_with("box Attention: Local file name matches another name already in the list"));
    EXPECT_EQ(seen[1], "save Save As: " + path("dl/x.bin"));
    EXPECT_EQ(secondText, "File name conflict with other URL!");
    EXPECT_EQ(MOONQ_CountItems(), 1u);   // the cancelled one is gone
    EXPECT_TRUE(fs::exists(path("dl/x.bin")));   // and the first keeps its placeholder

    UrlItem* third = queried("c/x.bin");
    answers = {choose(""), choose(path("dl/y.bin"))};
    EXPECT_EQ(checkBack(), 1);
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(std::tuple(third->localPath, third->flags.load()), std::tuple(path("dl/y.bin"), ITEM_VALID));
    EXPECT_TRUE(fs::exists(path("dl/x.bin")));
}

TEST_F(CheckBack, ExistingFileIsReplacedRenamedOrKept)
{
    for (const char* name : {"r.bin", "p.bin", "c.bin", "l.bin"})
        nginx->makeFile(name, 10);
    writeFile(path("dl/r.bin"), "old data");
    writeFile(path("dl/p.bin"), "old data");
    writeFile(path("dl/c.bin"), "");   // the person's own empty file outlives a Cancel too
    fs::create_directory("outside");
    fs::create_symlink("../outside/planted.txt", path("dl/l.bin"));   // dangling, yet it exists
    ASSERT_TRUE(nginx->start());
    queried("r.bin");
    UrlItem* renamed = queried("p.bin");
    queried("c.bin");
    queried("l.bin");
    answers = {press(IDC_REPLACE), press(IDC_PICK_NEW), choose(path("dl/p2.bin")), press(IDC_ATTENTION_CANCEL),
               press(IDC_REPLACE)};
    EXPECT_EQ(checkBack(), 1);
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_EQ(fs::symlink_status(path("dl/l.bin")).type(), fs::file_type::regular);   // the link gave way
    EXPECT_FALSE(fs::exists("outside/planted.txt"));
    EXPECT_EQ(readFile(path("dl/r.bin")) + "|" + readFile(path("dl/p.bin")), "|old data");
    EXPECT_EQ(renamed->localPath, path("dl/p2.bin"));
    EXPECT_TRUE(fs::exists(path("dl/p2.bin")) && fs::exists(path("dl/c.bin")));
    EXPECT_EQ(MOONQ_CountItems(), 3u);
}

TEST_F(CheckBack, ExtensionFolderIsCreatedAndLeftOutOfTheDefault)
{
    nginx->makeFile("music/song.mp3", 10);
    ASSERT_TRUE(nginx->start());
    downloadOptions.useDirExtension = 1;
    UrlItem* item = queried("music/song.mp3");
    EXPECT_EQ(checkBack(), 1);
    EXPECT_EQ(std::tuple(item->localPath, MOONQ_GetDownloadDir()), std::tuple(path("dl/mp3/song.mp3"), path("dl")));
    EXPECT_TRUE(fs::is_regular_file(path("dl/mp3/song.mp3")));
    MOONQ_RememberDownloadDir("/d/docs/song.mp3", &downloadOptions);
    MOONQ_RememberDownloadDir("song.mp3", &downloadOptions);
    EXPECT_STREQ(MOONQ_GetDownloadDir(), "/d/docs");
    downloadOptions.useDirExtension = 0;
    MOONQ_RememberDownloadDir("/d/mp3/song.mp3", &downloadOptions);
    EXPECT_STREQ(MOONQ_GetDownloadDir(), "/d/mp3");
}

TEST_F(CheckBack, ZeroLengthWritesTheEscapedPageAndOpensItUnlessADirectory)
{
    nginx->makeFile("empty.bin", 0);
    nginx->addConfig("location = /dir/ { return 200 \"\"; }");
    ASSERT_TRUE(nginx->start());
    size_t opened = Win_OpenedDocuments().size();   // what earlier tests opened stays listed
    UrlItem* item = queried("empty.bin?a=1&b=<i>\"x\"");
    EXPECT_EQ(checkBack(), 1);
    EXPECT_EQ(std::tuple(item->flags.load(), std::string(item->statusText)),
              std::tuple(ITEM_FAILED, "Zero length! May need cookies to download from this site. "
                                      "Or may be link to HTML."));
    // The page explains itself, then links to the escaped address for the browser to try.
    const std::string page = readFile(ASK_BROWSER_PAGE);
    const std::string escaped = nginx->url("empty.bin?a=1&amp;b=&lt;i&gt;&quot;x&quot;");
    EXPECT_TRUE(page.starts_with("<html>\n<head>\n<title>Moonfetch could not validate URL</title>")) << page;
    EXPECT_TRUE(page.ends_with("validate it.\n<p>&nbsp;&nbsp;&nbsp; <a href=\"" + escaped + "\">" + escaped
                               + "</a>\n</body>\n</html>\n")) << page;
    ASSERT_EQ(Win_OpenedDocuments().size(), opened + 1);
    EXPECT_EQ(Win_OpenedDocuments().back(), ASK_BROWSER_PAGE);
    fs::remove(ASK_BROWSER_PAGE);
    UrlItem* directory = queried("dir/");   // no file to name: the query itself fails
    EXPECT_EQ(checkBack(), 1);
    EXPECT_EQ(std::tuple(directory->flags.load(), std::string(directory->statusText)),
              std::tuple(ITEM_FAILED, "Badly formatted URL, or not a file!"));
    EXPECT_FALSE(fs::exists(ASK_BROWSER_PAGE));
    fs::create_directory(ASK_BROWSER_PAGE);   // the page cannot be written: nothing opens
    UrlItem* unwritten = queried("empty.bin");
    EXPECT_EQ(checkBack(), 1);
    EXPECT_EQ(unwritten->flags, ITEM_FAILED);
    EXPECT_EQ(Win_OpenedDocuments().size(), opened + 1);
}

TEST_F(CheckBack, DoubleClickFixDeletesTheEmptyPlaceholderBeforeAsking)
{
    nginx->makeFile("f.bin", 10);
    ASSERT_TRUE(nginx->start());
    UrlItem* item = queried("f.bin");
    ASSERT_EQ(checkBack(), 1);
    bool placeholderWhileAsked = true;
    answers = {[&](const WinModal& modal) {
        placeholderWhileAsked = fs::exists(path("dl/f.bin"));
        return cancel()(modal);
    }};
    EXPECT_EQ(MOONQ_ChooseLocalFile(item, true, &downloadOptions), 0);
    EXPECT_FALSE(placeholderWhileAsked);
    EXPECT_EQ(std::tuple(item->localPath, MOONQ_CountItems()), std::tuple(path("dl/f.bin"), 1u));
    MOONQ_SetCheckBackDialogs({});   // nobody to ask: the same as a cancel
    EXPECT_EQ(MOONQ_ChooseLocalFile(item, true, &downloadOptions), 0);
}

TEST_F(CheckBack, PlaceholderCreationFailuresAndParentDirectories)
{
    UrlItem* item = MOONQ_NewItem("http://h/x.bin");
    EXPECT_EQ(MOONQ_ChooseLocalFile(item, false, &downloadOptions), ERR_LOCAL_FILE);
    CopyBounded(item->localPath, path("later/x.bin").c_str());
    // The result, whether the item needs fixing, and its status text.
    auto create = [item] {
        const int r = MOONQ_CreateLocalFile(item);
        return std::tuple(r, (item->flags & ITEM_NEEDS_FIX) != 0, std::string(item->statusText));
    };
    EXPECT_EQ(create(), std::tuple(2, true, "Local file creation failed."));
    item->flags |= ITEM_EXT_DIR;   // the one missing level is made
    item->partDone = 3000;         // a new placeholder holds no part of an earlier file
    EXPECT_EQ(create(), std::tuple(1, false, "OK"));
    EXPECT_EQ(item->partDone.load(), 0);
    fs::create_directory(path("folder.bin"));   // never offered for replacement
    CopyBounded(item->localPath, path("folder.bin").c_str());
    EXPECT_EQ(create(), std::tuple(2, true, "Local file creation failed."));
    // The results for "", "x.bin", two missing levels, one, and the same again (made now).
    std::vector<int> made;
    for (const std::string& name : {std::string(), std::string("x.bin"), path("p/q/x.bin"), path("p/x.bin"),
                                    path("p/x.bin")}) {
        std::string writable = name;
        made.push_back(MOONQ_MakeParentDir(writable.data()));
        EXPECT_EQ(writable, name);
    }
    EXPECT_EQ(made, (std::vector<int>{-1, -1, -2, 0, -2}));
    EXPECT_TRUE(fs::is_directory(path("p")));
}

}  // namespace

#include "core/checkback.h"

#include "core/workers.h"
#include "platform/text.h"
#include "settings/registry.h"
#include "web/expiry.h"

#include "tests/core/core_fixture.h"

#include <cstdio>
#include <deque>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using moontest::newItem;
using moontest::readFile;

// The person at the dialogs: each question is written down and takes the next answer, a chosen
// name ("" cancels) or the Attention dialog's button ("1" replace, "2" pick a new name, "0" cancel).
std::deque<std::string> answers;
std::string asked;

std::string answer(const std::string& question)
{
    asked += question + ";";
    const std::string next = answers.empty() ? "" : answers.front();   // an unexpected one: asked tells
    if (!answers.empty())
        answers.pop_front();
    return next;
}

const CheckBackDialogs DIALOGS = {
    [](char* path, size_t size) {
        const std::string name = answer(std::string("save ") + path);
        return name.empty() ? 0 : (std::snprintf(path, size, "%s", name.c_str()), 1);
    },
    [] { return std::atoi(answer("replace").c_str()); },
    [] { asked += "conflict;"; },
    [](const char* path) { asked += std::string("open ") + path + ";"; },
    [] { return std::atoi(answer("start over").c_str()); },
    [](const char* reason) { asked += std::string(reason) + ";"; },
};

// An item as its query left it, with the request in requestList.
UrlRequest* queried(const std::string& url, int64_t size, const char* name, uint32_t flags = 0,
                    int32_t result = RESULT_QUERIED)
{
    auto* request = new UrlRequest{};
    request->item = newItem(url, flags, name, size);
    request->web.status = result == RESULT_FAILED ? 404 : 200;
    request->result = result;
    List_Init(&request->link);
    List_Append(&requestList, &request->link);
    return request;
}

// "flags text|local name" of the pending item with url, or "gone".
std::string state(const std::string& url)
{
    for (UrlItem* item = MOONQ_FirstItem(); item; item = MOONQ_NextItem(item))
        if (url == item->url)
            return std::to_string(item->flags.load()) + " " + item->statusText + "|" + item->localPath;
    return "gone";
}

// What lies in "dl", sorted: "name=content" for a file, "name/" for a folder, "name@" for a link.
std::string disk()
{
    std::set<std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator("dl"))
        entries.insert(entry.path().lexically_relative("dl").string() +
                       (entry.is_symlink() ? "@" : entry.is_directory() ? "/" : "=" + readFile(entry.path())));
    std::string text;
    for (const std::string& entry : entries)
        text += (text.empty() ? "" : " ") + entry;
    return text;
}

class CheckBack : public moontest::CoreSandbox {
protected:
    void SetUp() override
    {
        CoreSandbox::SetUp();
        MOONQ_SetCheckBackDialogs(DIALOGS);
        asked.clear();
    }
    void TearDown() override
    {
        MOONQ_SetCheckBackDialogs({});
        CoreSandbox::TearDown();
    }
    int32_t checkBack() { return MOONQ_CheckBackQueries(&options); }

    DownloadOptions options{};
};

TEST_F(CheckBack, QueriesWithoutAFileOrWithAPageForAFileFailTheirItemAndAZeroLengthOneOpensTheEscapedPage)
{
    EXPECT_EQ(checkBack(), 2);
    UrlRequest* running = queried("http://h/running.bin", 10, "dl/running.bin", 0, RESULT_RUNNING);
    EXPECT_EQ(checkBack(), 0);
    UrlItem* missing = queried("http://h/missing.bin", 0, "", 0, RESULT_FAILED)->item;
    queried("http://h/dir/", 0, "dl/x.bin");
    const std::string link = "http://h/empty.bin?a=1&b=<i>\"x\"";
    queried(link, 0, "dl/empty.bin");
    EXPECT_EQ(checkBack(), 1);
    EXPECT_EQ(state("http://h/missing.bin") + "\n" + state("http://h/dir/") + "\n" + state(link),
              "4 |\n4 A directory cannot be downloaded.|dl/x.bin\n"
              "4 Zero length! May need cookies to download from this site. Or may be link to HTML.|dl/empty.bin");
    EXPECT_EQ(std::tuple(missing->status, List_Count(&requestList)), std::tuple(404, size_t(1)));
    const std::string openedOnce = std::string("open ") + ASK_BROWSER_PAGE + ";";   // a folder gets no page
    EXPECT_EQ(asked, openedOnce);
    // The page explains itself, then links to the escaped address for the browser to try.
    const std::string page = readFile(ASK_BROWSER_PAGE);
    const std::string escaped = "http://h/empty.bin?a=1&amp;b=&lt;i&gt;&quot;x&quot;";
    EXPECT_TRUE(page.starts_with("<html>\n<head>\n<title>Moonfetch could not validate URL</title>")) << page;
    EXPECT_TRUE(page.ends_with("validate it.\n<p>&nbsp;&nbsp;&nbsp; <a href=\"" + escaped + "\">" + escaped +
                               "</a>\n</body>\n</html>\n")) << page;
    queried("http://h/again.bin", 0, "");
    running->result = RESULT_FAILED;
    // A page that a full disk cut short is not opened.
    EXPECT_EQ(moontest::withFileSizeLimit(100, [this] { return checkBack(); }), 1);
    EXPECT_EQ(std::tuple(checkBack(), asked), std::tuple(2, openedOnce));

    // A web page where the link names a file is no file: the item fails, even kept from before, unless the
    // link names a page or AllowHTML is on.
    fs::create_directory("dl");
    MOONQ_SetDownloadDir("d");
    const std::string webPage = "645 The server answered with a web page, not a file.|dl/";
    const struct { const char* url; int32_t allowHTML; int64_t expiresAt; std::string state; } rows[] = {
        {"http://h/a.bin", 0, EXPIRY_NONE, webPage + "a.bin"},
        {"http://h/b.bin?sig=1", 0, 1000000000, "645 The link has expired.|dl/b.bin"},
        {"http://h/c.bin", 0, 7000000000, webPage + "c.bin"},
        {"http://h/d.html?id=3", 0, EXPIRY_NONE, "129 |dl/d.html"},
        {"http://h/e.bin", 1, EXPIRY_NONE, "129 |dl/e.bin"},
    };
    for (const auto& r : rows) {
        const std::string name = r.state.substr(r.state.find('|') + 1);
        queried(r.url, 79, name.c_str(), ITEM_QUERY_PAGE)->item->expiresAt = r.expiresAt;
        options.allowHTML = r.allowHTML;
        EXPECT_EQ(checkBack(), 1);
        EXPECT_EQ(state(r.url), r.state);
    }
    MOONQ_FreeList(&pendingList);
    options.allowHTML = 0;
    UrlItem* kept = newItem("http://h/a.bin", ITEM_VALID | ITEM_QUERY_PAGE, "dl/a.bin", 79);
    UrlRequest* started = nullptr;
    EXPECT_EQ(MOONQ_StartNextDownload(&started, &options), 1);
    EXPECT_EQ(state(kept->url), webPage + "a.bin");
}

// A new link is taken, keeping the part, when its answer names the item's file; another file only on "start
// over", dropping the part; an answer without a file is not taken, and the person hears why.
TEST_F(CheckBack, NewLinkKeepsThePartOfTheSameFileAndStartsAnotherOverOnlyWhenThePersonAgrees)
{
    const std::string v1 = "\"v1\"", date = "Wed, 21 Oct 2015 07:28:00 GMT", later = "Thu, 22 Oct 2015 07:28:00 GMT";
    // The versions the item and the new answer name, the answer, the person's reply, and the part after
    // (-1: the link was not taken).
    const struct { std::string heldTag, heldDate, freshTag, freshDate; int64_t size; int32_t result;
                   std::string reply, asked; int64_t part; } cases[] = {
        {v1, date, v1, later, 9000, RESULT_QUERIED, "", "", 3000},   // the strong tag decides
        {"", date, v1, date, 9000, RESULT_QUERIED, "", "", 3000},
        {"W/" + v1, "", "W/\"v2\"", "", 9000, RESULT_QUERIED, "", "", 3000},   // by the size alone
        {v1, date, "\"v2\"", date, 9000, RESULT_QUERIED, "0", "start over;", -1},
        {"", date, "", later, 9000, RESULT_QUERIED, "1", "start over;", 0},
        {v1, "", v1, "", 8000, RESULT_QUERIED, "1", "start over;", 0},
        {"", "", "", "", 0, RESULT_QUERIED, "", "The new link was not taken: 200 - Zero length! May need cookies to "
         "download from this site. Or may be link to HTML.;", -1},
        {"", "", "", "", 0, RESULT_FAILED, "", "The new link was not taken: 404 - ;", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const uint32_t refused = ITEM_VALID | ITEM_FAILED | ITEM_LINK_REFUSED;
        UrlItem* held = newItem("http://h/old.bin", refused | ITEM_NEW_LINK, "dl/f.bin", 9000);
        held->partDone = 3000;
        held->partFile = {1, 7, 1};   // the part's file, which a start over forgets
        Text_CopyBounded(held->etag, c.heldTag.c_str());
        Text_CopyBounded(held->lastModified, c.heldDate.c_str());
        UrlRequest* request = queried("http://h/new.bin?exp=7000000000", c.size, "dl/f.bin", 0, c.result);
        List_Remove(&request->item->link);
        request->replaces = held;
        Text_CopyBounded(request->item->etag, c.freshTag.c_str());
        Text_CopyBounded(request->item->lastModified, c.freshDate.c_str());
        answers = {c.reply};
        asked.clear();
        EXPECT_EQ(checkBack(), 1);
        const bool taken = c.part >= 0;
        EXPECT_EQ(std::tuple(asked, std::string(held->url), held->partDone.load(), held->partFile.inode, held->flags.load(),
                             held->expiresAt),
                  std::tuple(c.asked, taken ? "http://h/new.bin?exp=7000000000" : "http://h/old.bin",
                             taken ? c.part : 3000, c.part == 0 ? 0u : 7u, taken ? ITEM_VALID : refused,
                             taken ? 7000000000 : EXPIRY_NONE));
        MOONQ_FreeList(&pendingList);
    }
}

// The answers the person gives, and what becomes of the item, its local file and the default folder.
TEST_F(CheckBack, LocalFileFollowsTheAnswersToTheQuestionsItAsks)
{
    enum How { AT_HARVEST = 0, NO_DIR = 1, EVERY_TIME = 2, BY_EXTENSION = 4, HELD = 8, DOUBLE_CLICK = 16 };
    // at: what lies at the name before ("=text" a file, "@" a dangling link, "/" a folder); how: the
    // download folder before is "d" unless NO_DIR, HELD: another pending item holds the name; name:
    // as the query gave it; item: as state() shows it; after: as disk() shows it.
    const struct { std::string at; int how; const char* name; std::vector<std::string> answers;
                   std::string asked, item, after, dirAfter; } rows[] = {
        {"", AT_HARVEST, "dl/a.bin", {}, "", "1 |dl/a.bin", "a.bin=", "dl"},
        {"", NO_DIR, "a.bin", {"dl/a.bin"}, "save a.bin;", "1 |dl/a.bin", "a.bin=", "dl"},
        {"", EVERY_TIME, "dl/a.bin", {""}, "save dl/a.bin;", "gone", "", "d"},
        {"=old", AT_HARVEST, "dl/a.bin", {"1"}, "replace;", "1 |dl/a.bin", "a.bin=", "dl"},
        {"=old", AT_HARVEST, "dl/a.bin", {"2", "dl/b.bin"}, "replace;save dl/a.bin;", "1 |dl/b.bin",
         "a.bin=old b.bin=", "dl"},
        {"=", AT_HARVEST, "dl/a.bin", {"0"}, "replace;", "gone", "a.bin=", "d"},   // the person's own empty file
        {"@", AT_HARVEST, "dl/a.bin", {"1"}, "replace;", "1 |dl/a.bin", "a.bin=", "dl"},   // never followed
        // A folder is never offered for replacement; the name is asked for again, and the fix noted.
        {"/", AT_HARVEST, "dl/a.bin", {"dl/b.bin"}, "save dl/a.bin;", "1 OK|dl/b.bin", "a.bin/ b.bin=", "dl"},
        // Another item's placeholder is not this item's to delete, whether it takes a new name or not.
        {"=", HELD, "dl/a.bin", {"dl/b.bin"}, "conflict;save dl/a.bin;", "1 OK|dl/b.bin", "a.bin= b.bin=", "dl"},
        {"=", HELD, "dl/a.bin", {""}, "conflict;save dl/a.bin;", "gone", "a.bin=", "d"},
        // The one missing level, the extension's folder, is made, never two; the default stays above it.
        {"", BY_EXTENSION, "dl/mp3/a.mp3", {}, "", "9 |dl/mp3/a.mp3", "mp3/ mp3/a.mp3=", "dl"},
        {"", BY_EXTENSION, "dl/x/mp3/a.mp3", {""}, "save dl/x/mp3/a.mp3;", "gone", "", "d"},
        // The fix of a valid item deletes its empty placeholder before asking; a cancel keeps the name.
        {"=", DOUBLE_CLICK, "dl/a.bin", {""}, "save dl/a.bin;", "1 |dl/a.bin", "", "d"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.at + " " + std::to_string(row.how) + " " + row.asked);
        fs::create_directory("dl");
        if (row.at == "/")
            fs::create_directory(row.name);
        else if (row.at == "@")
            fs::create_symlink("planted", row.name);
        else if (!row.at.empty())
            moontest::writeFile(row.name, row.at.substr(1));
        if (row.how & HELD)
            MOONQ_SetLocalName(MOONQ_NewItem("http://h/other"), row.name);
        MOONQ_SetDownloadDir((row.how & NO_DIR) ? "" : "d");
        options.askNameEveryTime = (row.how & EVERY_TIME) != 0;
        options.useDirExtension = (row.how & BY_EXTENSION) != 0;
        answers.assign(row.answers.begin(), row.answers.end());
        asked.clear();
        const std::string url = "http://h/" + fs::path(row.name).filename().string();
        if (row.how & DOUBLE_CLICK)
            MOONQ_ChooseLocalFile(newItem(url, ITEM_VALID, row.name, 10), true, &options);
        else
            queried(url, 10, row.name, (row.how & BY_EXTENSION) ? ITEM_EXT_DIR : 0);
        EXPECT_EQ(checkBack(), (row.how & DOUBLE_CLICK) ? 2 : 1);
        EXPECT_EQ(std::tuple(asked, answers.size(), state(url), disk(), std::string(MOONQ_GetDownloadDir())),
                  std::tuple(row.asked, size_t(0), row.item, row.after, row.dirAfter));
        MOONQ_FreeList(&pendingList);
        fs::remove_all("dl");
    }
}

TEST_F(CheckBack, PlaceholderFailuresAndTheRememberedFolder)
{
    UrlItem* item = MOONQ_NewItem("http://h/x.bin");
    EXPECT_EQ(MOONQ_ChooseLocalFile(item, false, &options), ERR_LOCAL_FILE);
    MOONQ_SetLocalName(item, "later/x.bin");
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
    MOONQ_SetCheckBackDialogs({});   // nobody to ask or to tell: a question is a cancel
    MOONQ_SetLocalName(MOONQ_NewItem("http://h/y.bin"), "later/x.bin");
    EXPECT_EQ(create(), std::tuple(2, true, "File name conflict with other URL!"));
    EXPECT_EQ(MOONQ_ChooseLocalFile(item, true, &options), 0);
    // A name without a folder changes nothing; a folder named as the extension is left out only
    // when extension folders are on.
    options.useDirExtension = 1;
    MOONQ_RememberDownloadDir("/d/docs/song.mp3", &options);
    MOONQ_RememberDownloadDir("song.mp3", &options);
    EXPECT_STREQ(MOONQ_GetDownloadDir(), "/d/docs");
    options.useDirExtension = 0;
    MOONQ_RememberDownloadDir("/d/mp3/song.mp3", &options);
    char stored[PATH_CAPACITY] = {};
    uint32_t size = sizeof stored;
    Reg_ReadString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, stored, &size);
    EXPECT_EQ(std::string(MOONQ_GetDownloadDir()) + "|" + stored, "/d/mp3|/d/mp3");
}

}  // namespace

#include "workers.h"

#include "cookies.h"
#include "pending.h"
#include "trace.h"

#include "core_fixture.h"
#include "servers.h"

#include <csignal>
#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <utility>
#include <vector>

namespace {

using moontest::readFile;
using moontest::waitFor;

class Workers : public moontest::CoreSandbox {
protected:
    void SetUp() override
    {
        CoreSandbox::SetUp();
        MOONQ_SetDownloadDir(path("dl").c_str());
        std::filesystem::create_directory("dl");
        nginx = std::make_unique<moontest::NginxServer>(path("nginx"));
    }
    void TearDown() override
    {
        MOONQ_Stop();
        nginx.reset();
        CoreSandbox::TearDown();
    }
    void start() { ASSERT_TRUE(nginx->start()); }

    // The query request most recently added.
    static UrlRequest* lastQuery() { return reinterpret_cast<UrlRequest*>(requestList.prev); }

    static int32_t resultOf(UrlRequest* request)
    {
        EXPECT_TRUE(waitFor([&] { return request->result.load() != RESULT_RUNNING; }));
        return request->result.load(std::memory_order_acquire);
    }

    // Adds url and waits for its query; the item.
    UrlItem* query(const std::string& url, int32_t expected)
    {
        UrlItem* item = MOONQ_AddURL(url.c_str(), &options);
        EXPECT_NE(item, nullptr);
        EXPECT_EQ(resultOf(lastQuery()), expected) << url;
        return item;
    }

    // A valid item at the end of pendingList, downloading url into the sandbox's name.
    UrlItem* validItem(const std::string& url, const std::string& name)
    {
        UrlItem* item = MOONQ_NewItem(url.c_str());
        item->flags = ITEM_VALID;
        CopyBounded(item->localPath, path(name).c_str());
        return item;
    }

    // Starts the download of the first pending item and waits for it to end.
    int32_t download(UrlRequest** place)
    {
        EXPECT_EQ(MOONQ_StartNextDownload(place, &options), 0);
        return *place ? resultOf(*place) : RESULT_RUNNING;
    }

    DownloadOptions options{};
    std::unique_ptr<moontest::NginxServer> nginx;
};

TEST_F(Workers, QueryLearnsSizeFinalUrlAndLocalName)
{
    nginx->makeFile("pub/setup.zip", 9999);
    nginx->addRedirect("/latest", "/pub/setup.zip");
    start();
    UrlItem* plain = query(nginx->url("pub/setup.zip?id=7"), RESULT_QUERIED);
    EXPECT_EQ(plain->size, 9999);
    EXPECT_EQ(plain->status, 200);
    EXPECT_STREQ(plain->statusText, "OK");
    EXPECT_EQ(std::string(plain->localPath), path("dl/setup.zip"));
    EXPECT_EQ(plain->flags & (ITEM_FAILED | ITEM_VALID), 0u);   // the check-back makes it valid

    options.useDirExtension = 1;
    UrlItem* moved = query(nginx->url("latest"), RESULT_QUERIED);
    EXPECT_EQ(std::string(moved->url), nginx->url("pub/setup.zip"));
    EXPECT_EQ(std::string(moved->localPath), path("dl/zip/setup.zip"));
    EXPECT_TRUE(moved->flags & ITEM_EXT_DIR);
}

TEST_F(Workers, FailedQueriesShowWhy)
{
    for (int hop = 1; hop <= 6; ++hop)
        nginx->addRedirect("/r" + std::to_string(hop), "/r" + std::to_string(hop + 1));
    start();
    UrlItem* missing = query(nginx->url("none.zip"), -1);
    EXPECT_TRUE(missing->flags & ITEM_FAILED);
    EXPECT_EQ(missing->status, 404);
    EXPECT_STREQ(missing->statusText, "Not Found");

    UrlItem* loop = query(nginx->url("r1"), RESULT_FAILED);
    EXPECT_TRUE(loop->flags & ITEM_FAILED);
    EXPECT_EQ(loop->status, 302);

    UrlItem* bad = query("http://no-slash", ERR_BAD_URL);
    EXPECT_TRUE(bad->flags & ITEM_FAILED);
    EXPECT_EQ(bad->status, 0);
    EXPECT_STREQ(bad->statusText, "Badly formatted URL, or not a file!");
}

TEST_F(Workers, LocalNameTooLongEndsAsAFailureNotAsValidating)
{
    nginx->makeFile("some-file-name.zip", 10);
    start();
    MOONQ_SetDownloadDir((path("") + std::string(250, 'd')).c_str());
    UrlItem* item = query(nginx->url("some-file-name.zip"), ERR_NAME_TOO_LONG);
    EXPECT_TRUE(item->flags & ITEM_FAILED);
    EXPECT_EQ(item->status, 0);
    EXPECT_STREQ(item->statusText, "Local file name too long.");
}

TEST_F(Workers, AnswerWithoutLengthIsQueriedWithSizeZero)
{
    moontest::ScriptedServer server({{moontest::readRequest(),
                                      moontest::sendText("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")}});
    UrlItem* item = query(server.url("file.bin"), RESULT_QUERIED);
    EXPECT_EQ(item->size, 0);
}

TEST_F(Workers, DownloadRunMovesFinishedItemsOutAndOthersToTheEnd)
{
    nginx->makeFile("a.bin", 10000);
    nginx->makeFile("empty.bin", 0);
    start();
    validItem(nginx->url("a.bin"), "a.bin");
    UrlItem* second = validItem(nginx->url("missing.bin"), "missing.bin");
    UrlItem* third = validItem(nginx->url("empty.bin"), "empty.bin");

    UrlRequest* request = nullptr;
    EXPECT_EQ(download(&request), RESULT_DOWNLOADED);
    EXPECT_EQ(request->bytesDone.load(), 10000);
    EXPECT_EQ(MOONQ_CheckBackDown(request), RESULT_DOWNLOADED);
    EXPECT_EQ(request->item, nullptr);
    MOONQ_FreeRequest(request);
    EXPECT_TRUE(moontest::isPatternFile(path("a.bin"), 10000));   // the file stays
    EXPECT_EQ(MOONQ_FirstItem(), second);

    EXPECT_EQ(download(&request), -1);   // 404 at download time
    EXPECT_EQ(MOONQ_CheckBackDown(request), -1);
    MOONQ_FreeRequest(request);
    EXPECT_EQ(second->status, 404);
    EXPECT_TRUE(second->flags & ITEM_FAILED);
    EXPECT_EQ(MOONQ_FirstItem(), third);
    EXPECT_EQ(MOONQ_NextItem(third), second);

    // An empty file downloads too, and releasing its item leaves no file behind.
    EXPECT_EQ(download(&request), RESULT_DOWNLOADED);
    EXPECT_EQ(MOONQ_CheckBackDown(request), RESULT_DOWNLOADED);
    MOONQ_FreeRequest(request);
    EXPECT_FALSE(std::filesystem::exists(path("empty.bin")));

    // A failed item first stops the run, whatever follows it.
    validItem(nginx->url("a.bin"), "again.bin");
    EXPECT_EQ(MOONQ_StartNextDownload(&request, &options), 1);
    EXPECT_EQ(request, nullptr);
    MOONQ_CancelRequest(nullptr);
}

TEST_F(Workers, CancelBeforeTheFirstBlockKeepsTheItemValid)
{
    moontest::ScriptedServer slow({{moontest::readRequest(), moontest::pauseFor(300),
                                    moontest::sendText("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n"),
                                    moontest::sendBody(5000)}});
    UrlItem* item = validItem(slow.url("f.bin"), "f.bin");
    item->flags |= ITEM_BROKEN_OFF;   // an earlier attempt's; this one starts afresh
    validItem(slow.url("g.bin"), "g.bin");
    UrlRequest* request = nullptr;
    ASSERT_EQ(MOONQ_StartNextDownload(&request, &options), 0);
    MOONQ_CancelRequest(request);
    EXPECT_EQ(resultOf(request), RESULT_CANCELLED);
    EXPECT_EQ(readFile(path("f.bin")), "");
    EXPECT_EQ(MOONQ_CheckBackDown(request), RESULT_CANCELLED);
    MOONQ_FreeRequest(request);
    EXPECT_EQ(item->flags, ITEM_VALID);
    EXPECT_EQ(MOONQ_NextItem(MOONQ_FirstItem()), item);
}

TEST_F(Workers, LocalFileProblems)
{
    nginx->makeFile("big.bin", 1 << 20);
    nginx->makeFile("small.bin", 1000);
    start();
    UrlRequest* request = nullptr;
    // A folder gone meanwhile, and a link planted at the name, which is never followed.
    std::filesystem::create_directory("outside");
    std::filesystem::create_symlink("outside/planted.txt", path("link.bin"));
    for (const char* name : {"vanished/big.bin", "link.bin"}) {
        UrlItem* unopened = validItem(nginx->url("big.bin"), name);
        ASSERT_EQ(download(&request), ERR_LOCAL_FILE) << name;
        EXPECT_STREQ(unopened->statusText, "Could not open local file.");
        EXPECT_TRUE(unopened->flags & ITEM_NEEDS_FIX);
        EXPECT_EQ(MOONQ_CheckBackDown(request), ERR_LOCAL_FILE);
        MOONQ_FreeRequest(request);
        List_Remove(&unopened->link);
        MOONQ_FreeItem(unopened);
    }
    EXPECT_FALSE(std::filesystem::exists("outside/planted.txt"));

    UrlItem* unnamed = validItem(nginx->url("big.bin"), "");
    unnamed->localPath[0] = '\0';
    EXPECT_EQ(download(&request), ERR_LOCAL_FILE);
    MOONQ_FreeRequest(request);
    List_Remove(&unnamed->link);
    MOONQ_FreeItem(unnamed);

    // A full disk, whether a write shows it or only the flush of the last buffered block: the
    // item stays ready for the next run and says why.
    for (const char* name : {"big.bin", "small.bin"}) {
        UrlItem* full = validItem(nginx->url(name), "");
        CopyBounded(full->localPath, "/dev/full");
        EXPECT_EQ(download(&request), ERR_WRITE_FAILED) << name;
        EXPECT_EQ(MOONQ_CheckBackDown(request), ERR_WRITE_FAILED);
        MOONQ_FreeRequest(request);
        EXPECT_EQ(full->status, 0);
        EXPECT_STREQ(full->statusText, "Could not write the local file: disk full.");
        EXPECT_EQ(full->flags, ITEM_VALID | ITEM_BROKEN_OFF);
        List_Remove(&full->link);
        MOONQ_FreeItem(full);
    }

    UrlItem* limited = validItem(nginx->url("big.bin"), "limited.bin");
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int32_t result = download(&request);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, ERR_WRITE_FAILED);
    EXPECT_STREQ(limited->statusText, "Could not write the local file: File too large.");
    MOONQ_FreeRequest(request);
    Trace_Close();
    EXPECT_NE(readFile("moonfch_log.txt").find("DownloadURL, write failed /dev/full\n"), std::string::npos);
}

TEST_F(Workers, DownloadsThatBreakOffStayReadySayingWhyAndHowFarAndKeepTheirPart)
{
    using namespace moontest;
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n";
    const std::string noLength = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
    struct Case {
        const char* name;
        Script script;
        bool removeFolder;   // once 3000 bytes came; else the test cancels the wait for a retry
        int32_t result, status;
        const char* text;
        int64_t part;
    } cases[] = {
        {"cut", {readRequest(), sendText(head), sendBody(3000)}, false, RESULT_CANCELLED, 12030,
         "The connection with the server was terminated abnormally after 3000 of 9000 bytes.", 3000},
        {"clean end without a length", {readRequest(), sendText(noLength), sendBody(3000)}, false,
         RESULT_CANCELLED, 200, "Transfer ended early: 3000 of 9000 bytes.", 3000},
        {"folder removed", {readRequest(), sendText(head), sendBody(3000), pauseFor(300), sendBody(6000)},
         true, ERR_WRITE_FAILED, 0, "The local file was removed during the download.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::create_directory("part");
        ScriptedServer server({c.script});
        UrlItem* item = validItem(server.url("c.bin"), "part/c.bin");
        item->size = 9000;   // what the query learnt
        UrlRequest* request = nullptr;
        ASSERT_EQ(MOONQ_StartNextDownload(&request, &options), 0);
        if (c.removeFolder) {
            ASSERT_TRUE(waitFor([&] { return request->bytesDone.load() >= 3000; }));
            std::filesystem::remove_all("part");
        } else {
            ASSERT_TRUE(waitFor([&] { return (item->flags & ITEM_BROKEN_OFF) != 0; }));
            MOONQ_CancelRequest(request);
        }
        ASSERT_EQ(resultOf(request), c.result);
        EXPECT_EQ(server.connections(), 1);
        EXPECT_EQ(MOONQ_CheckBackDown(request), c.result);
        MOONQ_FreeRequest(request);
        EXPECT_EQ(item->status, c.status);
        EXPECT_STREQ(item->statusText, c.text);
        EXPECT_EQ(item->flags, ITEM_VALID | ITEM_BROKEN_OFF);
        EXPECT_EQ(item->partDone.load(), c.part);
        if (!c.removeFolder) {
            EXPECT_TRUE(isPatternFile(path("part/c.bin"), 3000));   // kept for a later resume
        }
        List_Remove(&item->link);
        MOONQ_FreeItem(item);
        std::filesystem::remove_all("part");
    }
}

TEST_F(Workers, FailuresThatMayPassAreTriedAgainEachTryContinuingThePart)
{
    using namespace moontest;
    const std::string whole = "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: 9000\r\n\r\n";
    auto rest = [](int from) {
        return sendText("HTTP/1.1 206 Partial Content\r\nETag: \"v1\"\r\nContent-Range: bytes " +
                        std::to_string(from) + "-8999/9000\r\nContent-Length: " +
                        std::to_string(9000 - from) + "\r\n\r\n");
    };
    const std::string busy = "HTTP/1.1 503 Busy\r\nRetry-After: 0\r\nContent-Length: 0\r\n\r\n";
    struct Case {
        const char* name;
        std::vector<Script> scripts;   // one per connection
        int32_t result;
        std::vector<const char*> ranges;   // the Range each request asked for ("" for none)
        const char* waits;                  // the retry waits traced, in order
        int64_t checkedSize = 9000;         // the size the query learnt
    } cases[] = {
        {"cut twice",
         {{readRequest(), sendText(whole), sendBody(3000)},
          {readRequest(), rest(3000), sendBody(3000, 3000)},
          {readRequest(), rest(6000), sendBody(3000, 6000)}},
         RESULT_DOWNLOADED, {"", "bytes=3000-", "bytes=6000-"}, "1 4 "},
        {"grown since it was checked",
         {{readRequest(), sendText(whole), sendBody(3000)}, {readRequest(), rest(3000), sendBody(6000, 3000)}},
         RESULT_DOWNLOADED, {"", "bytes=3000-"}, "1 ", 5000},
        {"server without ranges",
         {{readRequest(), sendText(whole), sendBody(3000)}, {readRequest(), sendText(whole), sendBody(9000)}},
         RESULT_DOWNLOADED, {"", "bytes=3000-"}, "1 "},
        {"busy, then asks for a second",
         {{readRequest(), sendText("HTTP/1.1 503 Busy\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n")},
          {readRequest(), sendText(whole), sendBody(9000)}},
         RESULT_DOWNLOADED, {"", ""}, "1 "},
        {"not found", {{readRequest(), sendText("HTTP/1.1 404 Gone\r\nContent-Length: 0\r\n\r\n")}},
         -1, {""}, ""},
        {"busy every time", {{readRequest(), sendText(busy)}}, -1, {"", "", "", ""}, "0 0 0 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.scripts);
        UrlItem* item = validItem(server.url("r.bin"), "r.bin");
        item->size = c.checkedSize;
        CopyBounded(item->etag, "\"v1\"");
        Trace_Open("moonfch_log.txt");
        UrlRequest* request = nullptr;
        ASSERT_EQ(download(&request), c.result);
        EXPECT_EQ(MOONQ_CheckBackDown(request), c.result);
        MOONQ_FreeRequest(request);
        Trace_Close();
        std::string waits;
        const std::string log = readFile("moonfch_log.txt");
        for (size_t at = log.find("retry in "); at != std::string::npos; at = log.find("retry in ", at + 1))
            waits += log.substr(at + 9, log.find(' ', at + 9) - at - 9) + " ";
        EXPECT_EQ(waits, c.waits);
        const auto heads = server.requests();
        ASSERT_EQ(heads.size(), c.ranges.size());
        for (size_t i = 0; i < heads.size(); ++i) {
            const std::string range = c.ranges[i];
            const std::string asked =
                range.empty() ? "Range:" : "\r\nRange: " + range + "\r\nIf-Range: \"v1\"\r\n";
            EXPECT_EQ(heads[i].find(asked) != std::string::npos, !range.empty()) << heads[i];
        }
        if (c.result == RESULT_DOWNLOADED) {
            EXPECT_TRUE(isPatternFile(path("r.bin"), 9000));
        } else {
            EXPECT_EQ(item->flags, ITEM_VALID | (c.waits[0] ? ITEM_BROKEN_OFF : ITEM_FAILED));
            List_Remove(&item->link);
            MOONQ_FreeItem(item);
        }
    }
}

TEST_F(Workers, OnlyAPartWrittenForTheItemsVersionIsContinued)
{
    using namespace moontest;
    const std::string whole = "HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n";
    const Script rest = {readRequest(),
                         sendText("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 3000-8999/9000\r\n"
                                  "Content-Length: 6000\r\n\r\n"),
                         sendBody(6000, 3000)};
    const Script wholeFile = {readRequest(), sendText(whole), sendBody(9000)};
    const char* date = "Wed, 21 Oct 2015 07:28:00 GMT";
    const struct {
        const char* name;
        const char* etag;
        const char* modified;
        int64_t part, onDisk;
        const char* asked;   // the Range and If-Range lines sent, "" when none
        Script answer;
    } cases[] = {
        {"its own part", "\"v1\"", "", 3000, 3000, "Range: bytes=3000-\r\nIf-Range: \"v1\"", rest},
        {"written past the last record", "\"v1\"", "", 3000, 5000, "Range: bytes=3000-\r\nIf-Range: \"v1\"", rest},
        {"a date names the version", "", date, 3000, 3000,
         "Range: bytes=3000-\r\nIf-Range: Wed, 21 Oct 2015 07:28:00 GMT", rest},
        {"a weak ETag is no version", "W/\"v1\"", "", 3000, 3000, "", wholeFile},
        {"no version", "", "", 3000, 3000, "", wholeFile},
        {"the file lost data", "\"v1\"", "", 3000, 2000, "", wholeFile},
        {"longer than the whole file", "\"v1\"", "", 3000, 9500, "", wholeFile},
        {"a file that is not ours", "\"v1\"", "", 0, 3000, "", wholeFile},
        {"complete already", "\"v1\"", "", 9000, 9000, "Range: bytes=9000-\r\nIf-Range: \"v1\"",
         {readRequest(), sendText("HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */9000\r\n"
                                  "Content-Length: 0\r\n\r\n")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({c.answer});
        writeFile(path("p.bin"), patternBytes(0, size_t(c.onDisk)));
        UrlItem* item = validItem(server.url("p.bin"), "p.bin");
        item->size = 9000;
        CopyBounded(item->etag, c.etag);
        CopyBounded(item->lastModified, c.modified);
        item->partDone = c.part;
        UrlRequest* request = nullptr;
        ASSERT_EQ(download(&request), RESULT_DOWNLOADED);
        EXPECT_EQ(MOONQ_CheckBackDown(request), RESULT_DOWNLOADED);
        MOONQ_FreeRequest(request);
        const std::string head = server.requests().at(0);
        EXPECT_EQ(head.find("Range:") != std::string::npos, c.asked[0] != '\0') << head;
        EXPECT_NE(head.find(c.asked), std::string::npos) << head;
        EXPECT_TRUE(isPatternFile(path("p.bin"), 9000));
    }
}

// The Range and the body bytes of each GET in an access log.
std::vector<std::pair<std::string, int64_t>> gets(const std::string& log)
{
    std::vector<std::pair<std::string, int64_t>> out;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string request, range, status, bytes;
        if (line.starts_with("GET ") && std::getline(fields, request, '\t') && std::getline(fields, range, '\t') &&
            std::getline(fields, status, '\t') && std::getline(fields, bytes))
            out.emplace_back(range, std::stoll(bytes));
    }
    return out;
}

TEST_F(Workers, CancelledDownloadContinuesWhereItStoppedUnlessTheFileChanged)
{
    const uint64_t size = 2 << 20;
    nginx->makeFile("slow/big.bin", size);
    // Slow only for whole files: a cancel falls in the middle, and the rest comes at once.
    nginx->addConfig("location /slow/ { if ($http_range = \"\") { set $limit_rate 1m; } }");
    start();
    for (bool changed : {false, true}) {
        SCOPED_TRACE(changed ? "changed on the server" : "unchanged");
        UrlItem* item = query(nginx->url("slow/big.bin"), RESULT_QUERIED);   // learns the version
        UrlRequest* request = lastQuery();
        List_Remove(&request->link);
        MOONQ_FreeRequest(request);
        item->flags = ITEM_VALID;
        ASSERT_EQ(MOONQ_StartNextDownload(&request, &options), 0);
        ASSERT_TRUE(waitFor([&] { return request->bytesDone.load() >= int64_t(size / 2); }));
        MOONQ_CancelRequest(request);
        ASSERT_EQ(resultOf(request), RESULT_CANCELLED);
        MOONQ_CheckBackDown(request);
        MOONQ_FreeRequest(request);
        const int64_t part = item->partDone.load();
        ASSERT_GE(part, int64_t(size / 2));
        if (changed) {
            moontest::writeFile(nginx->file("slow/big.bin"), moontest::patternBytes(7, size));
            auto file = nginx->file("slow/big.bin");
            std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) + std::chrono::hours(1));
        }
        ASSERT_EQ(download(&request), RESULT_DOWNLOADED);
        EXPECT_EQ(request->resumedFrom.load(), changed ? 0 : part);   // progress counts from there
        EXPECT_EQ(request->bytesDone.load(), int64_t(size));
        EXPECT_EQ(MOONQ_CheckBackDown(request), RESULT_DOWNLOADED);
        MOONQ_FreeRequest(request);
        EXPECT_TRUE(moontest::sameFile(nginx->file("slow/big.bin"), path("dl/big.bin")));
        std::vector<std::pair<std::string, int64_t>> sent;
        ASSERT_TRUE(waitFor([&] { return (sent = gets(nginx->accessLog())).size() == (changed ? 4u : 2u); }));
        const auto& [range, bytes] = sent.back();
        EXPECT_EQ(range, "bytes=" + std::to_string(part) + "-");
        if (changed) {
            EXPECT_EQ(bytes, int64_t(size));   // the range was refused: the whole new file
        } else {
            EXPECT_LT(sent[0].second + bytes - int64_t(size), int64_t(size) * 6 / 10);
        }
    }
}

TEST_F(Workers, CancelledFtpDownloadContinuesWhereItStopped)
{
    const uint64_t size = 512 * 1024;
    moontest::FtpServer ftp(path("ftp"), size / 2);   // half the file a second
    ftp.makeFile("pub/f.bin", size);
    ASSERT_TRUE(ftp.start());
    UrlItem* item = validItem(ftp.url("pub/f.bin"), "f.bin");
    item->size = int64_t(size);
    UrlRequest* request = nullptr;
    ASSERT_EQ(MOONQ_StartNextDownload(&request, &options), 0);
    ASSERT_TRUE(waitFor([&] { return request->bytesDone.load() >= int64_t(size / 2); }));
    MOONQ_CancelRequest(request);
    ASSERT_EQ(resultOf(request), RESULT_CANCELLED);
    MOONQ_CheckBackDown(request);
    MOONQ_FreeRequest(request);
    const int64_t part = item->partDone.load();
    ASSERT_GE(part, int64_t(size / 2));
    ASSERT_EQ(download(&request), RESULT_DOWNLOADED);
    MOONQ_FreeRequest(request);
    EXPECT_TRUE(moontest::isPatternFile(path("f.bin"), size));
    const std::string log = ftp.log();
    const std::string last = log.substr(log.rfind("completed=1 bytes="));
    EXPECT_EQ(std::stoll(last.substr(18)), int64_t(size) - part) << last;
}

TEST_F(Workers, HeadThatLiesGetsTheAnswerToTheGet)
{
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n";
    const std::string missing = "HTTP/1.1 404 Gone Away\r\nContent-Length: 0\r\n\r\n";
    moontest::ScriptedServer liar({{moontest::answerByVerb(ok, missing)}});
    UrlItem* queried = query(liar.url("l.bin"), RESULT_QUERIED);
    EXPECT_EQ(queried->size, 50);
    UrlRequest* harvested = lastQuery();
    List_Remove(&harvested->link);
    MOONQ_FreeRequest(harvested);
    queried->flags = ITEM_VALID;
    UrlRequest* request = nullptr;
    EXPECT_EQ(download(&request), -1);
    EXPECT_EQ(queried->status, 404);
    EXPECT_STREQ(queried->statusText, "Gone Away");
    MOONQ_FreeRequest(request);
}

TEST_F(Workers, AnswerThatDecidedNamesTheLocalFileWhenItGivesASafeName)
{
    const std::string refused = "HTTP/1.1 405 Not Allowed\r\nContent-Length: 0\r\n"
                                "Content-Disposition: attachment; filename=wrong.bin\r\n\r\n";
    const struct {
        std::string head, get;
        std::string localName;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n"
         "Content-Disposition: attachment; filename*=UTF-8''r%C3%A9sum%C3%A9.pdf\r\n\r\n",
         "", "dl/pdf/r\xC3\xA9sum\xC3\xA9.pdf"},
        {refused,
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-0/10\r\nContent-Length: 1\r\n"
         "Content-Disposition: attachment; filename=\"../right.iso\"\r\n\r\nX",
         "dl/iso/right.iso"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Disposition: attachment; filename=\"\"\r\n\r\n",
         "", "dl/bin/file.bin"},
    };
    options.useDirExtension = 1;
    for (const auto& c : cases) {
        moontest::ScriptedServer server({{moontest::readRequest(), moontest::sendText(c.head)},
                                         {moontest::readRequest(), moontest::sendText(c.get)}});
        UrlItem* item = query(server.url("get/file.bin?id=3"), RESULT_QUERIED);
        EXPECT_EQ(std::string(item->localPath), path(c.localName));
        EXPECT_EQ(item->size, 10);
    }
}

using WorkersConcurrent = Workers;

TEST_F(WorkersConcurrent, FiftyQueriesAtOnceEachEndWithTheirOwnResult)
{
    for (int i = 0; i < 50; i += 2)
        nginx->makeFile("f" + std::to_string(i), uint64_t(1000 + i));
    start();
    std::vector<UrlItem*> items;
    for (int i = 0; i < 50; ++i)
        items.push_back(MOONQ_AddURL(nginx->url("f" + std::to_string(i)).c_str(), &options));
    ASSERT_EQ(List_Count(&requestList), 50u);
    for (ListLink* node = requestList.next; node != &requestList; node = node->next)
        resultOf(reinterpret_cast<UrlRequest*>(node));
    for (int i = 0; i < 50; ++i) {
        auto lock = MOONQ_LockItem();
        if (i % 2 == 0) {
            EXPECT_EQ(items[i]->size, 1000 + i);
            EXPECT_EQ(std::string(items[i]->localPath), path("dl/f" + std::to_string(i)));
        } else {
            EXPECT_EQ(items[i]->status, 404);
            EXPECT_TRUE(items[i]->flags & ITEM_FAILED);
        }
    }
}

TEST_F(WorkersConcurrent, StopEndsWorkersBlockedOnASilentServer)
{
    moontest::ScriptedServer silent({{moontest::readRequest(), moontest::staySilent()}});
    for (int i = 0; i < 3; ++i)
        MOONQ_AddURL(silent.url("q" + std::to_string(i)).c_str(), &options);
    UrlItem* item = validItem(silent.url("d.bin"), "d.bin");
    UrlRequest* download = nullptr;
    ASSERT_EQ(MOONQ_StartRequest(item, &options, false, &download), 0);
    ASSERT_TRUE(waitFor([&] { return silent.connections() == 4; }));

    // The download belongs to the run, not to requestList: the run stops it before its item goes.
    EXPECT_TRUE(MOONQ_StopRequest(download, 1000));
    EXPECT_EQ(download->result.load(), -1);
    EXPECT_EQ(item->status, int32_t(INET_ERR_CANCELLED));
    MOONQ_FreeRequest(download);

    MOONQ_Stop();   // aborts the three queries and frees everything, within its bounded wait
    EXPECT_TRUE(List_IsEmpty(&requestList));
    EXPECT_TRUE(List_IsEmpty(&pendingList));
    ASSERT_EQ(MOONQ_Start(), 0);
}

}  // namespace

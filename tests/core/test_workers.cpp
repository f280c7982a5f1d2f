#include "core/workers.h"

#include "core/querypool.h"

#include "core/pending.h"
#include "diag/trace.h"
#include "net/digest.h"
#include "platform/text.h"

#include "tests/core/core_fixture.h"
#include "tests/support/servers.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace moontest;

const std::string OK_9000 = head("200 OK", "Content-Length: 9000");

int32_t resultOf(UrlRequest* request)
{
    EXPECT_TRUE(waitFor([&] { return request->result.load() != RESULT_RUNNING; }));
    return request->result.load(std::memory_order_acquire);
}

// Hands an ended download back to the lists, as the timer task does; what that returned.
int32_t checkBack(UrlRequest* request)
{
    const int32_t r = MOONQ_CheckBackDown(request);
    MOONQ_FreeRequest(request);
    return r;
}

// text without prefix when it starts with it.
std::string after(const std::string& prefix, const std::string& text)
{
    return text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

class Workers : public CoreSandbox {
protected:
    void SetUp() override
    {
        CoreSandbox::SetUp();
        MOONQ_SetDownloadDir(path("dl").c_str());
        std::filesystem::create_directory("dl");
    }
    // A valid item at the end of pendingList, downloading url into name: in the sandbox when
    // relative, as it is when absolute or empty.
    UrlItem* validItem(const std::string& url, const std::string& name, int64_t size = 0)
    {
        return newItem(url, ITEM_VALID, name.empty() || name[0] == '/' ? name : path(name), size);
    }
    // Starts the download of the first pending item and waits for it to end.
    int32_t download(UrlRequest** place)
    {
        EXPECT_EQ(MOONQ_StartNextDownload(place, &options), 0);
        return *place ? resultOf(*place) : RESULT_RUNNING;
    }
    // "size status text|local file in the sandbox|URL on the server|part done" of item.
    std::string state(const UrlItem* item, const std::string& serverUrl)
    {
        return std::to_string(item->size) + " " + std::to_string(item->status) + " " + item->statusText + "|" +
               after(path(""), item->localPath) + "|" + after(serverUrl, item->url) + "|" +
               std::to_string(item->partDone.load());
    }

    DownloadOptions options{};
};

TEST_F(Workers, DownloadRunReleasesFinishedItemsMovesOthersToTheEndAndGoesPastThem)
{
    NginxServer nginx(path("nginx"));
    nginx.makeFile("a.bin", 10000);
    nginx.makeFile("empty.bin", 0);
    ASSERT_TRUE(nginx.start());
    validItem(nginx.url("a.bin"), "a.bin");
    UrlItem* missing = validItem(nginx.url("missing.bin"), "missing.bin");
    UrlItem* empty = validItem(nginx.url("empty.bin"), "empty.bin");
    UrlRequest* request = nullptr;
    EXPECT_EQ(download(&request), RESULT_DOWNLOADED);
    EXPECT_EQ(request->bytesDone.load(), 10000);
    EXPECT_EQ(MOONQ_CheckBackDown(request), RESULT_DOWNLOADED);
    EXPECT_EQ(request->item, nullptr);   // released
    MOONQ_FreeRequest(request);
    EXPECT_TRUE(isPatternFile(path("a.bin"), 10000));
    EXPECT_EQ(download(&request), -1);
    EXPECT_EQ(checkBack(request), -1);
    EXPECT_EQ(std::pair(MOONQ_FirstItem(), MOONQ_NextItem(empty)), std::pair(empty, missing));
    // An empty file downloads too, and releasing its item leaves no file behind.
    EXPECT_EQ(download(&request), RESULT_DOWNLOADED);
    EXPECT_EQ(checkBack(request), RESULT_DOWNLOADED);
    EXPECT_FALSE(std::filesystem::exists(path("empty.bin")));
    // The run goes past the failed item, first now, and past one it tried, until the next run.
    validItem(nginx.url("a.bin"), "again.bin");
    EXPECT_EQ(download(&request), RESULT_DOWNLOADED);
    EXPECT_EQ(checkBack(request), RESULT_DOWNLOADED);
    missing->flags &= ~ITEM_FAILED;
    EXPECT_EQ(MOONQ_StartNextDownload(&request, &options), 1);
    EXPECT_EQ(request, nullptr);
    MOONQ_CancelRequest(nullptr);
    MOONQ_BeginRun();
    EXPECT_EQ(download(&request), -1);
    checkBack(request);
}

TEST_F(Workers, DownloadThatEndsShortStaysReadySayingWhyAndKeepsThePartOnDisk)
{
    const Script whole = answer(OK_9000, 9000);
    enum Action {
        WAIT, CANCEL_AT_ONCE, CANCEL_WHEN_BROKEN_OFF, CANCEL_AT_3000, REMOVE_FOLDER_AT_3000, LIMIT_FILES_TO_100000 };
    const uint32_t BROKEN = ITEM_VALID | ITEM_BROKEN_OFF;
    // item: "status text|part done" after the check-back.
    const std::string cut3000 =
        "12030 The connection with the server was terminated abnormally after 3000 of 9000 bytes.|3000";
    const struct { Script script; std::string local; Action action; int32_t result; uint32_t flags; std::string item; }
        cases[] = {
        {{readRequest(), pauseFor(300), sendText(OK_9000), sendBody(9000)}, "part/c.bin", CANCEL_AT_ONCE,
         RESULT_CANCELLED, ITEM_VALID, "200 OK|0"},
        {{readRequest(), sendText(OK_9000), sendBody(3000), pauseFor(1000), resetConnection()}, "part/c.bin",
         CANCEL_AT_3000, RESULT_CANCELLED, BROKEN, cut3000},   // stopped mid-transfer, then cut
        {answer(OK_9000, 3000), "part/c.bin", CANCEL_WHEN_BROKEN_OFF, RESULT_CANCELLED, BROKEN, cut3000},
        {answer(head("200 OK", "Connection: close"), 3000), "part/c.bin", CANCEL_WHEN_BROKEN_OFF, RESULT_CANCELLED,
         BROKEN, "200 Transfer ended early: 3000 of 9000 bytes.|3000"},
        {{readRequest(), sendText(OK_9000), sendBody(3000), pauseFor(300), sendBody(6000, 3000)}, "part/c.bin",
         REMOVE_FOLDER_AT_3000, ERR_WRITE_FAILED, BROKEN, "0 The local file was removed during the download.|0"},
        {answer(head("200 OK", "Content-Length: 1048576"), 1 << 20), "part/c.bin", LIMIT_FILES_TO_100000,
         ERR_WRITE_FAILED, BROKEN, "0 Could not write the local file: File too large.|100000"},
        {whole, "/dev/full", WAIT, ERR_WRITE_FAILED, BROKEN, "0 Could not write the local file: disk full.|0"},
        {whole, "link.bin", WAIT, ERR_LOCAL_FILE, ITEM_VALID | ITEM_NEEDS_FIX, "200 Could not open local file.|0"},
        {whole, "", WAIT, ERR_LOCAL_FILE, ITEM_VALID, "200 OK|0"},
        {answer(head("429 Too Many Requests", "Retry-After: 3600\r\nContent-Length: 0")), "c.bin",
         CANCEL_WHEN_BROKEN_OFF, RESULT_CANCELLED, BROKEN, "429 Too Many Requests|0"},   // its wait: below
    };
    std::filesystem::create_directory("outside");
    std::filesystem::create_symlink("outside/planted.txt", path("link.bin"));   // never followed
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item);
        std::filesystem::create_directory("part");
        ScriptedServer server({c.script});
        UrlItem* item = validItem(server.url("c.bin"), c.local, 9000);   // the size the query learnt
        item->flags |= ITEM_BROKEN_OFF;                                  // an earlier try's
        UrlRequest* request = nullptr;
        ASSERT_EQ(MOONQ_StartNextDownload(&request, &options), 0);
        auto brokenOff = [&] { return (item->flags & ITEM_BROKEN_OFF) != 0; };
        ASSERT_TRUE(c.action != CANCEL_WHEN_BROKEN_OFF || waitFor(brokenOff));
        const bool at3000 = c.action == CANCEL_AT_3000 || c.action == REMOVE_FOLDER_AT_3000;
        ASSERT_TRUE(!at3000 || waitFor([&] { return request->bytesDone.load() >= 3000; }));
        if (c.action == REMOVE_FOLDER_AT_3000)
            std::filesystem::remove_all("part");
        else if (c.action != WAIT && c.action != LIMIT_FILES_TO_100000)
            MOONQ_CancelRequest(request);
        auto end = [&] { return resultOf(request); };
        ASSERT_EQ(c.action == LIMIT_FILES_TO_100000 ? withFileSizeLimit(100000, end) : end(), c.result);
        EXPECT_EQ(server.connections(), 1);
        EXPECT_EQ(checkBack(request), c.result);
        EXPECT_EQ(std::to_string(item->status) + " " + item->statusText + "|" + std::to_string(item->partDone.load()),
                  c.item);
        EXPECT_EQ(item->flags.load() & ~ITEM_TRIED, c.flags);
        const bool kept = c.local != "part/c.bin" || c.action == REMOVE_FOLDER_AT_3000 ||
                          isPatternFile(path(c.local), uint64_t(item->partDone.load()));
        EXPECT_TRUE(kept);   // the part stays for a later try
        MOONQ_FreeList(&pendingList);
        std::filesystem::remove_all("part");
    }
    EXPECT_FALSE(std::filesystem::exists("outside/planted.txt"));
    Trace_Close();
    EXPECT_NE(readFile("moonfch_log.txt").find("DownloadURL, write failed /dev/full\n"), std::string::npos);
    EXPECT_NE(readFile("moonfch_log.txt").find("DownloadURL, retry in 60 seconds\n"), std::string::npos);
}

// What each request asked for: "" for the whole file, else "<Range> <If-Range>".
std::vector<std::string> askedFor(const std::vector<std::string>& heads)
{
    std::vector<std::string> out;
    for (const std::string& text : heads) {
        auto field = [&text](const std::string& name) {
            const size_t at = text.find("\r\n" + name + ": "), from = at + name.size() + 4;
            return at == std::string::npos ? std::string() : text.substr(from, text.find("\r\n", from) - from);
        };
        out.push_back(field("Range").empty() ? "" : field("Range") + " " + field("If-Range"));
    }
    return out;
}

enum FileChange { KEPT, REPLACED, TOUCHED, LINKED };

// Records part bytes of file as item's part, as a download does; then another program saves a copy
// of the same time over it, touches it, or puts a link to it in its place.
void recordPart(UrlItem* item, const std::string& file, int64_t part, FileChange change = KEPT)
{
    item->partDone = part;
    struct stat info {};
    ::stat(file.c_str(), &info);
    item->partFile = {info.st_dev, info.st_ino, uint64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
    const auto time = std::filesystem::last_write_time(file) + std::chrono::hours(change == TOUCHED ? 1 : 0);
    if (change == REPLACED || change == LINKED)
        std::filesystem::rename(file, file + "~");
    if (change == REPLACED)
        std::filesystem::copy_file(file + "~", file);
    if (change == LINKED)
        std::filesystem::create_symlink(file + "~", file);
    std::filesystem::last_write_time(file, time);
}

TEST_F(Workers, EachTryAsksOnlyForWhatIsMissingOfTheSameVersionAndFailuresThatMayPassAreTriedAgain)
{
    const std::string tagged = head("200 OK", "ETag: \"v1\"\r\nContent-Length: 9000");
    // The rest of the file from from on, of which count bytes come.
    auto rest = [](int from, int count) {
        const std::string range = "Content-Range: bytes " + std::to_string(from) + "-8999/9000\r\n";
        return answer(head("206 Partial Content", "ETag: \"v1\"\r\n" + range + "Content-Length: " +
                                                      std::to_string(9000 - from)),
                      uint64_t(count), uint64_t(from));
    };
    const Script whole = answer(tagged, 9000), cut = answer(tagged, 3000);
    const Script done =
        answer(head("416 Range Not Satisfiable", "Content-Range: bytes */9000\r\nContent-Length: 0"));
    const std::string body = "<html><head><TITLE>\n Link expired\r\nor moved</title></head></html>";
    const Script page = answer(head("200 OK", "Content-Type: Text/HTML; charset=utf-8\r\nETag: \"v1\"\r\n"
                                              "Content-Length: " + std::to_string(body.size())) + body);
    const Script htmlFile = answer(head("200 OK", "Content-Type: text/html\r\nContent-Length: 9000"), 9000);
    const std::string date = "Wed, 21 Oct 2015 07:28:00 GMT", ownPart = "bytes=3000- \"v1\"", v1 = "\"v1\"";
    const int32_t OK = RESULT_DOWNLOADED;
    const uint32_t REFUSED = ITEM_LINK_REFUSED;   // a new link is the fix
    // The item's version, part and size and the bytes of its file; the scripts, one per connection (the last
    // for any later one); the result, what each request asked for, the retry waits traced, where the last try
    // began in the file, and the item's flags when it stays.
    const struct { std::string etag, modified; int64_t part, onDisk, checkedSize; std::vector<Script> scripts;
                   int32_t result; std::vector<std::string> asked; const char* waits; int64_t resumedFrom;
                   uint32_t flags; FileChange change = KEPT; uint32_t seen = 0; } cases[] = {
        {v1, "", 3000, 3000, 9000, {rest(3000, 6000)}, OK, {ownPart}, "", 3000, 0},          // its own part
        {v1, "", 3000, 5000, 9000, {rest(3000, 6000)}, OK, {ownPart}, "", 3000, 0},          // written past the record
        {"", date, 3000, 3000, 9000, {rest(3000, 6000)}, OK, {"bytes=3000- " + date}, "", 3000, 0},
        {"W/" + v1, "", 3000, 3000, 9000, {whole}, OK, {""}, "", 0, 0},   // a weak ETag names no version
        {"", "", 3000, 3000, 9000, {whole}, OK, {""}, "", 0, 0},
        {v1, "", 3000, 2000, 9000, {whole}, OK, {""}, "", 0, 0},          // the file lost data
        {v1, "", 3000, 9500, 9000, {whole}, OK, {""}, "", 0, 0},          // longer than the whole file
        {v1, "", 0, 3000, 9000, {whole}, OK, {""}, "", 0, 0},             // a file that is not ours
        {v1, "", 9000, 9000, 9000, {done}, OK, {"bytes=9000- \"v1\""}, "", 9000, 0},
        // Retries continue the part the try before left, of the version its answer named.
        {"", "", 0, 0, 9000, {cut, rest(3000, 3000), rest(6000, 3000)}, OK, {"", ownPart, "bytes=6000- \"v1\""},
         "1 4 ", 6000, 0},
        {"", "", 0, 0, 5000, {cut, rest(3000, 6000)}, OK, {"", ownPart}, "1 ", 3000, 0},   // grown since checked
        {"", "", 0, 0, 9000, {cut, whole}, OK, {"", ownPart}, "1 ", 0, 0},                 // a server without ranges
        {"", "", 0, 0, 9000, {answer(head("404 Gone"))}, -1, {""}, "", 0, ITEM_VALID | ITEM_FAILED | REFUSED},
        {"", "", 0, 0, 9000, {answer(head("503 Busy", "Retry-After: 0\r\nContent-Length: 0"))}, -1,
         {"", "", "", ""}, "0 0 0 ", 0, ITEM_VALID | ITEM_BROKEN_OFF},
        // A 206 that sends the whole file: none of it joins the part, and it is not tried again.
        {v1, "", 3000, 3000, 9000, {answer(head("206 Partial Content", "Content-Range: bytes 3000-8999/9000\r\n"
         "Content-Length: 9000"), 9000)}, ERR_TOO_MANY_BYTES, {ownPart}, "", 3000, ITEM_VALID | ITEM_BROKEN_OFF},
        // A web page where the file should come (fresh, resumed, of another length than the page the query
        // saw) leaves the file as it is; a file the query saw as a page comes.
        {v1, "", 0, 3000, 9000, {page}, ERR_WEB_PAGE, {""}, "", 0, ITEM_VALID | ITEM_BROKEN_OFF | REFUSED},
        {v1, "", 3000, 3000, 9000, {page}, ERR_WEB_PAGE, {ownPart}, "", 0, ITEM_VALID | ITEM_BROKEN_OFF | REFUSED},
        {v1, "", 0, 3000, 9000, {page}, ERR_WEB_PAGE, {""}, "", 0, ITEM_VALID | ITEM_BROKEN_OFF | REFUSED, KEPT,
         ITEM_QUERY_PAGE},
        {"", "", 0, 0, 9000, {htmlFile}, OK, {""}, "", 0, 0, KEPT, ITEM_QUERY_PAGE},
        // Since the part, another file or a link (last: it stays) took its name: neither continued nor asked for.
        {v1, "", 3000, 3000, 9000, {whole}, ERR_FILE_CHANGED, {}, "", 0, ITEM_VALID | ITEM_BROKEN_OFF, REPLACED},
        {v1, "", 3000, 3000, 9000, {whole}, ERR_FILE_CHANGED, {}, "", 0, ITEM_VALID | ITEM_BROKEN_OFF, TOUCHED},
        {v1, "", 3000, 3000, 9000, {whole}, ERR_FILE_CHANGED, {}, "", 0, ITEM_VALID | ITEM_BROKEN_OFF, LINKED},
    };
    options.allowHTML = 1;   // a link to a file that the query saw as a page is downloaded only so
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        ScriptedServer server(c.scripts);
        writeFile(path("r.bin"), patternBytes(0, size_t(c.onDisk)));
        UrlItem* item = validItem(server.url("r.bin"), "r.bin", c.checkedSize);
        Text_CopyBounded(item->etag, c.etag.c_str());
        Text_CopyBounded(item->lastModified, c.modified.c_str());
        recordPart(item, path("r.bin"), c.part, c.change);
        item->flags |= c.seen;
        Trace_Open("moonfch_log.txt");
        UrlRequest* request = nullptr;
        ASSERT_EQ(download(&request), c.result);
        EXPECT_EQ(request->resumedFrom.load(), c.resumedFrom);   // the progress counts from there
        EXPECT_EQ(request->bytesDone.load() == 9000, c.result == OK || c.result == ERR_TOO_MANY_BYTES);
        EXPECT_EQ(checkBack(request), c.result);
        Trace_Close();
        std::string waits;
        const std::string log = readFile("moonfch_log.txt");
        for (size_t at = log.find("retry in "); at != std::string::npos; at = log.find("retry in ", at + 1))
            waits += log.substr(at + 9, log.find(' ', at + 9) - at - 9) + " ";
        EXPECT_EQ(waits, c.waits);
        EXPECT_EQ(askedFor(server.requests()), c.asked);
        EXPECT_TRUE(c.result != OK || isPatternFile(path("r.bin"), 9000));
        // The part stays recorded for the person to decide.
        const bool changed = c.result == ERR_FILE_CHANGED || c.result == ERR_WEB_PAGE;
        EXPECT_TRUE(c.result == OK || ((item->flags.load() & ~(ITEM_TRIED | ITEM_QUERY_PAGE)) == c.flags &&
                                       item->partDone.load() == (changed ? c.part : c.resumedFrom)));
        if (changed) {   // as it was, and the item says why
            EXPECT_STREQ(item->statusText, Err_Text(uint32_t(c.result)));
            EXPECT_TRUE(isPatternFile(path("r.bin"), uint64_t(c.onDisk)));
        }
        EXPECT_EQ(log.find("titled: Link expired\n") != std::string::npos, c.result == ERR_WEB_PAGE);
        MOONQ_FreeList(&pendingList);
    }
}

using WorkersConcurrent = Workers;

// Over several connections that share one rate limit, while this thread reads the list as the interface does:
// each asks for its range with If-Range, and after a stop only the missing ones are asked for (under another
// name of the file, apart from the stopped requests nginx logs late); the file ends byte-equal.
TEST_F(WorkersConcurrent, RangesOverSeveralConnectionsAfterAStopAskOnlyForWhatIsMissing)
{
    const uint64_t size = 8 << 20;
    NginxServer nginx(path("nginx"));
    nginx.makeFile("big.bin", size);
    nginx.addConfig("location / { limit_rate 512k; }");
    nginx.addConfig("location /fast/ { alias " + nginx.file("") + "/; }");
    ASSERT_TRUE(nginx.start());
    struct stat info {};
    ASSERT_EQ(::stat(nginx.file("big.bin").c_str(), &info), 0);
    char etag[64];
    std::snprintf(etag, sizeof etag, "\"%lx-%lx\"", long(info.st_mtime), long(size));
    UrlItem* item = validItem(nginx.url("big.bin"), "big.bin", int64_t(size));
    Text_CopyBounded(item->etag, etag);
    options.connections = 4;
    // Slow enough that the stop comes with several connections at work even on a loaded machine.
    options.rateLimit = 3 << 9;
    UrlRequest* request = nullptr;
    ASSERT_EQ(MOONQ_StartNextDownload(&request, &options), 0);
    EXPECT_TRUE(waitFor([&] { return request->connections.load() >= 2 && MOONQ_LockItem() &&
                                     Seg_Bytes(MOONQ_PartRanges(item)) >= int64_t(size / 2); }, std::chrono::seconds(60)));
    MOONQ_CancelRequest(request);
    ASSERT_EQ(resultOf(request), RESULT_CANCELLED);
    checkBack(request);
    const SegDone held = MOONQ_PartRanges(item);
    ASSERT_GE(held.count, 1);
    Text_CopyBounded(item->url, nginx.url("fast/big.bin").c_str());
    ASSERT_EQ(download(&request), RESULT_DOWNLOADED);
    EXPECT_EQ(checkBack(request), RESULT_DOWNLOADED);
    EXPECT_TRUE(isPatternFile(path("big.bin"), size));
    for (const auto& line : fieldsOf(nginx.accessLog())) {
        EXPECT_EQ(line[5], etag) << line[1];
        const int64_t first = std::stoll(line[1].substr(6));
        for (int32_t r = 0; line[0].starts_with("GET /fast/") && r < held.count; ++r)
            EXPECT_FALSE(first >= held.ranges[r].first && first < held.ranges[r].end) << line[1];
    }
}

// Servers that misbehave on the connection added to a download: the file ends byte-equal within the one try,
// what was refused goes to the other connection or the file starts over, and no connection comes after a refusal.
// The first connection sends a MiB and pauses, so the second (added once the ramp measured it) gets the back half
// of the rest, 4.5 MiB on.
TEST_F(Workers, AddedConnectionsThatTheServerMisservesLeaveTheRestToTheOthers)
{
    const uint64_t MIB = 1 << 20, N = 8 * MIB;
    const std::string v1 = "\"v1\"", n = std::to_string(N);
    // The head of a 206 of [first, end), by default to the file's end.
    auto partFrom = [&](uint64_t first, const std::string& etag, uint64_t end = 0) {
        end = end ? end : N;
        return head("206 Partial Content", "ETag: " + etag + "\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                    std::to_string(end - 1) + "/" + n + "\r\nContent-Length: " + std::to_string(end - first));
    };
    auto rest = [&](uint64_t first, uint64_t end = 0) { return answer(partFrom(first, v1, end), (end ? end : N) - first, first); };
    auto asked = [&](uint64_t first, uint64_t end = 0) {
        return "bytes=" + std::to_string(first) + "-" + std::to_string((end ? end : N) - 1) + " " + v1;
    };
    const uint64_t half = 9 * MIB / 2;
    const Script first = {readRequest(), sendText(partFrom(0, v1)), sendBody(MIB), pauseFor(2000), sendBody(N - MIB, MIB)};
    const struct { const char* name; std::vector<Script> scripts; std::vector<std::string> asked; } cases[] = {
        {"added connection answered 200", {first, answer(head("200 OK", "ETag: " + v1 + "\r\nContent-Length: " + n)),
         rest(half)}, {"bytes=0- " + v1, asked(half), asked(half)}},
        {"503 on the added connection", {first, answer(head("503 Service Unavailable")), rest(half)},
         {"bytes=0- " + v1, asked(half), asked(half)}},
        {"changed ETag on one range", {first, answer(partFrom(half, "\"v2\""), N - half, half),
         answer(head("200 OK", "ETag: \"v2\"\r\nContent-Length: " + n), N)}, {"bytes=0- " + v1, asked(half), "bytes=0- " + v1}},
        {"206 with the wrong range", {first, answer(partFrom(half + 1, v1), N - half - 1, half + 1), rest(half)},
         {"bytes=0- " + v1, asked(half), asked(half)}},
        // The cut connection asks for the rest of its range, then for back halves of the paused first one's
        // rest while they keep the floor.
        {"connection cut mid-range", {first, answer(partFrom(half, v1), 2 * MIB, half), rest(half + 2 * MIB),
         rest(11 * MIB / 4, half), rest(15 * MIB / 8, 11 * MIB / 4), rest(23 * MIB / 16, 15 * MIB / 8)},
         {"bytes=0- " + v1, asked(half), asked(half + 2 * MIB), asked(11 * MIB / 4, half),
          asked(15 * MIB / 8, 11 * MIB / 4), asked(23 * MIB / 16, 15 * MIB / 8)}},
    };
    // One added connection: the server's scripts go to the connections in the order they come.
    options.connections = 2;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.scripts);
        UrlItem* item = validItem(server.url("r.bin"), "r.bin", int64_t(N));
        Text_CopyBounded(item->etag, v1.c_str());
        Trace_Open("moonfch_log.txt");
        UrlRequest* request = nullptr;
        ASSERT_EQ(download(&request), RESULT_DOWNLOADED);
        EXPECT_EQ(checkBack(request), RESULT_DOWNLOADED);
        Trace_Close();
        EXPECT_TRUE(isPatternFile(path("r.bin"), N));
        EXPECT_EQ(askedFor(server.requests()), c.asked);
        const std::string log = readFile("moonfch_log.txt");
        EXPECT_EQ(std::tuple(log.find("connection 2 added") != log.npos, log.find("connection 3 added"), log.find("retry")),
                  std::tuple(true, log.npos, log.npos));
        MOONQ_FreeList(&pendingList);
    }
}

TEST_F(Workers, FtpDownloadContinuesThePartOfAFileOfTheSameSize)
{
    FtpServer ftp(path("ftp"));
    ftp.makeFile("pub/f.bin", 9000);
    ASSERT_TRUE(ftp.start());
    writeFile(path("f.bin"), patternBytes(0, 3000));
    recordPart(validItem(ftp.url("pub/f.bin"), "f.bin", 9000), path("f.bin"), 3000);
    UrlRequest* request = nullptr;
    ASSERT_EQ(download(&request), RESULT_DOWNLOADED);
    EXPECT_EQ(request->resumedFrom.load(), 3000);
    checkBack(request);
    EXPECT_TRUE(isPatternFile(path("f.bin"), 9000));
}

constexpr char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The base64 of data's digest (the hashing is checked against known digests at its own layer).
std::string digestOf(DigestAlgorithm algorithm, const std::string& data)
{
    uint8_t digest[DIGEST_CAPACITY + 2] = {};
    DigestContext* context = Digest_Begin(algorithm);
    Digest_Add(context, data.data(), data.size());
    Digest_End(context, digest);
    std::string text;
    for (size_t i = 0, length = Digest_Length(algorithm); i < length; i += 3) {
        const uint32_t bits = uint32_t(digest[i]) << 16 | digest[i + 1] << 8 | digest[i + 2];
        for (size_t k = 0; k < 4; ++k)
            text += i + k <= length ? BASE64[(bits >> (18 - 6 * k)) & 63] : '=';
    }
    return text;
}

TEST_F(Workers, AFinishedFileIsHeldToTheChecksumItsServerClaimsAndOneThatDiffersIsFetchedWholeNextRun)
{
    const std::string file = patternBytes(0, 9000), other = patternBytes(1, 9000);
    using A = DigestAlgorithm;
    auto sf = [](A algorithm, const std::string& data) {
        return std::string(algorithm == A::Sha256 ? "sha-256" : "sha-512") + "=:" + digestOf(algorithm, data) + ":";
    };
    const std::string bad = "The file does not match the server's checksum.";
    auto good = [](const std::string& how) { return "The file matches the server's checksum (" + how + ")."; };
    // The answer's header fields; whether it continues a part of 3000 bytes; whether the query's HEAD
    // answer (ETag "v1") gave the fields instead of the download's (then of the version in etag); the
    // item's text after the download.
    const struct { std::string fields; bool resumed; bool queried; std::string text; std::string etag = "\"v1\""; }
        cases[] = {
        {"Repr-Digest: " + sf(A::Sha256, file), false, false, good("sha-256 in Repr-Digest")},
        {"Repr-Digest: " + sf(A::Sha512, file), true, false, good("sha-512 in Repr-Digest")},
        {"Repr-Digest: " + sf(A::Sha512, other), true, false, bad},
        {"Content-Digest: " + sf(A::Sha256, file), false, false, good("sha-256 in Content-Digest")},
        {"Content-Digest: " + sf(A::Sha256, file.substr(3000)), true, false, "Partial Content"},   // the part's
        {"Digest: MD5=" + digestOf(A::Md5, other), true, false, bad},
        {"Content-MD5: " + digestOf(A::Md5, file), false, false, good("md5 in Content-MD5")},
        {"x-goog-hash: crc32c=" + digestOf(A::Crc32c, file), false, false, good("crc32c in x-goog-hash")},
        {"Repr-Digest: " + sf(A::Sha256, other), false, true, bad},
        {"Repr-Digest: " + sf(A::Sha256, other), false, true, "OK", "\"v2\""},   // another version came
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields.substr(0, 40));
        const std::string part = c.resumed ? "Content-Range: bytes 3000-8999/9000\r\nContent-Length: 6000"
                                           : "Content-Length: 9000";
        const std::string fields = "ETag: " + c.etag + "\r\n" + part + (c.queried ? "" : "\r\n" + c.fields);
        std::vector<Script> scripts = {answer(head(c.resumed ? "206 Partial Content" : "200 OK", fields),
                                              c.resumed ? 6000 : 9000, c.resumed ? 3000 : 0)};
        if (c.queried)
            scripts.insert(scripts.begin(), answer(head("200 OK", "ETag: \"v1\"\r\nContent-Length: 9000\r\n" + c.fields)));
        ScriptedServer server(scripts);
        writeFile(path("v.bin"), patternBytes(0, c.resumed ? 3000 : 0));
        UrlItem* item = validItem(server.url("v.bin"), "", 9000);
        UrlRequest* request = nullptr;
        if (c.queried) {
            ASSERT_EQ(MOONQ_StartRequest(item, &options, true, &request), 0);
            ASSERT_EQ(resultOf(request), RESULT_QUERIED);
            MOONQ_FreeRequest(request);
        }
        Text_CopyBounded(item->localPath, path("v.bin").c_str());
        Text_CopyBounded(item->etag, "\"v1\"");
        recordPart(item, path("v.bin"), c.resumed ? 3000 : 0);
        Trace_Open("moonfch_log.txt");
        EXPECT_EQ(download(&request), c.text == bad ? ERR_CHECKSUM_MISMATCH : RESULT_DOWNLOADED);
        EXPECT_EQ(item->statusText, c.text);
        Trace_Close();
        EXPECT_EQ(readFile("moonfch_log.txt").find("DownloadURL, " + c.text) != std::string::npos, c.text.ends_with(")."));
        for (const std::string& asked : server.requests())
            EXPECT_NE(asked.find("\r\nWant-Repr-Digest: sha-256=10, sha-512=3\r\n"), std::string::npos);
        checkBack(request);
        if (c.text != bad) {
            EXPECT_TRUE(isPatternFile(path("v.bin"), 9000));
            continue;
        }
        // Nothing of the file is kept, and the next run asks for all of it.
        EXPECT_EQ(std::pair(readFile(path("v.bin")), item->partDone.load()), std::pair(std::string(), int64_t(0)));
        EXPECT_EQ(item->flags.load() & ~ITEM_TRIED, ITEM_VALID | ITEM_BROKEN_OFF);
        MOONQ_BeginRun();
        checkBack((download(&request), request));
        EXPECT_EQ(askedFor(server.requests()).back(), "");
        MOONQ_FreeList(&pendingList);
    }
}

// Queries run at once, each into its own item, which says what the answer gave or why it failed.
TEST_F(WorkersConcurrent, QueriesFillInTheirItemOrSayWhyTheyFailed)
{
    const std::string longName = std::string(250, 'n') + ".zip";
    const std::string named = "Content-Length: 10\r\nContent-Disposition: attachment; filename*=UTF-8''r%C3%A9sum"
                              "%C3%A9.pdf";
    // url: on the server, or whole; flags: before the check-back that makes a queried item valid;
    // handed: cookies handed over with the link, and the Cookie header the server then saw.
    const uint32_t FAILED = ITEM_FAILED | ITEM_LINK_REFUSED;   // the link itself refused
    const struct { std::string url; std::vector<Script> scripts; bool extDir; int32_t result; uint32_t flags;
                   std::string item, handed = "", sent = ""; } cases[] = {
        {"pub/setup.zip?id=7", {answer(head("200 OK", "Content-Length: 9999"))}, false, RESULT_QUERIED, 0,
         "9999 200 OK|dl/setup.zip|pub/setup.zip?id=7|0"},
        {"latest", {answer(head("302 Found", "Location: /pub/setup.zip\r\nContent-Length: 0")), answer(OK_9000)},
         true, RESULT_QUERIED, ITEM_EXT_DIR, "9000 200 OK|dl/zip/setup.zip|pub/setup.zip|0"},
        {"get/file.bin?id=3", {answer(head("200 OK", named))}, true, RESULT_QUERIED, ITEM_EXT_DIR,
         "10 200 OK|dl/pdf/r\xC3\xA9sum\xC3\xA9.pdf|get/file.bin?id=3|0"},
        {"f.bin", {answer(head("200 OK", "Connection: close"))}, false, RESULT_QUERIED, 0,
         "0 200 OK|dl/f.bin|f.bin|0"},
        {"a.htm", {answer(head("200 OK", "Content-Type: application/XHTML+xml ;q=1\r\nContent-Length: 5"))}, false,
         RESULT_QUERIED, ITEM_QUERY_PAGE, "5 200 OK|dl/a.htm|a.htm|0"},
        {"none.zip", {answer(head("404 Not Found"))}, false, -1, FAILED, "0 404 Not Found||none.zip|0"},
        // A refusal says what it means for the link, and once the link's own end passed, that it expired.
        {"old.zip?X-Amz-Date=20000101T000000Z&X-Amz-Expires=60", {answer(head("403 Forbidden"))}, false, -1,
         FAILED, "0 403 The link has expired.||old.zip?X-Amz-Date=20000101T000000Z&X-Amz-Expires=60|0"},
        {"new.zip?exp=7000000000", {answer(head("403 Forbidden"))}, false, -1, FAILED,
         "0 403 Forbidden (the server refuses this link: it may have expired or need a login)||new.zip?exp=7000000000|0"},
        {"gone.zip", {answer(head("410 Gone"))}, false, -1, FAILED,
         "0 410 Gone (the server no longer offers the file at this link)||gone.zip|0"},
        {"r", {answer(head("302 Found", "Location: /r\r\nContent-Length: 0"))}, false, RESULT_FAILED, ITEM_FAILED,
         "0 302 Found||r|0"},
        {"http://no-slash", {}, false, ERR_BAD_URL, ITEM_FAILED,
         "0 0 Badly formatted URL, or not a file!||http://no-slash|0"},
        {longName, {answer(OK_9000)}, false, ERR_NAME_TOO_LONG, ITEM_FAILED,
         "0 0 Local file name too long.||" + longName + "|0"},
        {"c.zip", {answer(OK_9000)}, false, RESULT_QUERIED, 0, "9000 200 OK|dl/c.zip|c.zip|0", "s=1; t=\"2\"",
         "s=1; t=\"2\""},
        {"d.zip", {answer(OK_9000)}, false, RESULT_QUERIED, 0, "9000 200 OK|dl/d.zip|d.zip|0", "s=1\r\nX-Evil: 1"},
    };
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    std::vector<UrlItem*> items;
    for (const auto& c : cases) {
        servers.push_back(std::make_unique<ScriptedServer>(c.scripts));
        options.useDirExtension = c.extDir;
        const std::string url = c.url.find("://") != std::string::npos ? c.url : servers.back()->url(c.url);
        items.push_back(MOONQ_AddURL(url.c_str(), &options, c.handed.empty() ? nullptr : c.handed.c_str()));
    }
    std::vector<int32_t> results;
    for (ListLink* node = requestList.next; node != &requestList; node = node->next)
        results.push_back(resultOf(reinterpret_cast<UrlRequest*>(node)));
    ASSERT_EQ(results.size(), std::size(cases));
    auto lock = MOONQ_LockItem();
    const UrlItem stranger{};   // no other item may take a name a query gave
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].item.substr(0, 60));
        EXPECT_EQ(std::tuple(results[i], state(items[i], servers[i]->url("")), items[i]->flags.load()),
                  std::tuple(cases[i].result, cases[i].item, cases[i].flags));
        EXPECT_EQ(MOONQ_LocalNameMayBeTaken(&stranger, items[i]->localPath), items[i]->localPath[0] != '\0');
        const std::string asked = servers[i]->requests().empty() ? "" : servers[i]->requests()[0];
        const size_t at = asked.find("\r\nCookie: ");
        EXPECT_EQ(at == std::string::npos ? "" : asked.substr(at + 10, asked.find("\r\n", at + 2) - at - 10), cases[i].sent);
    }
}

size_t threadCount()
{
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

// Ten thousand links at once: every query runs, on no more threads than the pool's, over a few
// kept connections. Then on a silent server: queries still waiting behind busy workers are withdrawn
// without a request, and the blocked ones and a blocked download end at a stop.
TEST_F(WorkersConcurrent, ThousandsOfQueriesShareTheBoundedPoolAndAStopEndsEveryBlockedWorker)
{
    NginxServer nginx(path("nginx"));
    nginx.makeFile("one.bin", 100);
    nginx.addConfig("location /v/ { try_files /one.bin =404; }");
    ASSERT_TRUE(nginx.start());
    const size_t before = threadCount(), pool = MOONQ_QueryPoolSize();
    std::vector<UrlRequest*> requests;
    for (int i = 0; i < 10000; ++i) {
        MOONQ_AddURL(nginx.url("v/" + std::to_string(i) + ".bin").c_str(), &options);
        requests.push_back(reinterpret_cast<UrlRequest*>(requestList.prev));
    }
    size_t peak = 0, done = 0;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::minutes(3);
         done < requests.size() && std::chrono::steady_clock::now() < until;) {
        peak = std::max(peak, threadCount());
        while (done < requests.size() && requests[done]->result.load() != RESULT_RUNNING)
            ++done;
    }
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](UrlRequest* request) { return request->result.load() == RESULT_QUERIED; }),
              10000);
    EXPECT_LE(peak, before + pool + 2);
    std::set<std::string> connections;
    for (const auto& line : fieldsOf(nginx.accessLog()))
        connections.insert(line.at(4));
    EXPECT_LE(connections.size(), pool * 11);   // nginx ends a connection after 1000 requests

    ScriptedServer silent({{readRequest(), staySilent()}});
    for (size_t i = 0; i < pool + 3; ++i)
        MOONQ_AddURL(silent.url("q" + std::to_string(i)).c_str(), &options);
    UrlItem* item = validItem(silent.url("d.bin"), "d.bin");
    UrlRequest* download = nullptr;
    ASSERT_EQ(MOONQ_StartRequest(item, &options, false, &download), 0);
    ASSERT_TRUE(waitFor([&] { return silent.connections() == int(pool) + 1; }));
    auto* waiting = reinterpret_cast<UrlRequest*>(requestList.prev);
    EXPECT_TRUE(waiting->item->flags & ITEM_WAITING);
    MOONQ_CancelRequest(waiting);
    EXPECT_EQ(std::tuple(waiting->result.load(), waiting->item->flags.load()), std::tuple(RESULT_CANCELLED, 0u));
    // The download belongs to the run, not to requestList: the run stops it before its item goes.
    EXPECT_TRUE(MOONQ_StopRequest(download, 1000));
    EXPECT_EQ(std::pair(download->result.load(), item->status), std::pair(-1, int32_t(INET_ERR_CANCELLED)));
    MOONQ_FreeRequest(download);
    MOONQ_Stop();   // withdraws the other waiting ones and aborts the blocked ones within its bound
    EXPECT_TRUE(silent.connections() == int(pool) + 1 && List_IsEmpty(&requestList) && List_IsEmpty(&pendingList));
    ASSERT_EQ(MOONQ_Start(), 0);
}

}  // namespace

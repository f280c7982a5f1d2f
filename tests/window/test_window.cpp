// The windowing on Linux beyond what both systems share: the scroll bar, scripted modal calls,
// dragged text, the second signal and the hand-off between copies.
#include "tests/window/window_fixture.h"

#include "window/handoff.h"

#include <atomic>
#include <future>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <tuple>

namespace {

using namespace moontest;

TEST_F(WindowTest, ScrollBarShowsOnlyWithARangeAndMovesOnlyWhenTheProgramSaysSo)
{
    HWND main = showMain();
    int fullWidth = Win_GetClientRect(main).right;
    messages.clear();
    Win_SetScrollRange(main, 10);
    int narrowed = Win_GetClientRect(main).right;
    EXPECT_LT(narrowed, fullWidth);
    ASSERT_FALSE(received(WM_SIZE).empty());   // the procedure hears of the narrower client area
    EXPECT_EQ(LOWORD(uintptr_t(received(WM_SIZE).back().lParam)), narrowed);

    std::vector<int> positions;
    for (int position : {4, 99}) {
        Win_SetScrollPos(main, position);
        positions.push_back(Win_GetScrollPos(main));
    }
    Win_SetScrollRange(main, 3);
    positions.push_back(Win_GetScrollPos(main));
    EXPECT_EQ(positions, (std::vector<int>{4, 10, 3}));
    // The person presses the down arrow at the bottom of the bar, right of the client area.
    Win_SetScrollPos(main, 1);
    messages.clear();
    WinRect client = Win_GetClientRect(main);
    Win_SendClick(main, client.right + 3, client.bottom - 3, false, false);
    ASSERT_EQ(received(WM_VSCROLL).size(), 1u);
    EXPECT_EQ(LOWORD(received(WM_VSCROLL)[0].wParam), int(SB_LINEDOWN));
    EXPECT_EQ(Win_GetScrollPos(main), 1);   // this procedure did not move it
    Win_SetScrollRange(main, 0);
    EXPECT_EQ(std::tuple(Win_GetClientRect(main).right, Win_GetScrollPos(main)), std::tuple(fullWidth, 0));
}

TEST_F(WindowTest, ASecondSignalEndsTheProcessAtOnce)
{
    Win_ListenForEndSession(showMain());
    // The first waits for the event loop, which a long save may keep from running.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((::raise(SIGINT), ::raise(SIGINT)), ::testing::KilledBySignal(SIGINT), "");
}

TEST_F(WindowTest, ScriptsAnswerMessageBoxesAndFileDialogs)
{
    WinModalQueue modals;
    modals.answers = {Win_Answer(IDOK), Win_Answer(IDOK, "/downloads/b.zip"),
                      Win_Answer(IDOK, "/a/name/that/does/not/fit/in/the/buffer.zip"), Win_Answer(IDOK)};
    EXPECT_EQ(Win_MessageBox(nullptr, "Scheduled download will not occur if you quit.", nullptr, MB_OKCANCEL), IDOK);
    char file[32] = "/downloads/a.zip";
    EXPECT_TRUE(Win_SaveFileName(nullptr, file, sizeof file));
    EXPECT_STREQ(file, "/downloads/b.zip");
    EXPECT_FALSE(Win_SaveFileName(nullptr, file, sizeof file));
    EXPECT_FALSE(Win_OpenFileName(nullptr, file, sizeof file));
    EXPECT_STREQ(file, "/downloads/b.zip");   // a cancel leaves the name as it was
    // "Error" is Windows' caption when none is given.
    EXPECT_EQ(modals.seen, (std::vector<std::string>{"box Error: Scheduled download will not occur if you quit.",
                                                     "save Save As: /downloads/a.zip", "save Save As: /downloads/b.zip",
                                                     "open Open: /downloads/b.zip"}));
}

// Takes what starts with "http://" and records every call.
class LinkTarget : public WinDropTarget {
public:
    uint32_t DragEnter(const char* text, uint32_t allowed) override
    {
        calls += "enter " + std::string(text ? text : "(none)") + "|";
        return effect = text && std::strncmp(text, "http://", 7) == 0 ? allowed : DROPEFFECT_NONE;
    }
    uint32_t DragOver() override { return effect; }
    void DragLeave() override { calls += "leave|"; }
    uint32_t Drop(const char* text) override
    {
        calls += "drop " + std::string(text ? text : "(none)") + "|";
        return effect;
    }
    std::string calls;
    uint32_t effect = DROPEFFECT_NONE;
};

TEST_F(WindowTest, DragsOfAcceptableTextAreDroppedAndOthersRefused)
{
    HWND main = showMain();
    LinkTarget target;
    EXPECT_EQ(Win_SendDrag(main, "http://example.com/", DROPEFFECT_COPY, true), DROPEFFECT_NONE);  // none yet
    ASSERT_TRUE(Win_RegisterDropTarget(main, &target));
    EXPECT_FALSE(Win_RegisterDropTarget(main, &target));

    uint32_t both = DROPEFFECT_COPY | DROPEFFECT_LINK;
    EXPECT_EQ(Win_SendDrag(main, "http://example.com/a.zip", both, true), both);
    EXPECT_EQ(Win_SendDrag(main, "<html>page</html>", both, true), DROPEFFECT_NONE);
    EXPECT_EQ(Win_SendDrag(main, nullptr, both, true), DROPEFFECT_NONE);
    EXPECT_EQ(Win_SendDrag(main, "http://example.com/b.zip", DROPEFFECT_MOVE, false), DROPEFFECT_MOVE);
    EXPECT_EQ(target.calls, "enter http://example.com/a.zip|drop http://example.com/a.zip|enter <html>page</html>|"
                            "enter (none)|enter http://example.com/b.zip|leave|");
}


// Another user's connection, made from a child that gave up root: closed unanswered. The child's
// exit status: 0 closed without an answer, 1 not connected at all, 2 answered.
int connectAsNobody(const std::string& socketPath, const std::string& frame)
{
    return moontest::inChild([&] {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (!moontest::becomeNobody() || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return 1;
        char reply[16];
        return ::write(fd, frame.data(), frame.size()) == ssize_t(frame.size()) && ::read(fd, reply, sizeof reply) > 0
                   ? 2 : 0;
    });
}

TEST_F(WindowTest, AHandoffFindsNoCopyOrAHungOneThatDropsWhatItsSenderGaveUpOnAndAnotherUsersConnectionIsClosed)
{
    const HandoffRequest request{{{"http://h/a.zip", "", ""}}};
    HandoffAnswer answer;
    EXPECT_EQ(Win_HandoffSend("data", request, &answer, 300), HANDOFF_NO_COPY);
    int requests = 0;
    ASSERT_TRUE(Win_HandoffServe("data", [&](const HandoffRequest&, HandoffAnswer* out) {
        ++requests;
        out->results.push_back({"http://h/a.zip", true, ""});
    }));
    const std::string socketPath = Win_HandoffSocketPath("data");
    EXPECT_EQ(std::filesystem::status(socketPath).permissions() & std::filesystem::perms::others_all,
              std::filesystem::perms::none);
    // This thread serves as well and waits in the send: nobody answers, and the copy drops the
    // request whose sender gave up on it.
    EXPECT_EQ(Win_HandoffSend("data", request, &answer, 300), HANDOFF_HUNG);
    Win_ProcessEvents(50);
    EXPECT_EQ(requests, 0);
    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's connection needs root to be made";
    // Past the folders' modes, which keep others out already, to the credentials' check.
    std::filesystem::permissions(dir(), std::filesystem::perms::all);
    std::filesystem::permissions(socketPath, std::filesystem::perms::all);
    std::atomic<int> status{-1};
    std::thread other([&] { status = connectAsNobody(socketPath, Handoff_EncodeRequest(request)); });
    EXPECT_TRUE(moontest::waitFor([&] { return status != -1; }, std::chrono::seconds(10),
                                  [] { Win_ProcessEvents(10); }));
    other.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(requests, 0);
    Win_HandoffClose();
    EXPECT_FALSE(std::filesystem::exists(socketPath));
}

// Runs body on a thread of its own while this one serves; its result.
std::string whileServing(const std::function<std::string()>& body)
{
    std::string result;
    std::atomic<bool> done{false};
    std::thread worker([&] { result = body(); done = true; });
    moontest::waitFor([&] { return done.load(); }, std::chrono::seconds(30), [] { Win_ProcessEvents(10); });
    worker.join();
    return result;
}

int rawConnect(const std::string& socketPath)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

// Sends bytes on the connection, then reads to its end: "answered", else "closed".
std::string rawFinish(int fd, const std::string& bytes)
{
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char reply[64];
    const ssize_t got = ::read(fd, reply, sizeof reply);
    ::close(fd);
    return got >= ssize_t(HANDOFF_HEADER_SIZE) ? "answered" : "closed";
}

// A request's frame of exactly size bytes of payload.
std::string framed(uint32_t size)
{
    const std::string payload = "{\"pad\":\"" + std::string(size - 10, 'x') + "\"}";
    return std::string{char(size >> 24), char(size >> 16 & 0xFF), char(size >> 8 & 0xFF), char(size & 0xFF)} + payload;
}

TEST_F(WindowTest, TheHandoffKeepsToThisUserClosesWhatLingersAndServesAgainAfterwards)
{
    const std::string socketPath = Win_HandoffSocketPath("data"), whole = framed(HANDOFF_MAX_PAYLOAD);
    struct Row { const char* name; std::function<std::string()> run; std::string expected; bool root; };
    const Row rows[] = {
        {"an idle connection and an unfinished frame", [&] { return whileServing([&] {
             return rawFinish(rawConnect(socketPath), "") + " " + rawFinish(rawConnect(socketPath), framed(90).substr(0, 50));
         }); }, "closed closed", false},
        {"frames held beyond the cap", [&] { return whileServing([&] {
             const int first = rawConnect(socketPath);
             ::send(first, whole.data(), whole.size() - 1, 0);   // the copy keeps what came
             const std::string second = rawFinish(rawConnect(socketPath), whole);
             return second + " " + rawFinish(first, whole.substr(whole.size() - 1));
         }); }, "closed answered", false},
        {"a runtime folder open to others", [&] {
             std::filesystem::permissions(dir(), std::filesystem::perms::all);
             Win_HandoffServe("data", [](const HandoffRequest&, HandoffAnswer*) {});
             const std::filesystem::path elsewhere = Win_HandoffSocketPath("data");
             std::filesystem::permissions(dir(), std::filesystem::perms::owner_all);
             return elsewhere.parent_path().lexically_relative(dir()).string();
         }, "data/moonfetch/run", false},
        {"a listener of another user", [&] {
             Win_HandoffClose();
             std::filesystem::permissions(dir(), std::filesystem::perms::all);
             auto heard = std::async(std::launch::async, [&] { return moontest::inChild([&] {
                 const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                 sockaddr_un address{AF_UNIX, {}};
                 std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
                 if (!moontest::becomeNobody() || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
                     ::listen(fd, 1) != 0)
                     return 1;
                 char byte;
                 return ::read(::accept(fd, nullptr, nullptr), &byte, 1) > 0 ? 2 : 0;
             }); });
             moontest::waitFor([&] { return std::filesystem::exists(socketPath); });
             std::filesystem::permissions(dir(), std::filesystem::perms::owner_all);
             HandoffAnswer answer;
             const int sent = Win_HandoffSend("data", HandoffRequest{}, &answer, 2000);
             return std::to_string(sent) + " " + std::to_string(heard.get());
         }, "1 0", true},
        {"out of descriptors", [&] {   // the child serves; this process's main thread waits for it
             Win_HandoffClose();
             auto told = std::async(std::launch::async, [&] {
                 moontest::waitFor([&] { return std::filesystem::exists(path("full")); });
                 const int fd = rawConnect(socketPath);
                 ::send(fd, framed(20).data(), 24, 0);
                 std::this_thread::sleep_for(std::chrono::milliseconds(500));   // the copy fails to accept meanwhile
                 moontest::writeFile(path("free"), "");
                 const std::string result = rawFinish(fd, "");
                 return moontest::writeFile(path("read"), ""), result;
             });
             const int served = moontest::inChild([&] {
                 const rlimit few{64, 64};
                 int answered = 0;
                 std::vector<int> fillers;
                 if (::setrlimit(RLIMIT_NOFILE, &few) != 0 ||
                     !Win_HandoffServe("data", [&](const HandoffRequest&, HandoffAnswer*) { ++answered; }))
                     return 1;
                 for (int fd; (fd = ::dup(0)) >= 0;)
                     fillers.push_back(fd);
                 moontest::writeFile(path("full"), "");
                 moontest::waitFor([&] { return std::filesystem::exists(path("free")); }, std::chrono::seconds(20),
                                   [] { Win_ProcessEvents(10); });
                 for (int fd : fillers)
                     ::close(fd);
                 moontest::waitFor([&] { return std::filesystem::exists(path("read")); }, std::chrono::seconds(20),
                                   [] { Win_ProcessEvents(10); });
                 return answered == 1 ? 0 : 1;
             });
             return told.get() + " " + std::to_string(served);
         }, "answered 0", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.root && ::geteuid() != 0)
            continue;
        ASSERT_TRUE(Win_HandoffServe("data", [](const HandoffRequest&, HandoffAnswer*) {}));
        EXPECT_EQ(row.run(), row.expected);
        ASSERT_TRUE(Win_HandoffServe("data", [](const HandoffRequest&, HandoffAnswer*) {}));
        EXPECT_EQ(whileServing([] { HandoffAnswer answer; return std::to_string(Win_HandoffSend("data", {}, &answer, 5000)); }), "0");
    }
    Win_HandoffClose();
}

}  // namespace

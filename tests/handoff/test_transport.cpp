// The handoff's transport on Linux, served from the windowing's event loop as the program serves
// it: who may connect and be sent to, and what a connection may hold.
#include "handoff/transport.h"

#include "tests/support/fixtures.h"
#include "tests/support/window/window_testing.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

class Transport : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ASSERT_TRUE(Win_Init(nullptr, nullptr));
    }
};

// Runs body on a thread of its own while this one serves, until it ends (the raw sockets' own
// time limits end it); its result.
std::string whileServing(const std::function<std::string()>& body)
{
    std::string result;
    std::atomic<bool> done{false};
    std::thread worker([&] { result = body(); done = true; });
    while (!done)
        Win_ProcessEvents(10);
    worker.join();
    return result;
}

sockaddr_un unixAddress(const std::string& socketPath)
{
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    return address;
}

int rawConnect(const std::string& socketPath)
{
    const sockaddr_un address = unixAddress(socketPath);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    // A copy that neither answers nor closes fails the test instead of holding it for ever.
    const timeval limit{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
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

TEST_F(Transport, AHandoffFindsNoCopyOrAHungOneThatDropsWhatItsSenderGaveUpOn)
{
    const HandoffRequest request{{{"http://h/a.zip", "", ""}}};
    HandoffAnswer answer;
    EXPECT_EQ(Handoff_Send("data", request, &answer, 300), HANDOFF_NO_COPY);
    int requests = 0;
    ASSERT_TRUE(Handoff_Serve("data", [&](const HandoffRequest&, HandoffAnswer* out) {
        ++requests;
        out->results.push_back({"http://h/a.zip", true, ""});
    }));
    const std::string socketPath = Handoff_SocketPath("data");
    EXPECT_EQ(std::filesystem::status(socketPath).permissions() & std::filesystem::perms::others_all,
              std::filesystem::perms::none);
    // This thread serves as well and waits in the send: nobody answers, and the copy drops the
    // request whose sender gave up on it.
    EXPECT_EQ(Handoff_Send("data", request, &answer, 300), HANDOFF_HUNG);
    Win_ProcessEvents(50);
    EXPECT_EQ(requests, 0);
    Handoff_Close();
    EXPECT_FALSE(std::filesystem::exists(socketPath));
}

// A request's frame of exactly size bytes of payload.
std::string framed(uint32_t size)
{
    const std::string payload = "{\"pad\":\"" + std::string(size - 10, 'x') + "\"}";
    return std::string{char(size >> 24), char(size >> 16 & 0xFF), char(size >> 8 & 0xFF), char(size & 0xFF)} + payload;
}

TEST_F(Transport, TheHandoffKeepsToThisUserClosesWhatLingersAndServesAgainAfterwards)
{
    const std::string socketPath = Handoff_SocketPath("data"), whole = framed(HANDOFF_MAX_PAYLOAD);
    struct Row { const char* name; std::function<std::string()> run; std::string expected; bool root; };
    const Row rows[] = {
        {"an idle connection and an unfinished frame", [&] { return whileServing([&] {
             return rawFinish(rawConnect(socketPath), "") + " " + rawFinish(rawConnect(socketPath), framed(90).substr(0, 50));
         }); }, "closed closed", false},
        {"frames held beyond the cap", [&] { return whileServing([&] {
             const int first = rawConnect(socketPath);
             ::send(first, whole.data(), whole.size() - 1, MSG_NOSIGNAL);   // the copy keeps what came
             const std::string second = rawFinish(rawConnect(socketPath), whole);
             return second + " " + rawFinish(first, whole.substr(whole.size() - 1));
         }); }, "closed answered", false},
        {"a runtime folder open to others", [&] {
             std::filesystem::permissions(dir(), std::filesystem::perms::all);
             Handoff_Serve("data", [](const HandoffRequest&, HandoffAnswer*) {});
             const std::filesystem::path elsewhere = Handoff_SocketPath("data");
             std::filesystem::permissions(dir(), std::filesystem::perms::owner_all);
             return elsewhere.parent_path().lexically_relative(dir()).string();
         }, "data/moonfetch/run", false},
        {"a listener of another user", [&] {
             Handoff_Close();
             std::filesystem::permissions(dir(), std::filesystem::perms::all);
             auto heard = std::async(std::launch::async, [&] { return moontest::inChild([&] {
                 const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                 const sockaddr_un address = unixAddress(socketPath);
                 const auto* named = reinterpret_cast<const sockaddr*>(&address);
                 const timeval limit{30, 0};   // a sender that never comes fails the row, not the run
                 ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                 if (!moontest::becomeNobody() || ::bind(fd, named, sizeof address) != 0 || ::listen(fd, 1) != 0)
                     return 1;
                 char byte;
                 return ::read(::accept(fd, nullptr, nullptr), &byte, 1) > 0 ? 2 : 0;
             }); });
             moontest::waitFor([&] { return std::filesystem::exists(socketPath); });
             std::filesystem::permissions(dir(), std::filesystem::perms::owner_all);
             HandoffAnswer answer;
             const int sent = Handoff_Send("data", HandoffRequest{}, &answer, 2000);
             return std::to_string(sent) + " " + std::to_string(heard.get());
         }, "1 0", true},
        {"out of descriptors", [&] {   // the child serves; this process's main thread waits for it
             Handoff_Close();
             // Out of descriptors, the child cannot make a file to say so: it writes to a pipe.
             int full[2];
             EXPECT_EQ(::pipe(full), 0);
             auto told = std::async(std::launch::async, [&] {
                 pollfd filled{full[0], POLLIN, 0};
                 ::poll(&filled, 1, 20000);
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
                     !Handoff_Serve("data", [&](const HandoffRequest&, HandoffAnswer*) { ++answered; }))
                     return 1;
                 for (int fd; (fd = ::dup(0)) >= 0;)
                     fillers.push_back(fd);
                 static_cast<void>(::write(full[1], "f", 1));
                 moontest::waitFor([&] { return std::filesystem::exists(path("free")); }, std::chrono::seconds(20),
                                   [] { Win_ProcessEvents(10); });
                 for (int fd : fillers)
                     ::close(fd);
                 moontest::waitFor([&] { return std::filesystem::exists(path("read")); }, std::chrono::seconds(20),
                                   [] { Win_ProcessEvents(10); });
                 return answered == 1 ? 0 : 1;
             });
             const std::string result = told.get() + " " + std::to_string(served);
             ::close(full[0]);
             ::close(full[1]);
             return result;
         }, "answered 0", false},
        // Past the folders' modes, which keep others out already, to the credentials' check: "0" closed without
        // an answer, "1" not connected at all, "2" answered.
        {"a connection of another user", [&] {
             std::filesystem::permissions(dir(), std::filesystem::perms::all);
             std::filesystem::permissions(socketPath, std::filesystem::perms::all);
             return whileServing([&] { return std::to_string(moontest::inChild([&] {
                 const int fd = moontest::becomeNobody() ? rawConnect(socketPath) : -1;
                 return fd < 0 ? 1 : rawFinish(fd, framed(20)) == "answered" ? 2 : 0;
             })); });
         }, "0", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.root && ::geteuid() != 0)
            continue;
        ASSERT_TRUE(Handoff_Serve("data", [](const HandoffRequest&, HandoffAnswer*) {}));
        EXPECT_EQ(row.run(), row.expected);
        ASSERT_TRUE(Handoff_Serve("data", [](const HandoffRequest&, HandoffAnswer*) {}));
        EXPECT_EQ(whileServing([] { HandoffAnswer answer; return std::to_string(Handoff_Send("data", {}, &answer, 5000)); }), "0");
    }
    Handoff_Close();
}

}  // namespace

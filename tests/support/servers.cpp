#include "tests/support/servers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace moontest {

namespace {

constexpr size_t BLOCK = 64 * 1024;

sockaddr_in loopback(int port, const std::string& host = "127.0.0.1")
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    return address;
}

// A listening socket on host, at wanted or (0) at a free port, or -1.
int listenOnLoopback(int backlog, int* port, const std::string& host = "127.0.0.1", int wanted = 0)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(wanted, host);
    socklen_t length = sizeof address;
    int reuse = 1;   // closed connections of an earlier test may still hold a fixed port
    if (fd >= 0 && wanted != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Runs args with standard output and error going to logPath; the child's pid, or -1.
pid_t spawn(std::vector<std::string> args, const std::string& logPath)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec: the test process has threads.
        // A server outlives no test or benchmark, even one that crashed.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(input, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::close_range(3, ~0u, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(log);
    ::close(input);
    return pid;
}

// Calls send with the pattern bytes from offset to offset + count, a block at a time; false when one fails.
bool forPatternBlocks(uint64_t offset, uint64_t count, const std::function<bool(const std::string&)>& send)
{
    for (uint64_t done = 0; done < count; done += BLOCK)
        if (!send(patternBytes(offset + done, static_cast<size_t>(std::min<uint64_t>(BLOCK, count - done)))))
            return false;
    return true;
}

// Waits until fd is ready for events; false when wake is readable (the server stops) or time passes.
bool waitReady(int fd, short events, int wake, int timeoutMs = -1)
{
    pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    return ::poll(fds, 2, timeoutMs) > 0 && fds[1].revents == 0;
}

// Takes in what the client sent (appended to into, when given); false when it left, the server
// stops or the connection fails.
bool receive(int fd, int wake, std::string* into = nullptr)
{
    char block[4096];
    if (!waitReady(fd, POLLIN, wake))
        return false;
    ssize_t got = ::recv(fd, block, sizeof block, 0);
    if (got > 0 && into != nullptr)
        into->append(block, static_cast<size_t>(got));
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
}

bool sendAll(int fd, int wake, const std::string& bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
        if (!waitReady(fd, POLLOUT, wake))
            return false;
        ssize_t put = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        sent += static_cast<size_t>(std::max<ssize_t>(put, 0));
    }
    return true;
}

}  // namespace

int endProcess(pid_t pid, int signal, std::chrono::seconds timeout)
{
    int status = 0;
    pid_t ended = 0;
    ::kill(pid, signal);
    if (!waitFor([&] { return (ended = ::waitpid(pid, &status, WNOHANG)) != 0; }, timeout)) {
        ::kill(pid, SIGKILL);
        ended = ::waitpid(pid, &status, 0);
    }
    return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int freePort()
{
    int port = 0;
    int fd = listenOnLoopback(1, &port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

::testing::AssertionResult isPatternFile(const std::string& path, uint64_t size)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return ::testing::AssertionFailure() << path << " cannot be read";
    std::string got(BLOCK, '\0');
    uint64_t same = 0;   // bytes that match from the start
    forPatternBlocks(0, size, [&](const std::string& want) {
        in.read(got.data(), static_cast<std::streamsize>(want.size()));
        auto equal = static_cast<size_t>(std::mismatch(want.begin(), want.end(), got.begin()).first - want.begin());
        same += std::min(equal, static_cast<size_t>(in.gcount()));
        return equal == want.size() && in;
    });
    if (same < size)
        return ::testing::AssertionFailure() << path << " first differs at byte " << same << " of " << size;
    if (in.peek() != std::ifstream::traits_type::eof())
        return ::testing::AssertionFailure() << path << " is longer than " << size << " bytes";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ServerProcess::start()
{
    stop();
    for (int attempt = 0; attempt < 5; ++attempt) {
        int port = freePort();
        pid_t pid = spawn(command(port), dir_ + "/server.log");
        if (pid < 0)
            return ::testing::AssertionFailure() << "cannot start a server process";
        // Another program may take the port first: then this server ends and the next try
        // picks another port. Only the server's own files tell that it has bound the port.
        int status = 0;
        bool exited = false;
        auto up = [&] { return (exited = ::waitpid(pid, &status, WNOHANG) == pid) || isUp(); };
        if (waitFor(up, std::chrono::seconds(15)) && !exited) {
            pid_ = pid;
            port_ = port;
            return ::testing::AssertionSuccess();
        }
        if (!exited)
            endProcess(pid, SIGTERM, std::chrono::seconds(5));
    }
    return ::testing::AssertionFailure() << "the server did not start:\n" << log();
}

void ServerProcess::stop()
{
    if (pid_ > 0)
        endProcess(pid_, SIGTERM, std::chrono::seconds(5));
    pid_ = -1;
}

void ServerProcess::makeFile(const std::string& name, uint64_t size) const
{
    std::filesystem::create_directories(std::filesystem::path(file(name)).parent_path());
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    forPatternBlocks(0, size, [&](const std::string& block) { return bool(out << block); });
}

std::vector<std::string> DesktopBus::command(int)
{
    return {"/usr/bin/python3", MOON_TEST_DESKTOP_BUS, dir()};
}

::testing::AssertionResult DesktopBus::start()
{
    ::testing::AssertionResult started = ServerProcess::start();
    for (const char* bus : {"DBUS_SYSTEM_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS"})
        ::setenv(bus, readFile(dir() + "/address").c_str(), 1);
    return started;
}

std::vector<std::string> AccessibilityBus::command(int)
{
    return {"/usr/bin/python3", MOON_TEST_ACCESSIBILITY_BUS, dir()};
}

void NginxServer::useTls(Certificate certificate)
{
    static const char* const FILES[] = {"/good.crt", "/stranger.crt", "/expired.crt"};
    certificate_ = MOON_TEST_TLS_DIR + std::string(FILES[static_cast<int>(certificate)]);
    scheme_ = "https";
}

std::string NginxServer::authorityFile() const
{
    return MOON_TEST_TLS_DIR "/authority.crt";
}

std::vector<std::string> NginxServer::command(int port)
{
    const std::string& d = dir();
    std::filesystem::remove(d + "/nginx.pid");
    std::string temp;
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        temp += std::string("    ") + kind + "_temp_path " + d + "/" + kind + "_temp;\n";
    const std::string tls = "        ssl_certificate " + certificate_ + ";\n"
                            "        ssl_certificate_key " MOON_TEST_TLS_DIR "/server.key;\n";
    writeFile(d + "/nginx.conf",
              "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "/nginx.pid;\n"
              "error_log stderr notice;\nevents { worker_connections 1024; }\nhttp {\n"
              "    log_format moon escape=none '$request\\t$http_range\\t$status\\t$body_bytes_sent\\t$connection\\t$http_if_range';\n"
              "    access_log " + d + "/access.log moon;\n" + temp +
              "    default_type application/octet-stream;\n    sendfile on;\n    server {\n"
              "        listen 127.0.0.1:" + std::to_string(port) + (scheme_ == "https" ? " ssl;\n" + tls : ";\n") +
              "        root " + file("") + ";\n" + extra_ + "    }\n}\n");
    return {"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf"};
}

ScriptedServer::ScriptedServer(std::vector<Script> scripts, const std::string& host, int port)
    : scripts_(std::move(scripts)), host_(host)
{
    listener_ = listenOnLoopback(64, &port_, host, port);
    if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("scripted server: no listener on " + host + ":" + std::to_string(port));
    acceptor_ = std::thread([this] {
        while (waitReady(listener_, POLLIN, wake_[0])) {
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0)
                continue;
            size_t index = static_cast<size_t>(connections_++);
            if (scripts_.empty())
                ::close(fd);
            else
                workers_.emplace_back([this, fd, &script = scripts_[std::min(index, scripts_.size() - 1)]] {
                    serve(fd, script);
                });
        }
    });
}

ScriptedServer::~ScriptedServer()
{
    // The wake byte is never read: every wait of every thread sees it from now on.
    char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(wake_[1], &byte, 1);
    acceptor_.join();
    for (std::thread& worker : workers_)
        worker.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void ScriptedServer::serve(int fd, const Script& script)
{
    for (const Step& step : script)
        if (!play(fd, step))
            break;
    if (fd < 0)
        return;
    // Close gently: the client reads all that was sent, then the end of the stream.
    ::shutdown(fd, SHUT_WR);
    play(fd, {Step::SILENT});
    ::close(fd);
}

bool ScriptedServer::play(int& fd, const Step& step)
{
    const int wake = wake_[0];
    std::string head;
    auto readHead = [&] {
        while (head.find("\r\n\r\n") == std::string::npos)
            if (!receive(fd, wake, &head))
                return false;
        std::lock_guard lock(mutex_);
        requests_.push_back(head);
        return true;
    };
    linger hard{1, 0};
    switch (step.kind) {
    case Step::READ_REQUEST:
        return readHead();
    case Step::SEND:
        return sendAll(fd, wake, step.text);
    case Step::SEND_BODY:
        return forPatternBlocks(step.offset, step.count, [&](const std::string& b) { return sendAll(fd, wake, b); });
    case Step::ECHO_REQUEST:
        return readHead() && sendAll(fd, wake, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(head.size()) +
                                                   "\r\n\r\n" + head);
    case Step::SILENT:
        while (receive(fd, wake)) {
        }
        return false;
    case Step::RESET:
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
        fd = -1;
        return false;
    case Step::PAUSE:
        return !waitReady(wake, POLLIN, wake, static_cast<int>(step.count));
    }
    return false;
}

StuckListener::StuckListener()
{
    // With a backlog of 0 the queue holds one connection; once it is full the kernel drops
    // new connection requests, so the client keeps waiting for an answer.
    listener_ = listenOnLoopback(0, &port_);
    sockaddr_in address = loopback(port_);
    for (int i = 0; i < 8; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        fillers_.push_back(fd);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd connecting{fd, POLLOUT, 0};
        if (::poll(&connecting, 1, 100) == 0)
            break;
    }
}

StuckListener::~StuckListener()
{
    for (int fd : fillers_)
        ::close(fd);
    ::close(listener_);
}

}  // namespace moontest

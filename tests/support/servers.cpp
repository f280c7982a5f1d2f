#include "servers.h"

#include "fixtures.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace moontest {

namespace {

constexpr size_t BLOCK = 64 * 1024;
constexpr auto START_TIMEOUT = std::chrono::seconds(15);
constexpr int START_ATTEMPTS = 5;

unsigned char patternByte(uint64_t offset)
{
    return static_cast<unsigned char>(((offset + 1) * 0x9E3779B97F4A7C15ull) >> 56);
}

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
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

bool accepts(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
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

bool hasExited(pid_t pid)
{
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

// Runs args to its end with its output going to logPath; true when it exited with 0.
bool runToEnd(std::vector<std::string> args, const std::string& logPath)
{
    pid_t pid = spawn(std::move(args), logPath);
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// openssl with args, in folder; on failure the message holds what it said.
::testing::AssertionResult openssl(const std::string& folder, std::vector<std::string> args)
{
    args.insert(args.begin(), "/usr/bin/openssl");
    if (runToEnd(args, folder + "/openssl.log"))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "openssl " << args[1] << " failed:\n"
                                         << readFile(folder + "/openssl.log");
}

// A new P-256 key as folder/name.key and, for the subject, a signing request (name.csr) or,
// with selfSigned, an authority's certificate (name.crt).
::testing::AssertionResult newKey(const std::string& folder, const std::string& name,
                                  const std::string& subject, bool selfSigned)
{
    std::vector<std::string> args = {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                     "-nodes", "-keyout", folder + "/" + name + ".key", "-subj", subject};
    if (selfSigned)
        args.insert(args.end(), {"-x509", "-days", "2", "-out", folder + "/" + name + ".crt"});
    else
        args.insert(args.end(), {"-out", folder + "/" + name + ".csr"});
    return openssl(folder, args);
}

void terminate(pid_t pid)
{
    ::kill(pid, SIGTERM);
    if (waitFor([pid] { return hasExited(pid); }, std::chrono::seconds(5)))
        return;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// Compares two streams block by block; expected yields the reference bytes of a block.
::testing::AssertionResult compareBlocks(std::ifstream& actual, uint64_t expectedSize,
                                         const std::function<std::string(uint64_t, size_t)>& expected)
{
    std::string block(BLOCK, '\0');
    uint64_t offset = 0;
    while (actual) {
        actual.read(block.data(), static_cast<std::streamsize>(BLOCK));
        auto got = static_cast<size_t>(actual.gcount());
        if (got == 0)
            break;
        if (offset + got > expectedSize)
            return ::testing::AssertionFailure() << "longer than the expected " << expectedSize << " bytes";
        std::string want = expected(offset, got);
        for (size_t i = 0; i < got; ++i)
            if (block[i] != want[i])
                return ::testing::AssertionFailure() << "content first differs at byte " << offset + i;
        offset += got;
    }
    if (offset != expectedSize)
        return ::testing::AssertionFailure() << "has " << offset << " bytes, expected " << expectedSize;
    return ::testing::AssertionSuccess();
}

}  // namespace

int freePort()
{
    int port = 0;
    int fd = listenOnLoopback(1, &port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

std::string patternBytes(uint64_t offset, size_t count)
{
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(patternByte(offset + i));
    return bytes;
}

::testing::AssertionResult isPatternFile(const std::string& path, uint64_t size)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return ::testing::AssertionFailure() << path << " cannot be read";
    return compareBlocks(in, size, patternBytes) << " (" << path << ")";
}

::testing::AssertionResult sameFile(const std::string& expected, const std::string& actual)
{
    std::ifstream reference(expected, std::ios::binary);
    std::ifstream in(actual, std::ios::binary);
    std::error_code error;
    uint64_t size = std::filesystem::file_size(expected, error);
    if (!reference || !in || error)
        return ::testing::AssertionFailure() << expected << " or " << actual << " cannot be read";
    auto fromReference = [&reference](uint64_t, size_t count) {
        std::string block(count, '\0');
        reference.read(block.data(), static_cast<std::streamsize>(count));
        return block;
    };
    return compareBlocks(in, size, fromReference) << " (" << actual << " against " << expected << ")";
}

// ServerProcess

ServerProcess::ServerProcess(const std::string& dir, const std::string& root)
    : dir_(dir), root_(dir + "/" + root)
{
    std::filesystem::create_directories(root_);
}

ServerProcess::~ServerProcess()
{
    stop();
}

::testing::AssertionResult ServerProcess::start()
{
    stop();
    std::string logPath = dir_ + "/server.log";
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        int port = freePort();
        pid_t pid = spawn(command(port), logPath);
        if (pid < 0)
            return ::testing::AssertionFailure() << "cannot start a server process";
        bool exited = false;
        // Another program may take the port first: then this server ends and the next try
        // picks another port. Its log tells that it has bound its own port.
        auto up = [&] { return (exited = hasExited(pid)) || (isUp() && accepts(port)); };
        if (waitFor(up, START_TIMEOUT) && !exited) {
            pid_ = pid;
            port_ = port;
            return ::testing::AssertionSuccess();
        }
        if (!exited)
            terminate(pid);
    }
    return ::testing::AssertionFailure() << "the server did not start:\n" << log();
}

void ServerProcess::stop()
{
    if (pid_ > 0)
        terminate(pid_);
    pid_ = -1;
}

std::string ServerProcess::file(const std::string& name) const
{
    return root_ + "/" + name;
}

void ServerProcess::makeFile(const std::string& name, uint64_t size) const
{
    std::filesystem::create_directories(std::filesystem::path(file(name)).parent_path());
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    for (uint64_t offset = 0; offset < size; offset += BLOCK) {
        std::string block = patternBytes(offset, static_cast<size_t>(std::min<uint64_t>(BLOCK, size - offset)));
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

std::string ServerProcess::log() const
{
    return readFile(dir_ + "/server.log");
}

// NginxServer

NginxServer::NginxServer(const std::string& dir) : ServerProcess(dir, "www")
{
    std::filesystem::create_directories(dir + "/tmp");
}

void NginxServer::addConfig(const std::string& text)
{
    extra_ += "        " + text + "\n";
}

::testing::AssertionResult NginxServer::useTls(Certificate certificate)
{
    const std::string folder = dir() + "/tls";
    std::filesystem::create_directories(folder);
    const bool stranger = certificate == Certificate::UNKNOWN_AUTHORITY;
    const std::string names = certificate == Certificate::WRONG_NAME ? "DNS:other.example"
                                                                      : "IP:127.0.0.1,DNS:localhost";
    writeFile(folder + "/server.ext", "subjectAltName=" + names + "\n");
    // An out-of-date certificate ends a day before it begins.
    const std::string days = certificate == Certificate::EXPIRED ? "-1" : "2";
    const std::string signer = folder + (stranger ? "/stranger" : "/authority");
    auto made = newKey(folder, "authority", "/CN=Moonfetch test authority", true);
    if (made && stranger)
        made = newKey(folder, "stranger", "/CN=Stranger authority", true);
    if (made)
        made = newKey(folder, "server", "/CN=Moonfetch test server", false);
    if (made)
        made = openssl(folder, {"x509", "-req", "-in", folder + "/server.csr", "-CA", signer + ".crt",
                                "-CAkey", signer + ".key", "-days", days, "-extfile",
                                folder + "/server.ext", "-out", folder + "/server.crt"});
    tls_ = made;
    return made;
}

void NginxServer::addRedirect(const std::string& from, const std::string& to, int status, bool relative)
{
    addConfig("location = " + from + " { " + (relative ? "absolute_redirect off; " : "") + "return " +
              std::to_string(status) + " " + to + "; }");
}

std::string NginxServer::url(const std::string& path) const
{
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port()) + "/" + path;
}

std::string NginxServer::accessLog() const
{
    return readFile(dir() + "/access.log");
}

bool NginxServer::isUp() const
{
    // nginx writes its pid file only after it has bound its port.
    return std::filesystem::exists(dir() + "/nginx.pid");
}

std::vector<std::string> NginxServer::command(int port)
{
    const std::string& d = dir();
    std::filesystem::remove(d + "/nginx.pid");
    std::string config =
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "pid " + d + "/nginx.pid;\n"
        "error_log stderr notice;\n"
        "events { worker_connections 1024; }\n"
        "http {\n"
        "    log_format moon '$request\\t$http_range\\t$status\\t$body_bytes_sent';\n"
        "    access_log " + d + "/access.log moon;\n"
        "    client_body_temp_path " + d + "/tmp/body;\n"
        "    proxy_temp_path " + d + "/tmp/proxy;\n"
        "    fastcgi_temp_path " + d + "/tmp/fastcgi;\n"
        "    uwsgi_temp_path " + d + "/tmp/uwsgi;\n"
        "    scgi_temp_path " + d + "/tmp/scgi;\n"
        "    default_type application/octet-stream;\n"
        "    sendfile on;\n"
        "    server {\n"
        "        listen 127.0.0.1:" + std::to_string(port) + (tls_ ? " ssl" : "") + ";\n" +
        (tls_ ? "        ssl_certificate " + d + "/tls/server.crt;\n"
                "        ssl_certificate_key " + d + "/tls/server.key;\n"
              : "") +
        "        root " + file("") + ";\n" +
        extra_ +
        "    }\n"
        "}\n";
    writeFile(d + "/nginx.conf", config);
    return {"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf"};
}

// FtpServer

FtpServer::FtpServer(const std::string& dir, uint64_t bytesPerSecond)
    : ServerProcess(dir, "files"), rate_(bytesPerSecond)
{
}

std::string FtpServer::url(const std::string& path) const
{
    return "ftp://127.0.0.1:" + std::to_string(port()) + "/" + path;
}

bool FtpServer::isUp() const
{
    return log().find(">>> starting FTP server") != std::string::npos;
}

std::vector<std::string> FtpServer::command(int port)
{
    // Debian's module is seen by Debian's interpreter, not necessarily by a python3 on PATH.
    if (rate_ == 0)
        return {"/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", std::to_string(port),
                "-d", file("")};
    // The command line has no rate limit: the same server, with the throttled data channel.
    static const char* const SCRIPT =
        "import sys\n"
        "from pyftpdlib.authorizers import DummyAuthorizer\n"
        "from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler\n"
        "from pyftpdlib.log import config_logging\n"
        "from pyftpdlib.servers import FTPServer\n"
        "config_logging()\n"
        "ThrottledDTPHandler.write_limit = int(sys.argv[3])\n"
        "FTPHandler.dtp_handler = ThrottledDTPHandler\n"
        "FTPHandler.authorizer = DummyAuthorizer()\n"
        "FTPHandler.authorizer.add_anonymous(sys.argv[2])\n"
        "FTPServer(('127.0.0.1', int(sys.argv[1])), FTPHandler).serve_forever()\n";
    return {"/usr/bin/python3", "-c", SCRIPT, std::to_string(port), file(""), std::to_string(rate_)};
}

// ScriptedServer

ScriptedServer::ScriptedServer(std::vector<Script> scripts, const std::string& host, int port)
    : scripts_(std::move(scripts)), host_(host)
{
    listener_ = listenOnLoopback(64, &port_, host, port);
    if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("scripted server: no listener on " + host + ":" + std::to_string(port));
    acceptor_ = std::thread([this] { acceptLoop(); });
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

std::string ScriptedServer::url(const std::string& path) const
{
    return "http://" + host_ + ":" + std::to_string(port_) + "/" + path;
}

std::vector<std::string> ScriptedServer::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

bool ScriptedServer::waitReady(int fd, short events, int timeoutMs) const
{
    pollfd fds[2] = {{fd, events, 0}, {wake_[0], POLLIN, 0}};
    int ready = ::poll(fds, 2, timeoutMs);
    return ready > 0 && fds[1].revents == 0;
}

void ScriptedServer::acceptLoop()
{
    while (waitReady(listener_, POLLIN)) {
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            continue;
        size_t index = static_cast<size_t>(connections_++);
        if (scripts_.empty()) {
            ::close(fd);
            continue;
        }
        const Script& script = scripts_[std::min(index, scripts_.size() - 1)];
        workers_.emplace_back([this, fd, &script] { serve(fd, script); });
    }
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
    idle(fd);
    ::close(fd);
}

bool ScriptedServer::play(int& fd, const Step& step)
{
    std::string head;
    switch (step.kind) {
    case Step::READ_REQUEST:
        return readHead(fd, head);
    case Step::SEND:
        return sendAll(fd, step.text);
    case Step::SEND_BODY:
        for (uint64_t offset = 0; offset < step.count; offset += BLOCK)
            if (!sendAll(fd, patternBytes(step.offset + offset,
                                          static_cast<size_t>(std::min<uint64_t>(BLOCK, step.count - offset)))))
                return false;
        return true;
    case Step::ANSWER_BY_VERB:
        return readHead(fd, head) && sendAll(fd, head.starts_with("HEAD ") ? step.text : step.other);
    case Step::ECHO_REQUEST:
        return readHead(fd, head) &&
               sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(head.size()) + "\r\n\r\n" + head);
    case Step::SILENT:
        idle(fd);
        return false;
    case Step::RESET: {
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
        fd = -1;
        return false;
    }
    case Step::PAUSE:
        return !waitReady(wake_[0], POLLIN, static_cast<int>(step.count));
    }
    return false;
}

bool ScriptedServer::readHead(int fd, std::string& head)
{
    char block[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (!waitReady(fd, POLLIN))
            return false;
        ssize_t got = ::recv(fd, block, sizeof block, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (got > 0)
            head.append(block, static_cast<size_t>(got));
    }
    std::lock_guard lock(mutex_);
    requests_.push_back(head);
    return true;
}

bool ScriptedServer::sendAll(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (!waitReady(fd, POLLOUT))
            return false;
        ssize_t put = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (put > 0)
            sent += static_cast<size_t>(put);
    }
    return true;
}

void ScriptedServer::idle(int fd)
{
    char block[4096];
    while (waitReady(fd, POLLIN)) {
        ssize_t got = ::recv(fd, block, sizeof block, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return;
    }
}

// StuckListener

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

// Test servers on 127.0.0.1 for the network tests, each on a free loopback port: real programs
// (nginx, pyftpdlib, Xvfb, private D-Bus buses) run as child processes of the test, ScriptedServer
// plays in-process the misbehaviour real servers won't show, and StuckListener never answers.
// - Every destructor stops its server and leaves no process or thread behind; a server process
//   also ends when the process that started it dies. The objects are not copyable; create and
//   destroy them on the test's thread.
// - Served bodies are pattern bytes (tests/support/pattern.h), so files of any size can be
//   checked without a copy.
#pragma once

#include "tests/support/fixtures.h"
#include "tests/support/pattern.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace moontest {

// A loopback port that nobody listens on right now: connecting to it is refused.
int freePort();

// Sends signal to the child pid and waits for its end, killing it after timeout: its exit code, or -1
// when a signal ended it.
int endProcess(pid_t pid, int signal, std::chrono::seconds timeout);

// Success when path holds exactly size pattern bytes; otherwise where it first differs.
::testing::AssertionResult isPatternFile(const std::string& path, uint64_t size);

// A server program run as a child process, with its configuration, logs and served files in a
// folder the test names (normally one inside its Sandbox); the common part of the servers below.
class ServerProcess {
public:
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    virtual ~ServerProcess() { stop(); }

    // Starts the server (again, when it runs) and waits until it accepts connections; on failure
    // the message holds the server's own log.
    ::testing::AssertionResult start();
    void stop();
    int port() const { return port_; }
    const std::string& dir() const { return dir_; }
    // Path of name among the served files.
    std::string file(const std::string& name) const { return root_ + "/" + name; }
    // "<scheme>://127.0.0.1:<port>/" followed by path (without its leading '/').
    std::string url(const std::string& path) const
    {
        return scheme_ + "://127.0.0.1:" + std::to_string(port_) + "/" + path;
    }
    // Serves name (which may hold '/') with size pattern bytes.
    void makeFile(const std::string& name, uint64_t size) const;
    // What the server wrote to its standard output and error.
    std::string log() const { return readFile(dir_ + "/server.log"); }

protected:
    // dir: a folder for the server's own files, created when missing; root: the served folder in it.
    ServerProcess(const std::string& dir, const std::string& root, const std::string& scheme)
        : scheme_(scheme), dir_(dir), root_(dir + "/" + root)
    {
        std::filesystem::create_directories(root_);
    }
    // The command line that runs the server on port (it may write files for it first).
    virtual std::vector<std::string> command(int port) = 0;
    // Whether the server says it has bound its port (another program may answer there).
    virtual bool isUp() const = 0;
    pid_t pid() const { return pid_; }
    std::string scheme_;

private:
    std::string dir_;
    std::string root_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// The certificate that an nginx speaking TLS shows, from tests/support/tls (its README says how
// to make them anew).
enum class Certificate {
    GOOD,                // made by the test authority for 127.0.0.1 alone (not for localhost)
    UNKNOWN_AUTHORITY,   // made for 127.0.0.1 by an authority that nobody is told to trust
    EXPIRED,             // made by the test authority for 127.0.0.1, out of date
};

// nginx serving dir/www, in the foreground as the current user, with everything it writes in
// dir. Locations are added before start(), e.g.
//   web.addConfig("location = /old { return 301 /new; }");
// nginx sends absolute Locations unless a block says "absolute_redirect off;".
class NginxServer : public ServerProcess {
public:
    explicit NginxServer(const std::string& dir) : ServerProcess(dir, "www", "http") {}
    // Speaks https (url() says so) from the next start() on, showing certificate.
    void useTls(Certificate certificate = Certificate::GOOD);
    // The certificate of the test authority (PEM), for a client to trust.
    std::string authorityFile() const;
    // Adds text to the server block (location blocks, directives); takes effect at start().
    void addConfig(const std::string& text) { extra_ += "        " + text + "\n"; }
    // Adds "location = from { return status to; }".
    void addRedirect(const std::string& from, const std::string& to, int status = 302)
    {
        addConfig("location = " + from + " { return " + std::to_string(status) + " " + to + "; }");
    }
    // The access log, a line per request: the request line, the Range header ("-" when none),
    // the status, the body bytes sent, the number of the connection and the If-Range header ("-"
    // when none), separated by TABs.
    std::string accessLog() const { return readFile(dir() + "/access.log"); }

protected:
    std::vector<std::string> command(int port) override;
    // nginx writes its pid file only after it has bound its port.
    bool isUp() const override { return std::filesystem::exists(dir() + "/nginx.pid"); }

private:
    std::string extra_;
    std::string certificate_;
};

// pyftpdlib serving dir/files read-only to anonymous users, passive mode on any free port.
class FtpServer : public ServerProcess {
public:
    explicit FtpServer(const std::string& dir) : ServerProcess(dir, "files", "ftp") {}

protected:
    // Debian's module is seen by Debian's interpreter, not necessarily by a python3 on PATH.
    std::vector<std::string> command(int port) override
    {
        return {"/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", std::to_string(port), "-d", file("")};
    }
    bool isUp() const override { return log().find(">>> starting FTP server") != std::string::npos; }
};

// Xvfb, a private X display numbered after the free port, for programs that must lose their
// display: stop() takes it away.
class XServer : public ServerProcess {
public:
    explicit XServer(const std::string& dir) : ServerProcess(dir, "", "x11") {}
    // What /usr/bin/env needs to run a program with its windows here.
    std::vector<std::string> environment() const { return {"QT_QPA_PLATFORM=xcb", "DISPLAY=:" + number_}; }
    bool shows(const std::string& title) const
    {
        return std::system(("xwininfo -display :" + number_ + " -root -tree | grep -qF '\"" + title + "\"'").c_str()) == 0;
    }

protected:
    std::vector<std::string> command(int port) override
    {
        number_ = std::to_string(port);
        return {"/usr/bin/Xvfb", ":" + number_, "-nolisten", "tcp"};
    }
    bool isUp() const override { return std::filesystem::exists("/tmp/.X11-unix/X" + number_); }

private:
    std::string number_;
};

// weston on its headless back end, a private Wayland compositor (its socket in $XDG_RUNTIME_DIR):
// stop() takes it away. Its log holds its clients' requests ("xdg_toplevel@14.set_title(\"x\")").
class WaylandServer : public ServerProcess {
public:
    explicit WaylandServer(const std::string& dir) : ServerProcess(dir, "", "wayland") {}
    std::vector<std::string> environment() const { return {"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=" + socket_}; }
    bool asked(const std::string& request) const { return log().find("." + request) != std::string::npos; }
    bool shows(const std::string& title) const { return asked("set_title(\"" + title + "\")"); }

protected:
    std::vector<std::string> command(int port) override
    {
        socket_ = "moon-wayland-" + std::to_string(port);
        return {"/usr/bin/weston", "--backend=headless-backend.so", "--socket=" + socket_, "--idle-time=0",
                "--no-config", "--logger-scopes=log,proto"};
    }
    bool isUp() const override { return std::filesystem::exists(std::string(std::getenv("XDG_RUNTIME_DIR")) + "/" + socket_); }

private:
    std::string socket_;
};

// A private message bus with a scripted login1 and notification service (desktop_bus.py tells its
// events). Once started, DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS name it.
class DesktopBus : public ServerProcess {
public:
    explicit DesktopBus(const std::string& dir) : ServerProcess(dir, "", "unix") {}
    ::testing::AssertionResult start();
    std::string events() const { return readFile(dir() + "/events"); }
    void announceWakeFromSleep() const { ::kill(pid(), SIGUSR1); }

protected:
    std::vector<std::string> command(int port) override;
    // The bus writes its address once both services' names are owned.
    bool isUp() const override { return !readFile(dir() + "/address").empty(); }
};

// at-spi2-core's accessibility bus and registry, on a session bus of their own, with a screen
// reader listening (accessibility_bus.py). An application joins them when its toolkit's bridge
// starts while DBUS_SESSION_BUS_ADDRESS names address().
class AccessibilityBus : public ServerProcess {
public:
    explicit AccessibilityBus(const std::string& dir) : ServerProcess(dir, "", "unix") {}
    std::string address() const { return readFile(dir() + "/address"); }
    // Asks the reader for the main window's list; its answer lies in heardList() once read.
    void askForList() const
    {
        std::filesystem::remove(dir() + "/list");
        ::kill(pid(), SIGUSR1);
    }
    std::string heardList() const { return readFile(dir() + "/list"); }

protected:
    std::vector<std::string> command(int port) override;
    bool isUp() const override { return !address().empty(); }
};

// One thing a scripted connection does; make them with the functions below.
struct Step {
    enum Kind { READ_REQUEST, SEND, SEND_BODY, ECHO_REQUEST, SILENT, RESET, PAUSE };
    Kind kind = READ_REQUEST;
    std::string text{};   // SEND: the bytes
    uint64_t count = 0;   // SEND_BODY: bytes; PAUSE: milliseconds
    uint64_t offset = 0;  // SEND_BODY: where in the pattern the bytes begin
};
using Script = std::vector<Step>;

// Reads the request head (up to the blank line) and records it.
inline Step readRequest() { return {Step::READ_REQUEST}; }
inline Step sendText(const std::string& bytes) { return {Step::SEND, bytes}; }
// Sends count pattern bytes, those of a file from offset on.
inline Step sendBody(uint64_t count, uint64_t offset = 0) { return {Step::SEND_BODY, "", count, offset}; }
// Reads the request and answers 200 with the request head as the body.
inline Step echoRequest() { return {Step::ECHO_REQUEST}; }
// Answers nothing more until the client leaves or the server stops.
inline Step staySilent() { return {Step::SILENT}; }
// Ends the connection with a TCP reset.
inline Step resetConnection() { return {Step::RESET}; }
inline Step pauseFor(uint64_t milliseconds) { return {Step::PAUSE, "", milliseconds}; }

// An answer head: the status line, the header fields (CR LF between them) and the blank line.
inline std::string head(const std::string& status, const std::string& fields = "Content-Length: 0")
{
    return "HTTP/1.1 " + status + "\r\n" + fields + "\r\n\r\n";
}
// A connection that reads the request and answers with text, then count pattern bytes from offset.
inline Script answer(const std::string& text, uint64_t count = 0, uint64_t offset = 0)
{
    return {readRequest(), sendText(text), sendBody(count, offset)};
}

// Connection n (from 0) plays scripts[n], every later one the last script; at the end of its
// script a connection is closed (a FIN: a body cut short by it ends early).
//   ScriptedServer server({{readRequest(),
//                           sendText("HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n"),
//                           sendBody(4000)}});
class ScriptedServer {
public:
    // Listens on host (a loopback address) at port, or at a free port for 0; throws when it cannot.
    explicit ScriptedServer(std::vector<Script> scripts, const std::string& host = "127.0.0.1",
                            int port = 0);
    ~ScriptedServer();   // not copyable: it owns threads

    int port() const { return port_; }
    // "http://<host>:<port>/" followed by path.
    std::string url(const std::string& path) const
    {
        return "http://" + host_ + ":" + std::to_string(port_) + "/" + path;
    }
    // The request heads read so far, in the order they arrived.
    std::vector<std::string> requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int connections() const { return connections_.load(); }

private:
    void serve(int fd, const Script& script);
    // Plays step on fd; false when the connection is to end (fd is -1 once it is closed).
    bool play(int& fd, const Step& step);

    std::vector<Script> scripts_;
    std::string host_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// A loopback listener that never accepts and whose queue is full, so that a new connection is
// never answered.
class StuckListener {
public:
    StuckListener();
    ~StuckListener();
    StuckListener(const StuckListener&) = delete;
    StuckListener& operator=(const StuckListener&) = delete;
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

}  // namespace moontest

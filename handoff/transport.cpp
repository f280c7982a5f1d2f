#include "handoff/transport.h"

#include "platform/program.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// How long accepting rests when the process is out of descriptors.
constexpr int ACCEPT_PAUSE_MS = 200;

using OnRequest = std::function<void(const HandoffRequest&, HandoffAnswer*)>;

// The serving side: its listening socket, and what its connections hold together.
struct Listener {
    int fd = -1;
    std::string path;
    OnRequest onRequest;
    size_t connections = 0;
    uint64_t held = 0;   // bytes of unfinished frames
    QSocketNotifier* incoming = nullptr;
    QObject owner;   // last, so first to go: the notifier and the connections go with it
};

Listener* listener = nullptr;   // while this process serves

// One connection's request as it comes in.
struct Connection {
    std::string buffer;
    bool answered = false;
    bool ended = false;
};

// Whether dir is a folder of this user's alone: a directory, not a link, owned by this user
// and closed to everybody else.
bool privateFolder(const std::string& dir)
{
    struct stat info {};
    return ::lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & 077) == 0;
}

// The socket's folder: the session's runtime folder when it is this user's alone, else one
// inside the person's data folder, which another user cannot make first; made when `make`.
std::string socketFolder(bool make)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/' && privateFolder(runtime))
        return runtime;
    const std::filesystem::path data = Plat_ProgramDataFolder();
    const std::string dir = (data / "run").string();
    std::error_code error;
    if (make && (std::filesystem::create_directories(data, error), !error))
        Plat_MakePrivateFolder(dir);
    return privateFolder(dir) ? dir : std::string();
}

// FNV-1a: the folder's path may be longer than a socket's name may be.
uint64_t hashOf(const std::string& text)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

std::string socketPath(const char* dataFolder, bool make)
{
    const std::string dir = socketFolder(make);
    if (dir.empty())
        return {};
    std::error_code error;
    const std::string folder = std::filesystem::absolute(dataFolder, error).lexically_normal().string();
    char name[64];
    std::snprintf(name, sizeof name, "/moonfetch-%016" PRIx64 ".sock", hashOf(folder));
    const std::string path = dir + name;
    return path.size() < sizeof(sockaddr_un::sun_path) ? path : std::string();
}

// Whether the peer of the connected socket fd runs as this user.
bool sameUser(int fd)
{
    struct ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

// Reads the rest of a frame of the given payload length; false when it did not come in time.
bool readPayload(QLocalSocket& socket, uint32_t length, std::string* payload, const QElapsedTimer& clock,
                 int timeoutMs)
{
    while (socket.bytesAvailable() < qint64(length)) {
        const int left = timeoutMs - int(clock.elapsed());
        if (left <= 0 || !socket.waitForReadyRead(left))
            return false;
    }
    *payload = socket.read(length).toStdString();
    return true;
}

int exchange(QLocalSocket& socket, const std::string& path, const std::string& frame, HandoffAnswer* answer,
             int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    socket.connectToServer(QString::fromStdString(path));
    if (!socket.waitForConnected(timeoutMs))
        return HANDOFF_NO_COPY;
    // Another user who made the socket first would be handed the links and their cookies.
    if (!sameUser(int(socket.socketDescriptor()))) {
        socket.abort();
        return HANDOFF_NO_COPY;
    }
    socket.write(frame.data(), qint64(frame.size()));
    while (socket.bytesToWrite() > 0) {
        const int left = timeoutMs - int(clock.elapsed());
        if (left <= 0 || !socket.waitForBytesWritten(left))
            return HANDOFF_HUNG;
    }
    std::string header, payload;
    uint32_t length = 0;
    if (!readPayload(socket, HANDOFF_HEADER_SIZE, &header, clock, timeoutMs) ||
        !Handoff_PayloadLength(header.data(), &length) || !readPayload(socket, length, &payload, clock, timeoutMs) ||
        !Handoff_DecodeAnswer(payload, answer))
        return HANDOFF_HUNG;
    return HANDOFF_OK;
}

void acceptPending();

// The connection's end, once: what it held is given back, and a waiting one may be accepted.
void endConnection(QLocalSocket* socket, Connection& connection)
{
    if (connection.ended)
        return;
    connection.ended = true;
    listener->held -= connection.buffer.size();
    connection.buffer.clear();
    --listener->connections;
    socket->deleteLater();
    if (!listener->incoming->isEnabled()) {
        listener->incoming->setEnabled(true);
        QTimer::singleShot(0, &listener->owner, acceptPending);
    }
}

// Takes what came on the connection; answers once the request's frame is whole. False when
// the connection is to be closed unanswered.
bool takeRequest(QLocalSocket* socket, Connection& connection, QTimer* deadline)
{
    const std::string got = socket->readAll().toStdString();
    connection.buffer += got;
    listener->held += got.size();
    uint32_t length = 0;
    if (listener->held > HANDOFF_MAX_HELD_BYTES ||
        (connection.buffer.size() >= HANDOFF_HEADER_SIZE && !Handoff_PayloadLength(connection.buffer.data(), &length)))
        return false;
    if (connection.buffer.size() < HANDOFF_HEADER_SIZE + length || connection.buffer.size() < HANDOFF_HEADER_SIZE)
        return true;
    HandoffRequest request;
    HandoffAnswer answer;
    if (!Handoff_DecodeRequest(std::string_view(connection.buffer).substr(HANDOFF_HEADER_SIZE, length), &request) ||
        Handoff_Expired(request))
        return false;
    listener->held -= connection.buffer.size();
    connection.buffer.clear();
    connection.answered = true;
    deadline->stop();
    listener->onRequest(request, &answer);
    const std::string frame = Handoff_EncodeAnswer(answer);
    socket->write(frame.data(), qint64(frame.size()));
    socket->disconnectFromServer();
    // A sender that does not read its answer does not keep the connection either.
    deadline->start(HANDOFF_REQUEST_DEADLINE_MS);
    return true;
}

// One connection of the server: gathers the request's frame in time, answers it, and goes.
void serveConnection(int fd)
{
    auto* socket = new QLocalSocket(&listener->owner);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        return;
    }
    ++listener->connections;
    auto connection = std::make_shared<Connection>();
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    QObject::connect(socket, &QLocalSocket::disconnected, socket, [socket, connection] {
        endConnection(socket, *connection);
    });
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, connection, deadline] {
        if (!connection->answered && !takeRequest(socket, *connection, deadline))
            socket->abort();
    });
    // A loop that was busy may see the deadline before what came in time: that is read first.
    QObject::connect(deadline, &QTimer::timeout, socket, [socket, connection, deadline] {
        if (!connection->answered)
            socket->waitForReadyRead(0);
        if (deadline->isActive())   // answered just now: the answer has its own time
            return;
        socket->abort();
        endConnection(socket, *connection);
    });
    deadline->start(HANDOFF_REQUEST_DEADLINE_MS);
}

// Accepts what waits, up to the cap; out of descriptors it rests a moment, still listening.
void acceptPending()
{
    while (listener->connections < HANDOFF_MAX_CONNECTIONS) {
        const int fd = ::accept4(listener->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (fd < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            listener->incoming->setEnabled(false);
            QTimer::singleShot(ACCEPT_PAUSE_MS, &listener->owner, [] {
                listener->incoming->setEnabled(true);
                acceptPending();
            });
        }
        if (fd < 0)
            return;
        if (sameUser(fd))
            serveConnection(fd);
        else
            ::close(fd);
    }
    listener->incoming->setEnabled(false);
}

// The listening socket at path, this user's alone; -1 when it cannot be made.
int listenAt(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ::unlink(path.c_str());
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::chmod(path.c_str(), 0600) == 0 && ::listen(fd, SOMAXCONN) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

}  // namespace

std::string Handoff_SocketPath(const char* dataFolder)
{
    return socketPath(dataFolder, false);
}

int Handoff_Send(const char* dataFolder, const HandoffRequest& req, HandoffAnswer* answer, int timeoutMs)
{
    const std::string frame = Handoff_EncodeSent(req, timeoutMs);
    if (frame.empty())
        return HANDOFF_TOO_BIG;
    const std::string path = Handoff_SocketPath(dataFolder);
    if (path.empty())
        return HANDOFF_NO_COPY;
    // The socket's waits need an event dispatcher, which a toolkit application brings.
    static int argc = 1;
    static char name[] = "moonfetch";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> ownApplication;
    if (QCoreApplication::instance() == nullptr)
        ownApplication = std::make_unique<QCoreApplication>(argc, argv);
    QLocalSocket socket;
    return exchange(socket, path, frame, answer, timeoutMs);
}

bool Handoff_Serve(const char* dataFolder, OnRequest onRequest)
{
    Handoff_Close();
    const std::string path = socketPath(dataFolder, true);
    if (path.empty() || QCoreApplication::instance() == nullptr)
        return false;
    const int fd = listenAt(path);
    if (fd < 0)
        return false;
    listener = new Listener;
    listener->fd = fd;
    listener->path = path;
    listener->onRequest = std::move(onRequest);
    listener->incoming = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, &listener->owner);
    QObject::connect(listener->incoming, &QSocketNotifier::activated, &listener->owner, acceptPending);
    return true;
}

void Handoff_Close()
{
    if (listener == nullptr)
        return;
    // The connections' ends must not reach a listener that is going.
    for (QObject* child : listener->owner.children())
        child->disconnect();
    ::unlink(listener->path.c_str());
    ::close(listener->fd);
    delete listener;
    listener = nullptr;
}

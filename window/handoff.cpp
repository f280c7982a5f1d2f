#include "window/handoff.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder of this user's alone for the socket when the session names none.
std::string fallbackRuntimeDir()
{
    char dir[64];
    std::snprintf(dir, sizeof dir, "/tmp/moonfetch-%ld", long(::geteuid()));
    struct stat info {};
    if (::mkdir(dir, 0700) != 0 && errno != EEXIST)
        return {};
    if (::lstat(dir, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0)
        return {};
    return dir;
}

// FNV-1a: the folder's path may be longer than a socket's name may be.
uint64_t hashOf(const std::string& text)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

// Whether the connection's peer runs as this user.
bool sameUser(const QLocalSocket* socket)
{
    struct ucred peer {};
    socklen_t size = sizeof peer;
    const int fd = int(socket->socketDescriptor());
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

// One connection of the server: gathers the request's frame, answers it, and goes.
void serveConnection(QLocalSocket* socket, const std::function<void(const HandoffRequest&, HandoffAnswer*)>& onRequest)
{
    auto buffer = std::make_shared<std::string>();
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer, onRequest] {
        *buffer += socket->readAll().toStdString();
        uint32_t length = 0;
        if (buffer->size() < HANDOFF_HEADER_SIZE)
            return;
        if (!Handoff_PayloadLength(buffer->data(), &length)) {
            socket->abort();
            return;
        }
        if (buffer->size() < HANDOFF_HEADER_SIZE + length)
            return;
        HandoffRequest request;
        HandoffAnswer answer;
        if (!Handoff_DecodeRequest(std::string_view(*buffer).substr(HANDOFF_HEADER_SIZE, length), &request)) {
            socket->abort();
            return;
        }
        buffer->clear();
        onRequest(request, &answer);
        const std::string frame = Handoff_EncodeAnswer(answer);
        socket->write(frame.data(), qint64(frame.size()));
        socket->disconnectFromServer();
    });
}

}  // namespace

std::string Win_HandoffSocketPath(const char* dataFolder)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = runtime != nullptr && runtime[0] == '/' ? std::string(runtime) : fallbackRuntimeDir();
    if (dir.empty())
        return {};
    std::error_code error;
    const std::string folder = std::filesystem::absolute(dataFolder, error).lexically_normal().string();
    char name[64];
    std::snprintf(name, sizeof name, "/moonfetch-%016" PRIx64 ".sock", hashOf(folder));
    return dir + name;
}

int Win_HandoffSend(const char* dataFolder, const HandoffRequest& req, HandoffAnswer* answer, int timeoutMs)
{
    const std::string path = Win_HandoffSocketPath(dataFolder);
    const std::string frame = Handoff_EncodeRequest(req);
    if (path.empty() || frame.empty())
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

bool Win_HandoffServe(const char* dataFolder, std::function<void(const HandoffRequest&, HandoffAnswer*)> onRequest)
{
    const std::string path = Win_HandoffSocketPath(dataFolder);
    if (path.empty() || QCoreApplication::instance() == nullptr)
        return false;
    auto* server = new QLocalServer(QCoreApplication::instance());
    server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(QString::fromStdString(path));
    if (!server->listen(QString::fromStdString(path))) {
        delete server;
        return false;
    }
    QObject::connect(server, &QLocalServer::newConnection, server, [server, onRequest] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            if (sameUser(socket)) {
                serveConnection(socket, onRequest);
                continue;
            }
            socket->abort();
            socket->deleteLater();
        }
    });
    return true;
}

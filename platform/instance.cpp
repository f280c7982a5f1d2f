#include "platform/instance.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int lockFd = -1;
// A look at the lock (Plat_InstanceLocked) holds it shared for an instant, a holder for its whole
// run: a few short tries tell the two apart.
constexpr int LOCK_TRIES = 5;
constexpr useconds_t LOCK_RETRY_US = 20000;

// Opens the lock file: for writing when this user may, else for reading, which flock takes as
// well; -1 with errno set to why it could not be written when it cannot be read either.
// Close-on-exec: a browser started from here must not keep the folder locked after we end.
int openLockFile(const char* path, bool& writable)
{
    constexpr int FLAGS = O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path, O_RDWR | O_CREAT | FLAGS, 0644);
    writable = fd >= 0;
    const int refused = errno;
    if (fd >= 0 || (refused != EACCES && refused != EPERM && refused != EROFS))
        return fd;
    fd = ::open(path, O_RDONLY | FLAGS);
    if (fd < 0)
        errno = refused;
    return fd;
}

// Takes the exclusive lock on fd; 0, or the errno of the last try.
int takeLock(int fd)
{
    for (int tried = 1;; ++tried) {
        const int error = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
        if (error == EINTR)
            continue;
        if (error != EWOULDBLOCK || tried == LOCK_TRIES)
            return error;
        ::usleep(LOCK_RETRY_US);
    }
}

}  // namespace

int Plat_LockInstance(const char* path)
{
    Plat_UnlockInstance();
    bool writable = false;
    int fd = openLockFile(path, writable);
    if (fd < 0)
        return errno;
    const int error = takeLock(fd);
    if (error != 0) {
        ::close(fd);
        return error;
    }
    // Whose lock it is, for a person who wonders; the lock itself does not depend on it.
    char id[32];
    int length = std::snprintf(id, sizeof id, "%ld\n", long(::getpid()));
    bool noted = writable && ::ftruncate(fd, 0) == 0 && ::write(fd, id, size_t(length)) == length;
    static_cast<void>(noted);
    lockFd = fd;
    return 0;
}

void Plat_UnlockInstance()
{
    if (lockFd >= 0)
        ::close(lockFd);
    lockFd = -1;
}

bool Plat_InstanceLocked(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);   // with the shared lock, when it was had
    return held;
}

long Plat_LockHolder(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    return got > 0 ? std::strtol(text, nullptr, 10) : 0;
}

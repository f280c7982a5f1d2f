#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/random.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The kernel's own limit on a chain of symbolic links.
constexpr int MAX_LINK_HOPS = 40;

// The folder part of path with its trailing separator, "./" when there is none.
std::string folderOf(const std::string& path)
{
    size_t folderEnd = path.rfind(PATH_SEP);
    return folderEnd == std::string::npos ? std::string(".") + PATH_SEP : path.substr(0, folderEnd + 1);
}

// Follows the symbolic links that path's last level names to the file they finally name, which
// need not exist. Returns 0, ELOOP for an endless chain, or the errno of a link that cannot be
// read.
int finalTarget(const char* path, std::string& target)
{
    target = path;
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        char link[PATH_MAX];
        ssize_t length = ::readlink(target.c_str(), link, sizeof link);
        if (length < 0)
            return errno == EINVAL || errno == ENOENT ? 0 : errno;
        if (static_cast<size_t>(length) == sizeof link)
            return ENAMETOOLONG;
        std::string_view next(link, static_cast<size_t>(length));
        target = next.starts_with(PATH_SEP) ? std::string(next) : folderOf(target).append(next);
    }
    return ELOOP;
}

// 64 random bits for a temporary name; the exclusive creation settles a collision.
uint64_t randomSeed()
{
    static std::atomic<uint64_t> calls{0};
    uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed))
        seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               (calls.fetch_add(1) << 40) ^ static_cast<uint64_t>(::getpid());
    return seed;
}

// flock(2), taken again when a signal interrupts the wait; 0 or errno.
int lockFile(int fd, int how)
{
    int err = 0;
    do
        err = ::flock(fd, how) == 0 ? 0 : errno;
    while (err == EINTR);
    return err;
}

// Removes a temporary file that no save holds locked. Under the lock the name still names the
// inode that was opened: only its own save renames or removes it, and that save is gone.
void removeIfStale(const std::string& temp)
{
    int fd = ::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat opened = {};
    struct stat named = {};
    if (lockFile(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 &&
        S_ISREG(opened.st_mode) && ::lstat(temp.c_str(), &named) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
        ::unlink(temp.c_str());
    ::close(fd);
}

// Removes what saves of target killed midway left beside it.
void removeStaleTemps(const std::string& target)
{
    std::string folder = folderOf(target);
    std::string_view targetName = std::string_view(target).substr(target.rfind(PATH_SEP) + 1);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = ::readdir(dir))
        if (Plat_IsTempName(entry->d_name, targetName))
            removeIfStale(folder + entry->d_name);
    ::closedir(dir);
}

// Creates "<target>.tmp-XXXXXX" and locks it. A cleaner may have taken the file for stale
// between its creation and the lock; then it is unlinked by now and another name is tried.
int createTemp(const std::string& target, mode_t mode, std::string& temp, int& fd)
{
    for (int attempt = 0; attempt < PLAT_TEMP_ATTEMPTS; ++attempt) {
        temp = Plat_TempName(target, randomSeed());
        fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return errno;
        struct stat created = {};
        int err = lockFile(fd, LOCK_EX);
        if (err == 0 && ::fstat(fd, &created) != 0)
            err = errno;
        if (err == 0 && created.st_nlink > 0)
            return 0;
        ::close(fd);
        if (err != 0) {
            ::unlink(temp.c_str());
            return err;
        }
    }
    return EEXIST;
}

// Writes all of data to fd, retrying short writes; returns 0 or errno.
int writeAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return 0;
}

// Makes a rename in the folder survive a power cut, where the file system can; best effort.
void syncFolderOf(const std::string& target)
{
    int fd = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// The fields of a stat record that the downloads' local files need.
PlatFileState stateOf(const struct stat& info)
{
    PlatFileState state;
    state.regular = S_ISREG(info.st_mode);
    state.link = S_ISLNK(info.st_mode);
    state.named = info.st_nlink > 0;
    state.size = int64_t(info.st_size);
    state.device = uint64_t(info.st_dev);
    state.inode = uint64_t(info.st_ino);
    // Unsigned: any time a file may be given wraps instead of overflowing.
    state.modifiedNs = uint64_t(info.st_mtim.tv_sec) * 1000000000u + uint64_t(info.st_mtim.tv_nsec);
    return state;
}

// A stream on fd, or nullptr with fd closed.
FILE* streamOn(int fd)
{
    FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr)
        ::close(fd);
    return file;
}

}  // namespace

int Plat_LookAt(const char* path, PlatFileState* state)
{
    struct stat info {};
    if (::lstat(path, &info) != 0)
        return errno;
    *state = stateOf(info);
    return 0;
}

int Plat_StateOf(FILE* file, PlatFileState* state)
{
    struct stat info {};
    if (::fstat(::fileno(file), &info) != 0)
        return errno;
    *state = stateOf(info);
    return 0;
}

FILE* Plat_OpenForWriting(const char* path, int64_t keep)
{
    if (keep <= 0) {
        int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        return fd < 0 ? nullptr : streamOn(fd);
    }
    int fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < keep)
        errno = ENOENT;
    else if (::ftruncate(fd, keep) == 0 && ::lseek(fd, keep, SEEK_SET) == keep)
        return streamOn(fd);
    int err = errno;
    ::close(fd);
    errno = err;
    return nullptr;
}

int Plat_KeepWritten(FILE* file, PlatFileState* state)
{
    std::fflush(file);
    ::__fpurge(file);
    int err = Plat_StateOf(file, state);
    if (err == 0 && !state->named)
        err = ENOENT;
    if (err == 0 && ::fdatasync(::fileno(file)) != 0)
        err = errno;
    return err;
}

int Plat_ReplaceFile(const char* path, const char* data, size_t length, mode_t newMode)
{
    std::string target;
    int err = finalTarget(path, target);
    if (err != 0)
        return err;
    struct stat old = {};
    bool replacing = ::stat(target.c_str(), &old) == 0;
    if (!replacing && errno != ENOENT)
        return errno;
    removeStaleTemps(target);
    // A replaced file's mode is set once the temporary file is ours alone; a new one is
    // created with the mode the umask leaves.
    std::string temp;
    int fd = -1;
    err = createTemp(target, replacing ? S_IRUSR | S_IWUSR : newMode, temp, fd);
    if (err != 0)
        return err;
    err = writeAll(fd, data, length);
    if (err == 0 && replacing && ::fchmod(fd, old.st_mode & 07777) != 0)
        err = errno;
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (err == 0 && std::rename(temp.c_str(), target.c_str()) != 0)
        err = errno;
    if (err != 0)
        ::unlink(temp.c_str());
    // The lock goes with the descriptor, so it is held until the temporary name is gone. The
    // data are on disk already, so closing can no longer lose them.
    ::close(fd);
    if (err == 0)
        syncFolderOf(target);
    return err;
}

int Plat_CreateFolders(const std::string& path, mode_t mode)
{
    for (size_t end = path.find(PATH_SEP, 1);; end = path.find(PATH_SEP, end + 1)) {
        if (::mkdir(path.substr(0, end).c_str(), mode) != 0 && errno != EEXIST)
            return errno;
        if (end == std::string::npos)
            return 0;
    }
}

std::filesystem::path Plat_Path(std::string_view text)
{
    return std::filesystem::path(text);
}

std::string Plat_PathText(const std::filesystem::path& path)
{
    return path.string();
}

FILE* Plat_OpenFile(const char* path, const char* mode)
{
    return std::fopen(path, mode);
}

int Plat_RemoveFile(const char* path)
{
    return std::remove(path) == 0 ? 0 : errno;
}

std::string Plat_ProgramDir()
{
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path().string();
}

int Plat_WriteAt(FILE* file, const char* data, size_t size, int64_t offset)
{
    const int fd = ::fileno(file);
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size, off_t(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        data += written;
        size -= size_t(written);
        offset += written;
    }
    return 0;
}

int Plat_Reserve(FILE* file, int64_t size)
{
    const int fd = ::fileno(file);
    if (::fallocate(fd, 0, 0, off_t(size)) == 0)
        return 0;
    return errno == EOPNOTSUPP || errno == ENOSYS ? 0 : errno;
}

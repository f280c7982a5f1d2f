#include "files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

namespace {

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

}  // namespace

int Plat_ReplaceFile(const char* path, const char* data, size_t length)
{
    std::string temp = std::string(path) + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return errno;
    int err = writeAll(fd, data, length);
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    // mkstemp creates 0600; the saved files are ordinary user files.
    if (err == 0 && ::fchmod(fd, 0644) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && std::rename(temp.c_str(), path) != 0)
        err = errno;
    if (err != 0)
        ::unlink(temp.c_str());
    return err;
}

std::string Plat_ProgramDir()
{
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path().string();
}

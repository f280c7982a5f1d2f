#include "platform/program.h"

#include "platform/home.h"
#include "platform/text.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// In the grandchild: a session of its own, /dev/null for the standard streams and nothing else
// open, or whoever reads our pipes (a browser) waits on it; never returns.
[[noreturn]] void execApart(const std::string& program, const std::vector<std::string>& arguments)
{
    setsid();
    const int none = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
        dup2(none, fd);
    close_range(3, ~0u, 0);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace

std::string Plat_ProgramFile()
{
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).string();
}

bool Plat_StartDetached(const std::string& program, const std::vector<std::string>& arguments)
{
    // Forked twice: the child that is waited for ends at once, and init adopts the grandchild.
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        if (fork() == 0)
            execApart(program, arguments);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return true;
}

void Plat_PrepareStdioPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void Plat_UseUtf8Arguments(int*, char***)
{
}

void Plat_UseParentConsole()
{
}

int Plat_ReadBounded(const char* path, size_t limit, std::string* text)
{
    const int fd = path == nullptr ? STDIN_FILENO : ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat info {};
    int error = fd < 0 ? errno : ::fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
    char block[65536];
    for (ssize_t got = 1; error == 0 && got != 0;) {
        got = ::read(fd, block, sizeof block);
        if (got < 0 && errno != EINTR)
            error = errno;
        else if (got > 0)
            error = Plat_AppendBlock(text, block, size_t(got), limit);
    }
    if (fd > STDIN_FILENO)
        ::close(fd);
    return error;
}

std::string Plat_ProgramDataFolder()
{
    return (std::filesystem::path(Plat_DataFolder()) / "moonfetch").string();
}

const char* Plat_DataFolderWords()
{
    return "$XDG_DATA_HOME/moonfetch\n                  (~/.local/share/moonfetch)";
}

int Plat_MakePrivateFolder(const std::string& path)
{
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST ? 0 : errno;
}

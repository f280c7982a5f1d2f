// Serves the Windows test programs from the Linux side: starts nginx and the FTP server, each with
// "big.bin", a server that reads a request and never answers, and names their ports (and one
// nobody listens on) in the environment of the command it then runs.
//   moon_wine_servers <folder> <command> [arguments...]
#include "tests/support/servers.h"

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint64_t BIG_SIZE = 3 << 20;

// Runs the command with the environment as it is now; its exit status, 1 when it did not exit.
int run(char** command)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(command[0], command);
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return 1;
    return WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace moontest;
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <folder> <command> [arguments...]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    NginxServer web(dir + "/nginx");
    FtpServer ftp(dir + "/ftp");
    web.makeFile("big.bin", BIG_SIZE);
    ftp.makeFile("big.bin", BIG_SIZE);
    for (ServerProcess* server : {static_cast<ServerProcess*>(&web), static_cast<ServerProcess*>(&ftp)})
        if (::testing::AssertionResult started = server->start(); !started) {
            std::fprintf(stderr, "%s\n", started.message());
            return 1;
        }
    ScriptedServer silent({{readRequest(), staySilent()}});
    const std::pair<const char*, int> ports[] = {
        {"MOON_TEST_HTTP_PORT", web.port()},
        {"MOON_TEST_FTP_PORT", ftp.port()},
        {"MOON_TEST_SILENT_PORT", silent.port()},
        {"MOON_TEST_CLOSED_PORT", freePort()},
    };
    for (const auto& [name, port] : ports)
        ::setenv(name, std::to_string(port).c_str(), 1);
    return run(argv + 2);
}

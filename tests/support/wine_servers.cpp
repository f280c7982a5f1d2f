// Serves the Windows test programs from the Linux side: starts nginx and the FTP server, each with
// "big.bin" (nginx also with "small.bin", and "named.bin" that the server names "naïve-€.bin"),
// nginx again over https with "small.bin", a server that reads a request and never answers, and
// names their ports (and one nobody listens on) in the environment of the command it then runs.
//   moon_wine_servers <folder> <command> [arguments...]
#include "tests/support/servers.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr uint64_t BIG_SIZE = 3 << 20;
constexpr uint64_t SMALL_SIZE = 64 << 10;

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
    web.makeFile("small.bin", SMALL_SIZE);
    web.makeFile("named.bin", BIG_SIZE);
    web.addConfig("location = /named.bin { add_header Content-Disposition "
                  "\"attachment; filename*=UTF-8''na%C3%AFve-%E2%82%AC.bin\"; }");
    ftp.makeFile("big.bin", BIG_SIZE);
    NginxServer secure(dir + "/nginx-tls");
    secure.useTls();
    secure.makeFile("small.bin", SMALL_SIZE);
    for (ServerProcess* server : {static_cast<ServerProcess*>(&web), static_cast<ServerProcess*>(&ftp),
                                  static_cast<ServerProcess*>(&secure)})
        if (::testing::AssertionResult started = server->start(); !started) {
            std::fprintf(stderr, "%s\n", started.message());
            return 1;
        }
    ScriptedServer silent({{readRequest(), staySilent()}});
    const std::pair<const char*, int> ports[] = {
        {"MOON_TEST_HTTP_PORT", web.port()},
        {"MOON_TEST_FTP_PORT", ftp.port()},
        {"MOON_TEST_HTTPS_PORT", secure.port()},
        {"MOON_TEST_SILENT_PORT", silent.port()},
        {"MOON_TEST_CLOSED_PORT", freePort()},
    };
    for (const auto& [name, port] : ports)
        ::setenv(name, std::to_string(port).c_str(), 1);
    const int status = inChild([argv] {
        ::execvp(argv[2], argv + 2);
        return 127;
    });
    return status < 0 ? 1 : status;
}

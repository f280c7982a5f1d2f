#include "tests/support/fixtures.h"

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace moontest {

void Sandbox::SetUp()
{
    std::string templ = (std::filesystem::temp_directory_path() / "moonfetch-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    oldCwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "CURL_CA_BUNDLE", "SSL_CERT_FILE",
                             "http_proxy", "https_proxy", "HTTPS_PROXY", "ftp_proxy", "FTP_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY", "DBUS_SYSTEM_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS",
                             "HOME"}) {
        const char* value = std::getenv(name);
        oldEnv_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        ::unsetenv(name);
    }
    ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    ::setenv("HOME", (dir_ / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    for (const char* bus : {"DBUS_SYSTEM_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS"})
        ::setenv(bus, ("unix:path=" + (dir_ / "no-bus").string()).c_str(), 1);
}

void Sandbox::TearDown()
{
    std::filesystem::current_path(oldCwd_);
    for (const auto& [name, value] : oldEnv_)
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    oldEnv_.clear();
    std::error_code ignored;
    // Tests make directories read-only to force failures; give the rights back to clean up.
    for (auto& entry : std::filesystem::recursive_directory_iterator(dir_, ignored))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(dir_, ignored);
}

int inChild(const std::function<int()>& body)
{
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

bool becomeNobody()
{
    constexpr uid_t nobody = 65534;
    return ::geteuid() != 0 || (::setgid(nobody) == 0 && ::setuid(nobody) == 0);
}

}  // namespace moontest

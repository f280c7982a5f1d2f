#include "platform/home.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

std::string Plat_HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0')
        return home;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return found->pw_dir;
    return ".";
}

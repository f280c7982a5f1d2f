#include "platform/home.h"

#include <cstdlib>

namespace {

// The folder that variable names when it holds an absolute path, else inHome under the home folder.
std::string xdgFolder(const char* variable, const char* inHome)
{
    const char* named = std::getenv(variable);
    return (named && named[0] == '/') ? std::string(named) : Plat_HomeFolder() + inHome;
}

}  // namespace

std::string Plat_ConfigFolder()
{
    return xdgFolder("XDG_CONFIG_HOME", "/.config");
}

std::string Plat_DataFolder()
{
    return xdgFolder("XDG_DATA_HOME", "/.local/share");
}

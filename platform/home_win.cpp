#include "platform/home.h"

#include "platform/wide_win.h"

#include <cstdlib>

// The user's profile folder, where the browsers keep theirs.
std::string Plat_HomeFolder()
{
    const wchar_t* home = _wgetenv(L"USERPROFILE");
    return home && home[0] != L'\0' ? Plat_Narrow(home) : ".";
}

#include "platform/text.h"

#include <cstdlib>

// The user's profile folder, where the browsers keep theirs.
std::string Text_HomeFolder()
{
    const char* home = std::getenv("USERPROFILE");
    return home && home[0] != '\0' ? home : ".";
}

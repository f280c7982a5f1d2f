// What both platforms share of the browser hosts: the manifest's text and the arguments a
// browser starts its host with.
#include "browsers/browserhosts.h"

#include <nlohmann/json.hpp>

#include <cstring>

std::string Browser_HostManifest(bool firefox, const std::string& program)
{
    nlohmann::ordered_json manifest = {
        {"name", BROWSER_HOST_NAME},
        {"description", "Moonfetch: download later"},
        {"path", program},
        {"type", "stdio"},
    };
    if (firefox)
        manifest["allowed_extensions"] = {BROWSER_FIREFOX_ID};
    else
        manifest["allowed_origins"] = {BROWSER_CHROMIUM_ORIGIN};
    return manifest.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool Browser_StartedAsHost(int argc, char** argv)
{
    for (int k = 1; k < argc; ++k)
        if (std::strcmp(argv[k], BROWSER_CHROMIUM_ORIGIN) == 0 || std::strcmp(argv[k], BROWSER_FIREFOX_ID) == 0)
            return true;
    return false;
}

#include "browsers/profiles.h"

#include "platform/files.h"
#include "platform/home.h"
#include "platform/program.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace {

// Where each program keeps its profiles.ini: below the home folder, or below the
// configuration folder when inConfig.
struct ProfileFile {
    const char* relative;
    const char* program;
    bool inConfig;
};

constexpr ProfileFile PROFILE_FILES[] = {
    {".mozilla/firefox/profiles.ini", "Firefox", false},
    {".thunderbird/profiles.ini", "Thunderbird", false},
    {".mozilla/seamonkey/profiles.ini", "SeaMonkey", false},
    {"mozilla/firefox/profiles.ini", "Firefox", true},
    {"snap/firefox/common/.mozilla/firefox/profiles.ini", "Firefox", false},
    {".var/app/org.mozilla.firefox/.mozilla/firefox/profiles.ini", "Firefox", false},
    {".librewolf/profiles.ini", "LibreWolf", false},
};

// A real profiles.ini holds a few lines a profile; a larger file is no list of profiles.
constexpr size_t PROFILES_INI_LIMIT = 64 * 1024;

// One [Profile...] section as it is read.
struct Section {
    bool isProfile = false;
    std::string name;
    std::string path;
    bool relative = false;
};

void addProfile(const Section& section, const std::string& folder, const char* program,
                std::vector<MozProfile>* profiles)
{
    if (!section.isProfile || section.name.empty() || section.path.empty() || Profiles_ClimbsOut(section.path))
        return;
    for (const MozProfile& known : *profiles)
        if (Text_EqualNoCase(known.name, section.name))
            return;
    std::string directory = section.relative ? folder + PATH_SEP + section.path : section.path;
    while (directory.size() > 1 && directory.back() == PATH_SEP)
        directory.pop_back();
    profiles->push_back({section.name, directory, program});
}

void applyLine(std::string_view line, Section* section)
{
    size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return;
    std::string_view key = line.substr(0, equals);
    std::string value(line.substr(equals + 1));
    if (Text_EqualNoCase(key, "Name"))
        section->name = value;
    else if (Text_EqualNoCase(key, "Path"))
        section->path = value;
    else if (Text_EqualNoCase(key, "IsRelative"))
        section->relative = value == "1";
}

bool readFile(const std::string& file, const std::string& folder, const char* program,
              std::vector<MozProfile>* profiles)
{
    std::string text;
    if (Plat_ReadBounded(file.c_str(), PROFILES_INI_LIMIT, &text) != 0)
        return false;
    Section section;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty() && line.front() == '[') {
            addProfile(section, folder, program, profiles);
            section = Section{};
            section.isProfile = line.compare(0, 8, "[Profile") == 0;
        } else {
            applyLine(line, &section);
        }
    }
    addProfile(section, folder, program, profiles);
    return true;
}

}  // namespace

bool Profiles_ClimbsOut(const std::string& path)
{
    const std::filesystem::path parts(path);
    return std::any_of(parts.begin(), parts.end(), [](const std::filesystem::path& part) { return part == ".."; });
}

bool Profiles_List(std::vector<MozProfile>* profiles)
{
    profiles->clear();
    const std::string home = Plat_HomeFolder();
    const std::string config = Plat_ConfigFolder();
    bool any = false;
    for (const ProfileFile& place : PROFILE_FILES) {
        std::string file = (place.inConfig ? config : home) + PATH_SEP + place.relative;
        std::string folder = file.substr(0, file.rfind(PATH_SEP));
        any = readFile(file, folder, place.program, profiles) || any;
    }
    return any;
}

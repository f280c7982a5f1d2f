// Mail and browser profiles: the profiles that the Mozilla-family programs list in the
// profiles.ini files of the person's home, read only.
//
// Contract:
// - Any thread may call; nothing is kept between calls, every call reads the files afresh.
// - The files, in this order: $HOME/.mozilla/firefox, $HOME/.thunderbird,
//   $HOME/.mozilla/seamonkey, $XDG_CONFIG_HOME/mozilla/firefox (else ~/.config), the snap's
//   ~/snap/firefox/common/.mozilla/firefox, the flatpak's
//   ~/.var/app/org.mozilla.firefox/.mozilla/firefox and ~/.librewolf, each "profiles.ini". A
//   profile is a [Profile...] section with a Name= and a Path= (relative to the file's folder
//   when IsRelative=1). A file larger than 64 KB lists none, and a profile whose path climbs
//   out through ".." is not listed.
// - A name met again in a later file (or section) is skipped: names are unique, as registry
//   sub-keys are, and compared without regard to case.
#pragma once

#include <string>
#include <vector>

struct MozProfile {
    std::string name;
    std::string directory;   // absolute, without a trailing separator
    const char* program;     // "Firefox", "Thunderbird", "SeaMonkey" or "LibreWolf"
};

// Whether a path has a ".." part, which would lead out of the folder it lies below.
bool Profiles_ClimbsOut(const std::string& path);
// Fills profiles in file and section order; false when none of the files could be read
// (profiles is then empty). An unset HOME counts as no file.
bool Profiles_List(std::vector<MozProfile>* profiles);

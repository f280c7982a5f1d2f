// The person's own folders, where settings, data and the browsers' profiles are looked for.
//
// Contract: any thread; each call reads the environment afresh and keeps nothing. A folder is
// named, not made: whether it exists is the caller's to find out. Nothing fails: the last
// fallback is the current folder, ".".
#pragma once

#include <string>

// The person's home folder: $HOME, else the password database's entry, else ".".
std::string Plat_HomeFolder();
// The person's configuration folder: $XDG_CONFIG_HOME when it is absolute, else ~/.config.
std::string Plat_ConfigFolder();
// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::string Plat_DataFolder();

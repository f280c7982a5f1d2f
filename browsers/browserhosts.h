// Browser hosts: the manifests that tell a browser where Moonfetch's native messaging host is,
// and which of Moonfetch's extensions may start it.
//
// Contract:
// - Per person: Firefox's manifest in $HOME/.mozilla/native-messaging-hosts, the Chromium
//   family's in NativeMessagingHosts inside each browser's folder under $XDG_CONFIG_HOME
//   ($HOME/.config when that is unset, empty or relative). Only a browser whose own folder
//   exists gets one; no browser folder is ever made.
// - On Windows the two manifests (Firefox's, the Chromium family's) lie in the program's data
//   folder (program.h), in "hosts", and each browser's key of hosts in HKEY_CURRENT_USER
//   (Mozilla, Google Chrome, Chromium, Microsoft Edge, Brave) gets a key named after the host
//   whose default value is the manifest's path; every browser is registered, installed or not.
//   The entries name the manifests, then the keys.
// - Uninstalling removes exactly the manifests (and keys) that installing writes, in the same
//   places, and nothing beside them.
// - The program named in a manifest is started by the browser with the extension's origin
//   (Chromium family; on Windows followed by --parent-window=N) or its manifest and id
//   (Firefox) as arguments: Browser_StartedAsHost recognises those.
// - Failures are returned as errno values, never thrown.
#pragma once

#include <string>
#include <vector>

constexpr const char* BROWSER_HOST_NAME = "com.larkvale.moonfetch";
constexpr const char* BROWSER_FIREFOX_ID = "moonfetch@larkvale";
// Follows from the public key in the extension's manifest.
constexpr const char* BROWSER_CHROMIUM_ORIGIN = "chrome-extension://dkpkgdgieogmaoknbjacokdadlghjbdb/";

struct BrowserHostFile {
    std::string path;   // the manifest's full path
    int error;          // 0, or the errno that writing or removing it failed with
};

// The manifest that names program (an absolute path) for Firefox or for the Chromium family.
std::string Browser_HostManifest(bool firefox, const std::string& program);
// Writes the manifest of every browser whose folder exists; one entry per manifest.
std::vector<BrowserHostFile> Browser_InstallHosts(const std::string& program);
// Removes those manifests; one entry per manifest that was there.
std::vector<BrowserHostFile> Browser_UninstallHosts();
// Whether the arguments are those a browser starts its native messaging host with.
bool Browser_StartedAsHost(int argc, char** argv);

// The installer, as a person runs it: a silent install for the person alone, then the silent
// uninstall that Windows' list of programs starts. MOON_SETUP is the build's installer, on Wine's
// drive Z:, the Linux root.
#include "tests/support/fixtures.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using moontest::readFile;

constexpr const wchar_t* UNINSTALL_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Moonfetch";
constexpr const char* SETTINGS_KEY = "Software\\Larkvale\\Moonfetch\\Directories";
// One of the browsers' keys that the program registers its host under.
constexpr const char* HOST_KEY = "Software\\Mozilla\\NativeMessagingHosts\\com.larkvale.moonfetch";

// Runs the command line; its exit code once it ended, or -1 when it could not start.
DWORD runAndWait(std::wstring command)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return DWORD(-1);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = DWORD(-1);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

fs::path knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    fs::path folder = SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) ? path : L"";
    CoTaskMemFree(path);
    return folder;
}

// The text of a value of the program's uninstall entry; empty when it has none.
std::wstring uninstallValue(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = L"";
    DWORD size = sizeof value;
    RegGetValueW(HKEY_CURRENT_USER, UNINSTALL_KEY, name, RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

// How many pictures of the program's icon (MOON_ICON) the file's icons lack, byte for byte.
size_t missingIconPictures(const fs::path& file)
{
    std::vector<std::string> pictures;
    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    EnumResourceNamesW(
        module, MAKEINTRESOURCEW(3) /* RT_ICON */,
        [](HMODULE from, LPCWSTR type, LPWSTR name, LONG_PTR found) {
            HRSRC resource = FindResourceW(from, name, type);
            const char* data = static_cast<const char*>(LockResource(LoadResource(from, resource)));
            reinterpret_cast<std::vector<std::string>*>(found)->emplace_back(data, SizeofResource(from, resource));
            return TRUE;
        },
        LONG_PTR(&pictures));
    FreeLibrary(module);
    const std::string icon = readFile("Z:" MOON_ICON);
    uint16_t count = 0;
    std::memcpy(&count, icon.data() + 4, sizeof count);
    size_t missing = count;
    for (size_t i = 0; i < count; ++i) {
        uint32_t size = 0, offset = 0;
        std::memcpy(&size, icon.data() + 6 + 16 * i + 8, sizeof size);
        std::memcpy(&offset, icon.data() + 6 + 16 * i + 12, sizeof offset);
        missing -= std::find(pictures.begin(), pictures.end(), icon.substr(offset, size)) != pictures.end();
    }
    return missing;
}

using Installer = moontest::Sandbox;

TEST_F(Installer, InstallsForThePersonAndTheUninstallLeavesOnlyTheirFiles)
{
    ASSERT_EQ(runAndWait(L"\"" + fs::path("Z:" MOON_SETUP).make_preferred().wstring() + L"\" /S"), 0u);

    const fs::path home = knownFolder(FOLDERID_LocalAppData) / "Programs" / "Moonfetch";
    const fs::path menu = knownFolder(FOLDERID_Programs);
    const fs::path program = home / "moonfetch.exe", uninstaller = home / "uninstall.exe";
    const fs::path installed[] = {program, home / "docs" / "manual.html", uninstaller, menu / "Moonfetch.lnk",
                                  menu / "Moonfetch Manual.lnk"};
    for (const fs::path& file : installed)
        EXPECT_TRUE(fs::exists(file)) << file;
    const std::wstring uninstall = L"\"" + uninstaller.wstring() + L"\"";
    const std::pair<const wchar_t*, std::wstring> entry[] = {
        {L"DisplayName", L"Moonfetch"}, {L"DisplayVersion", MOON_VERSION}, {L"Publisher", L"Larkvale"},
        {L"DisplayIcon", program.wstring()}, {L"UninstallString", uninstall},
        {L"QuietUninstallString", uninstall + L" /S"}};
    for (const auto& [name, value] : entry)
        EXPECT_EQ(uninstallValue(name), value) << name;
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, HOST_KEY, nullptr, RRF_RT_REG_SZ, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    // Explorer and the installer's window show the program's icon, not the installer maker's.
    EXPECT_EQ(missingIconPictures(fs::path("Z:" MOON_SETUP).make_preferred()), 0u);
    EXPECT_EQ(missingIconPictures(uninstaller), 0u);

    // The person's own since: a pending list beside the program and a setting.
    moontest::writeFile((home / "moonfch_saved.txt").string(), "kept");
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, SETTINGS_KEY, "Download", REG_SZ, "C:\\", 4), ERROR_SUCCESS);
    // The uninstaller runs from a copy of itself that it starts and does not wait for.
    ASSERT_EQ(runAndWait(uninstall + L" /S"), 0u);
    EXPECT_TRUE(moontest::waitFor([] { return uninstallValue(L"DisplayName").empty(); }, std::chrono::seconds(60)));
    for (const fs::path& file : installed)
        EXPECT_FALSE(fs::exists(file)) << file;
    EXPECT_EQ(readFile((home / "moonfch_saved.txt").string()), "kept");
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, SETTINGS_KEY, "Download", RRF_RT_REG_SZ, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, HOST_KEY, nullptr, RRF_RT_REG_SZ, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

}  // namespace

// The one-instance lock on Windows: a named mutex per folder, which the system releases when the
// process ends however it ends. A mutex tells nobody who holds it: the holder's process id is
// written into the lock file beside it, as on Linux, where a second copy reads it.
#include "platform/instance.h"

#include "platform/wide_win.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::wstring_view MUTEX_PREFIX = L"Local\\Moonfetch:";

HANDLE lockMutex = nullptr;

// The mutex's name: the lock file's absolute path, in one case, without backslashes (which
// would name a namespace).
std::wstring mutexName(const char* path)
{
    wchar_t full[MAX_PATH];
    wchar_t lower[MAX_PATH];
    DWORD length = GetFullPathNameW(Plat_Widen(path).c_str(), MAX_PATH, full, nullptr);
    // The file system ignores case in every alphabet, "José" and "JOSÉ" alike.
    length = length < MAX_PATH ? DWORD(LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, full, int(length), lower,
                                                     MAX_PATH, nullptr, nullptr, 0))
                               : 0;
    std::wstring name(MUTEX_PREFIX);
    for (wchar_t c : std::wstring_view(lower, length))
        name += c == L'\\' ? L'/' : c;
    return name;
}

void writeProcessId(const char* path)
{
    HANDLE file = CreateFileW(Plat_Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char id[32];
    const int length = std::snprintf(id, sizeof id, "%lu\n", GetCurrentProcessId());
    DWORD written = 0;
    WriteFile(file, id, DWORD(length), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int Plat_LockInstance(const char* path)
{
    Plat_UnlockInstance();
    HANDLE mutex = CreateMutexW(nullptr, TRUE, mutexName(path).c_str());
    if (mutex == nullptr)
        return EACCES;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return EWOULDBLOCK;
    }
    lockMutex = mutex;
    writeProcessId(path);
    return 0;
}

void Plat_UnlockInstance()
{
    if (lockMutex != nullptr)
        CloseHandle(lockMutex);
    lockMutex = nullptr;
}

bool Plat_InstanceLocked(const char* path)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, mutexName(path).c_str());
    if (mutex == nullptr)
        return false;
    CloseHandle(mutex);
    return true;
}

long Plat_LockHolder(const char* path)
{
    HANDLE file = CreateFileW(Plat_Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    char text[32] = {};
    DWORD got = 0;
    const bool read = ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    return read && got > 0 ? std::strtol(text, nullptr, 10) : 0;
}

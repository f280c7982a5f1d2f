// For the Windows sources of the platform and window layers alone: UTF-8 to and from the UTF-16 of the
// system's wide calls, and the errno that stands for a system error.
//
// Contract: pure functions; text that is not valid UTF-8 (or UTF-16) converts with U+FFFD in
// place of what is broken; a system error without an errno of its own stands as EIO.
#pragma once

#include <windows.h>

#include <cerrno>
#include <string>
#include <string_view>

inline std::wstring Plat_Widen(std::string_view text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), length);
    return wide;
}

inline std::string Plat_Narrow(std::wstring_view wide)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), length, nullptr, nullptr);
    return text;
}

inline int Plat_ErrnoOf(DWORD error)
{
    struct SystemErrno {
        DWORD error;
        int err;
    };
    static constexpr SystemErrno ERRNOS[] = {
        {ERROR_FILE_NOT_FOUND, ENOENT}, {ERROR_PATH_NOT_FOUND, ENOENT},    {ERROR_ACCESS_DENIED, EACCES},
        {ERROR_SHARING_VIOLATION, EACCES}, {ERROR_WRITE_PROTECT, EROFS},   {ERROR_DISK_FULL, ENOSPC},
        {ERROR_ALREADY_EXISTS, EEXIST}, {ERROR_FILE_EXISTS, EEXIST},       {ERROR_DIRECTORY, ENOTDIR},
        {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG}, {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
        {ERROR_INVALID_NAME, ENOENT},
    };
    for (const SystemErrno& entry : ERRNOS)
        if (entry.error == error)
            return entry.err;
    return EIO;
}

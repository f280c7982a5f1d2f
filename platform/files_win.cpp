// Files on Windows: the replacement through a temporary file that MoveFileEx puts in the target's
// place. A temporary file is opened without sharing, so one whose save still runs cannot be
// deleted by the clean-up of another process.
#include "platform/files.h"

#include <windows.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view TEMP_TAG = ".tmp-";
constexpr std::string_view TEMP_LETTERS =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t TEMP_RANDOM_LENGTH = 6;
constexpr int TEMP_ATTEMPTS = 100;

struct SystemErrno {
    DWORD error;
    int err;
};

const SystemErrno SYSTEM_ERRNOS[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},   {ERROR_PATH_NOT_FOUND, ENOENT}, {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_SHARING_VIOLATION, EACCES}, {ERROR_WRITE_PROTECT, EROFS},   {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},  {ERROR_FILE_EXISTS, EEXIST},    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG}, {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
};

// The errno that stands for the calling thread's last system error.
int lastErrno()
{
    const DWORD error = GetLastError();
    for (const SystemErrno& entry : SYSTEM_ERRNOS)
        if (entry.error == error)
            return entry.err;
    return EIO;
}

std::string randomTag()
{
    static uint64_t calls = 0;
    uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (++calls << 40) ^ GetCurrentProcessId();
    std::string tag;
    for (size_t i = 0; i < TEMP_RANDOM_LENGTH; ++i, seed /= TEMP_LETTERS.size())
        tag += TEMP_LETTERS[seed % TEMP_LETTERS.size()];
    return tag;
}

// Deletes the temporary files of target that a killed save left; one still open stays.
void removeStaleTemps(const std::string& target)
{
    WIN32_FIND_DATAA found;
    const std::string pattern = target + std::string(TEMP_TAG) + "??????";
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    const std::string folder = std::filesystem::path(target).parent_path().string();
    do
        DeleteFileA((folder.empty() ? found.cFileName : folder + PATH_SEP + found.cFileName).c_str());
    while (FindNextFileA(search, &found));
    FindClose(search);
}

// Writes data to a new temporary file beside target; 0 and its name, or the errno.
int writeTemp(const std::string& target, const char* data, size_t length, std::string& temp)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = target + std::string(TEMP_TAG) + randomTag();
        file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            return lastErrno();
    }
    if (file == INVALID_HANDLE_VALUE)
        return EEXIST;
    int error = 0;
    for (size_t done = 0; done < length && error == 0;) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length - done, 1u << 30));
        if (!WriteFile(file, data + done, chunk, &written, nullptr))
            error = lastErrno();
        done += written;
    }
    if (error == 0 && !FlushFileBuffers(file))
        error = lastErrno();
    CloseHandle(file);
    if (error != 0)
        DeleteFileA(temp.c_str());
    return error;
}

}  // namespace

int Plat_ReplaceFile(const char* path, const char* data, size_t length, mode_t)
{
    const std::string target = path;
    removeStaleTemps(target);
    std::string temp;
    if (int error = writeTemp(target, data, length, temp); error != 0)
        return error;
    if (MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    const int error = lastErrno();
    DeleteFileA(temp.c_str());
    return error;
}

int Plat_CreateFolders(const std::string& path, mode_t)
{
    std::error_code failed;
    std::filesystem::create_directories(path, failed);
    return failed ? failed.default_error_condition().value() : 0;
}

std::string Plat_ProgramDir()
{
    char program[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    if (length == 0 || length >= sizeof program)
        return {};
    return std::filesystem::path(program).parent_path().string();
}

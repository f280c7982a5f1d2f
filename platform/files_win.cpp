// Files on Windows: the replacement through a temporary file that is renamed into the target's
// place through its own handle. A temporary file stays open without sharing from its creation
// until it has the target's name, so the clean-up of another save can never delete or replace
// it. A download's local file is shared for deleting, as a file on Linux may be removed while
// written; a link is a reparse point, never followed.
#include "platform/files.h"

#include "platform/wide_win.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

// A target cannot be replaced while it is open: another save holds it from taking its name until
// it closes it, a reader until it has read.
constexpr int REPLACE_ATTEMPTS = 250;
constexpr DWORD REPLACE_PAUSE_MS = 2;

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

// 64 bits for a temporary name that differ between calls and processes; the exclusive creation
// settles a collision.
uint64_t randomSeed()
{
    static std::atomic<uint64_t> calls = 0;
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^ (++calls << 40) ^
           GetCurrentProcessId();
}

// Deletes the temporary files of target that a killed save left; one still open stays.
void removeStaleTemps(const std::string& target)
{
    WIN32_FIND_DATAW found;
    const std::wstring pattern = Plat_Widen(target + std::string(PLAT_TEMP_TAG) + "*");
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    const std::filesystem::path folder = Plat_Path(target).parent_path();
    const std::string targetName = Plat_PathText(Plat_Path(target).filename());
    do
        if (Plat_IsTempName(Plat_Narrow(found.cFileName), targetName))
            DeleteFileW((folder / found.cFileName).c_str());
    while (FindNextFileW(search, &found));
    FindClose(search);
}

// Writes data to a new temporary file beside target; 0 and its open handle, or the errno. The
// handle may rename and delete the file, which no one else may open meanwhile.
int writeTemp(const std::string& target, const char* data, size_t length, HANDLE& file)
{
    file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < PLAT_TEMP_ATTEMPTS && file == INVALID_HANDLE_VALUE; ++attempt) {
        const std::wstring temp = Plat_Widen(Plat_TempName(target, randomSeed()));
        file = CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
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
    return error;
}

// Gives the open file path's name, replacing what was there; 0 or the errno.
int renameOpen(HANDLE file, const char* path)
{
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(Plat_Widen(path).c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH)
        return ENAMETOOLONG;
    // The record ends in the name, which runs past the record's own one-character array.
    alignas(FILE_RENAME_INFO) unsigned char record[sizeof(FILE_RENAME_INFO) + sizeof full];
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(record);
    *rename = {};
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = length * sizeof(wchar_t);
    std::memcpy(rename->FileName, full, (length + 1) * sizeof(wchar_t));
    for (int attempt = 1;; ++attempt) {
        if (SetFileInformationByHandle(file, FileRenameInfo, rename, sizeof record))
            return 0;
        if (GetLastError() != ERROR_ACCESS_DENIED || attempt == REPLACE_ATTEMPTS)
            return lastErrno();
        Sleep(REPLACE_PAUSE_MS);
    }
}

// Deletes the open file when it is closed.
void discard(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Opens what lies at path itself, a link included, for access; INVALID_HANDLE_VALUE and the
// system's error when it cannot.
HANDLE openItself(const char* path, DWORD access, DWORD disposition, DWORD flags)
{
    return CreateFileW(Plat_Widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

uint64_t joined(DWORD high, DWORD low)
{
    return uint64_t(high) << 32 | low;
}

// The state of the open file; 0 or the errno.
int stateOf(HANDLE file, PlatFileState* state)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return lastErrno();
    // A deleted file that is still open keeps its name until it is closed, marked as to go.
    FILE_STANDARD_INFO standard = {};
    const bool going = GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) &&
                       standard.DeletePending;
    state->link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    state->regular = (info.dwFileAttributes &
                      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
    state->named = info.nNumberOfLinks > 0 && !going;
    state->size = int64_t(joined(info.nFileSizeHigh, info.nFileSizeLow));
    state->device = info.dwVolumeSerialNumber;
    state->inode = joined(info.nFileIndexHigh, info.nFileIndexLow);
    // The system counts in 100 ns steps.
    state->modifiedNs = joined(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime) * 100u;
    return 0;
}

// Cuts the open file to keep bytes and places its pointer there; 0 or the errno.
int cutAt(HANDLE file, int64_t keep)
{
    PlatFileState state;
    if (int error = stateOf(file, &state); error != 0)
        return error;
    if (state.link)
        return ELOOP;
    if (!state.regular || state.size < keep)
        return ENOENT;
    LARGE_INTEGER position;
    position.QuadPart = keep;
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
        return lastErrno();
    return 0;
}

// A binary stream writing the handle, or nullptr with the handle closed.
FILE* streamOn(HANDLE file)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr)
        _close(fd);
    return stream;
}

}  // namespace

int Plat_LookAt(const char* path, PlatFileState* state)
{
    // Folders open only for their attributes, with the backup flag.
    HANDLE file = openItself(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (file == INVALID_HANDLE_VALUE)
        return lastErrno();
    const int error = stateOf(file, state);
    CloseHandle(file);
    return error;
}

int Plat_StateOf(FILE* file, PlatFileState* state)
{
    return stateOf(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), state);
}

FILE* Plat_OpenForWriting(const char* path, int64_t keep)
{
    HANDLE file = openItself(path, GENERIC_WRITE, keep > 0 ? OPEN_EXISTING : OPEN_ALWAYS, 0);
    if (file == INVALID_HANDLE_VALUE) {
        errno = lastErrno();
        return nullptr;
    }
    if (const int error = cutAt(file, keep > 0 ? keep : 0); error != 0) {
        CloseHandle(file);
        errno = error;
        return nullptr;
    }
    return streamOn(file);
}

int Plat_KeepWritten(FILE* file, PlatFileState* state)
{
    // The C runtime empties a stream's buffer on a flush even when writing it failed, so what
    // could not be written is dropped here already.
    std::fflush(file);
    int error = Plat_StateOf(file, state);
    if (error == 0 && !state->named)
        error = ENOENT;
    if (error == 0 && !FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))))
        error = lastErrno();
    return error;
}

int Plat_ReplaceFile(const char* path, const char* data, size_t length, mode_t)
{
    removeStaleTemps(path);
    HANDLE temp = INVALID_HANDLE_VALUE;
    int error = writeTemp(path, data, length, temp);
    if (error == 0)
        error = renameOpen(temp, path);
    if (error != 0 && temp != INVALID_HANDLE_VALUE)
        discard(temp);
    if (temp != INVALID_HANDLE_VALUE)
        CloseHandle(temp);
    return error;
}

int Plat_CreateFolders(const std::string& path, mode_t)
{
    std::error_code failed;
    std::filesystem::create_directories(Plat_Path(path), failed);
    return failed ? failed.default_error_condition().value() : 0;
}

std::string Plat_ProgramDir()
{
    wchar_t program[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return Plat_PathText(std::filesystem::path(program).parent_path());
}

std::filesystem::path Plat_Path(std::string_view text)
{
    return std::filesystem::path(Plat_Widen(text));
}

std::string Plat_PathText(const std::filesystem::path& path)
{
    return Plat_Narrow(path.native());
}

FILE* Plat_OpenFile(const char* path, const char* mode)
{
    return _wfopen(Plat_Widen(path).c_str(), Plat_Widen(mode).c_str());
}

int Plat_RemoveFile(const char* path)
{
    return DeleteFileW(Plat_Widen(path).c_str()) ? 0 : lastErrno();
}

int Plat_WriteAt(FILE* file, const char* data, size_t size, int64_t offset)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(uint64_t(offset) & 0xFFFFFFFFu);
        at.OffsetHigh = DWORD(uint64_t(offset) >> 32);
        const DWORD chunk = DWORD(std::min<size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, &at))
            return lastErrno();
        if (written == 0)
            return EIO;
        data += written;
        size -= written;
        offset += written;
    }
    return 0;
}

int Plat_Reserve(FILE* file, int64_t size)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = size;
    if (!SetFileInformationByHandle(handle, FileAllocationInfo, &allocation, sizeof allocation))
        return GetLastError() == ERROR_DISK_FULL ? ENOSPC : 0;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    return SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) ? 0 : lastErrno();
}

// Files: the path separator, the crash-safe replacement of a whole file, and the downloads' local
// files (opened without following links, and known by their identity on disk).
//
// Contract:
// - Any thread may call; nothing here keeps state.
// - Plat_ReplaceFile never leaves a half-written file under the target's name: either the
//   new content is complete under that name, or the old file is still there byte for byte.
// - A path that is a symbolic link stays a link: the file that the chain of links finally names
//   is replaced (and created when it does not exist yet).
// - The new content keeps the permission bits of the file it replaces; a new file gets the mode
//   asked for (0666 unless told otherwise) less the umask. The temporary file is never readable
//   by more people than the final one.
// - The temporary file is "<target>.tmp-XXXXXX" (six letters or digits) beside the final
//   target, locked with flock(2) from its creation until it is renamed or removed. Each
//   replacement first removes the unlocked temporary files of the same target, which a process
//   killed while saving left behind; one whose save still runs, in any process, is left alone.
// - Failures are returned as errno values, never thrown.
// - The local files of downloads: Plat_OpenForWriting never follows a link at the name it opens,
//   and Plat_LookAt never follows one at the name it looks at. A file's identity (device and
//   inode; on Windows the volume's serial number and the file's index) stays the same while the
//   file keeps its place, whatever is written to it.
// - Paths are UTF-8 text everywhere; on Windows every call here goes through the system's wide
//   (UTF-16) calls, never its ANSI ones, so that any name reaches the disk as it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

// The separator that the program puts between directory and file names: the system's own, so that
// a path joined here reads as one the system's dialogs give.
#ifdef _WIN32
constexpr char PATH_SEP = '\\';
#else
constexpr char PATH_SEP = '/';
#endif

// The filesystem path that the UTF-8 text names (a narrow path of the standard library is in the
// ANSI code page on Windows).
std::filesystem::path Plat_Path(std::string_view text);
// The UTF-8 text of a filesystem path.
std::string Plat_PathText(const std::filesystem::path& path);
// std::fopen for a UTF-8 path: nullptr with errno set.
FILE* Plat_OpenFile(const char* path, const char* mode);
// Removes the file or link at path, never what a link points to; 0 or the errno.
int Plat_RemoveFile(const char* path);

// Writes data to a temporary file beside path's final target, flushes it to disk, renames it
// over the target and syncs the folder. Returns 0, or the errno of the step that failed (the
// temporary file is then removed). A failure to sync the folder after the rename is not
// reported: the new content is in place by then and a caller could not undo it.
int Plat_ReplaceFile(const char* path, const char* data, size_t length, mode_t newMode = 0666);
// The temporary names of a replacement, alike on both systems: the target's name, PLAT_TEMP_TAG
// and six letters or digits. A new name is tried at most PLAT_TEMP_ATTEMPTS times while each
// one is taken.
constexpr std::string_view PLAT_TEMP_TAG = ".tmp-";
constexpr int PLAT_TEMP_ATTEMPTS = 100;
// The temporary name beside target that seed (64 random bits) picks.
std::string Plat_TempName(const std::string& target, uint64_t seed);
// Whether name (a file name alone) is one of targetName's temporary names.
bool Plat_IsTempName(std::string_view name, std::string_view targetName);
// Creates the folder path and every folder above it that is missing, each with mode (less the
// umask); folders that exist are left as they are. Returns 0 or the errno of the level that
// could not be made.
int Plat_CreateFolders(const std::string& path, mode_t mode);
// The folder that holds the running program (where its icons and manual are installed); empty
// when it cannot be found.
std::string Plat_ProgramDir();

// What the system says of a file, as far as the downloads' local files need it.
struct PlatFileState {
    bool regular = false;  // a plain file: no folder, device or link
    bool link = false;     // a symbolic link, never followed
    bool named = false;    // still has a name in a folder (an open file may have lost it)
    int64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t modifiedNs = 0;  // the time of its last change, in nanoseconds of the system's epoch
};

// Looks at what lies at path without following a link there; 0 or the errno.
int Plat_LookAt(const char* path, PlatFileState* state);
// The state of the file that an open stream writes (the caller flushes first); 0 or the errno.
int Plat_StateOf(FILE* file, PlatFileState* state);
// Opens path for writing in binary, refusing a link at that name. keep <= 0: creates the file or
// empties it. keep > 0: the plain file there, at least keep bytes long, is cut to keep bytes and
// written from there on (ENOENT when it is shorter or no plain file). nullptr with errno set.
FILE* Plat_OpenForWriting(const char* path, int64_t keep);
// Ends writing to a stream whose last writes may have failed: what reached the file is flushed to
// the disk, and what the stream could not write is dropped, so closing it changes the file no
// more. 0 with the file's state when the file still has a name and its data are on disk;
// otherwise the errno (ENOENT when the file lost its name).
int Plat_KeepWritten(FILE* file, PlatFileState* state);
// Writes size bytes of data at offset of the file a stream opened, leaving the stream's own
// position and buffer alone; several threads may write distinct ranges at once. 0 or the errno.
int Plat_WriteAt(FILE* file, const char* data, size_t size, int64_t offset);
// Reserves the disk space of a file of size bytes where the file system allows it (the file is
// then that long); one that does not is left as it is. 0, or the errno (ENOSPC: no room).
int Plat_Reserve(FILE* file, int64_t size);

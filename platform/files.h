// Files: the path separator and the crash-safe replacement of a whole file.
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
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

// The one separator between directory and file names.
constexpr char PATH_SEP = '/';

// Writes data to a temporary file beside path's final target, flushes it to disk, renames it
// over the target and syncs the folder. Returns 0, or the errno of the step that failed (the
// temporary file is then removed). A failure to sync the folder after the rename is not
// reported: the new content is in place by then and a caller could not undo it.
int Plat_ReplaceFile(const char* path, const char* data, size_t length, mode_t newMode = 0666);
// Creates the folder path and every folder above it that is missing, each with mode (less the
// umask); folders that exist are left as they are. Returns 0 or the errno of the level that
// could not be made.
int Plat_CreateFolders(const std::string& path, mode_t mode);
// The folder that holds the running program (where its icons and manual are installed); empty
// when it cannot be found.
std::string Plat_ProgramDir();

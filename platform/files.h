// Files: the path separator and the crash-safe replacement of a whole file.
//
// Contract:
// - Any thread may call; nothing here keeps state.
// - Plat_ReplaceFile never leaves a half-written file under the target's name: either the
//   new content is complete under that name, or the old file is still there byte for byte.
// - Failures are returned as errno values, never thrown.
#pragma once

#include <cstddef>
#include <string>

// The one separator between directory and file names.
constexpr char PATH_SEP = '/';

// Writes data to a temporary file beside path, flushes it to disk and renames it over path.
// Returns 0, or the errno of the step that failed (the temporary file is then removed).
int Plat_ReplaceFile(const char* path, const char* data, size_t length);
// The folder that holds the running program (where its icons and manual are installed); empty
// when it cannot be found.
std::string Plat_ProgramDir();

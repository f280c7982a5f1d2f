// Settings store: registry-like keys and typed values kept in a text file in the registry
// export format, so that a person can read and edit it.
//
// Contract:
// - The store knows no key of the program; callers name a root, a key path whose levels are
//   separated by '\\', and a value name (empty or null for the key's default value). Key and
//   value names compare case-insensitively (ASCII) and keep the case they were first written in.
// - Called from the user-interface thread; nothing here keeps state between calls. Other
//   processes may write the same file at the same time: a write holds an advisory lock, reads
//   the file afresh, applies its one change and replaces the file whole, so no change is lost and
//   a crash leaves the old file intact. A value already stored with the same type and bytes is
//   not written again: the file stays as it is.
// - A file that cannot be parsed reads as an empty store; the first write copies it to
//   "<file>.bad" before replacing it.
// - Each call reads and parses the file once (regtext.h), in time linear in its size; a write
//   also sorts the keys.
// - Every call returns a Win32 error code (REG_OK on success) and reports nothing itself.
// - On Windows the values live in the registry itself, under the same roots and keys: there is
//   no file, RegStore_FilePath is empty and RegStore_CreateFile has nothing to create.
#pragma once

#include "store/regtext.h"  // REG_SZ and the other value types

#include <cstdint>
#include <string>

// The roots the store serves; only the current user's for now.
enum RegRoot { REG_ROOT_CURRENT_USER };

// Win32 error codes that the store returns.
constexpr int32_t REG_OK = 0;
constexpr int32_t REG_ERROR_FILE_NOT_FOUND = 2;
constexpr int32_t REG_ERROR_PATH_NOT_FOUND = 3;
constexpr int32_t REG_ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr int32_t REG_ERROR_ACCESS_DENIED = 5;
constexpr int32_t REG_ERROR_INVALID_HANDLE = 6;  // an unknown root
constexpr int32_t REG_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr int32_t REG_ERROR_WRITE_PROTECT = 19;
constexpr int32_t REG_ERROR_GEN_FAILURE = 31;
constexpr int32_t REG_ERROR_INVALID_PARAMETER = 87;
constexpr int32_t REG_ERROR_DISK_FULL = 112;
constexpr int32_t REG_ERROR_FILENAME_EXCED_RANGE = 206;
constexpr int32_t REG_ERROR_FILE_TOO_LARGE = 223;
constexpr int32_t REG_ERROR_MORE_DATA = 234;

// Full path of the file that holds root: $XDG_CONFIG_HOME/Larkvale/Moonfetch.reg, with
// $HOME/.config standing in when XDG_CONFIG_HOME is unset, empty or relative.
std::string RegStore_FilePath(RegRoot root);

// Reads a value as RegOpenKeyExA and RegQueryValueExA do together, from one read of the file:
// type (may be null) receives its type, size its length in bytes. With data null only type and
// size are reported. When *size is smaller than the value, returns REG_ERROR_MORE_DATA and leaves
// data untouched. A missing key or value gives REG_ERROR_FILE_NOT_FOUND. keyResult (may be null)
// receives what opening the key alone gives: REG_OK when the key exists (the root always does),
// REG_ERROR_FILE_NOT_FOUND when not, or the code of a failure met before the key was looked up.
int32_t RegStore_QueryValue(RegRoot root, const char* subKey, const char* name, uint32_t* type,
                            void* data, uint32_t* size, int32_t* keyResult = nullptr);

// Stores size bytes as a value of the given type, creating the key and all its ancestors.
// Names holding a control character are refused with REG_ERROR_INVALID_PARAMETER. On failure
// the file is left as it was.
int32_t RegStore_SetValue(RegRoot root, const char* subKey, const char* name, uint32_t type,
                          const void* data, uint32_t size);

// Creates the root's file, holding no key, when it does not exist yet; an existing file is
// left as it is.
int32_t RegStore_CreateFile(RegRoot root);

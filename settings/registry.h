// Registry helpers: the four calls through which every setting of the program is read and
// written, and the names of the program's keys and values.
//
// Contract:
// - User-interface thread only; the helpers keep nothing between calls.
// - Each helper returns a Win32 error code (0 on success) and reports nothing itself; a caller
//   whose read fails keeps its default, a failed write is ignored by the caller.
// - A failed read leaves the caller's buffer or target untouched, with the one exception that
//   Reg_ReadDword writes the data of a value shorter than 4 bytes before returning ERR_VALUE_SHORT.
#pragma once

#include "net/errors.h"
#include "store/regstore.h"

#include <cstddef>
#include <cstdint>

constexpr const char* REG_KEY_MOONFETCH = "Software\\Larkvale\\Moonfetch";
constexpr const char* REG_KEY_SCHEDULE = "Software\\Larkvale\\Moonfetch\\Schedule";
constexpr const char* REG_KEY_DIRECTORIES = "Software\\Larkvale\\Moonfetch\\Directories";
constexpr const char* REG_KEY_COOKIES = "Software\\Larkvale\\Moonfetch\\Cookies";

// Schedule: REG_DWORD hours of the download window, and 0/1 whether a run that came is followed
// by one the next night.
constexpr const char* REG_VAL_BEGIN_HOUR = "BeginHour";
constexpr const char* REG_VAL_END_HOUR = "EndHour";
constexpr const char* REG_VAL_EVERY_NIGHT = "EveryNight";
// Directories: REG_SZ download directory, REG_DWORD 0/1 options.
constexpr const char* REG_VAL_DOWNLOAD = "Download";
constexpr const char* REG_VAL_ASK_EVERY = "AskEvery";
constexpr const char* REG_VAL_USE_EXTENSION = "UseExtension";
constexpr const char* REG_VAL_ALLOW_HTML = "AllowHTML";
// Directories: REG_DWORD connections per download, total rate limit in KiB/s (0: none), and 0/1
// whether the scheduled run ignores the limit.
constexpr const char* REG_VAL_CONNECTIONS = "Connections";
constexpr const char* REG_VAL_RATE_LIMIT = "RateLimit";
constexpr const char* REG_VAL_SCHEDULE_FULL_RATE = "ScheduleFullRate";
// Cookies: REG_DWORD source and "if other" flag, REG_SZ user and file names.
constexpr const char* REG_VAL_SOURCE = "Source";
constexpr const char* REG_VAL_IF_OTHER = "IfOther";
constexpr const char* REG_VAL_USER_NAME = "UserName";
constexpr const char* REG_VAL_OTHER_NAME = "OtherName";

// Reads a value as text into buffer; *size is the capacity in, the bytes returned (terminator
// included) out. A value that does not fit with its terminator gives REG_ERROR_MORE_DATA.
int32_t Reg_ReadString(RegRoot root, const char* subKey, const char* name, char* buffer,
                       uint32_t* size);
// 0, or the positive code when the key cannot be opened, ERR_VALUE_MISSING when the value is
// missing or longer than 4 bytes, ERR_VALUE_SHORT when it is shorter (its bytes are then in
// *value). The type is not checked.
int32_t Reg_ReadDword(RegRoot root, const char* subKey, const char* name, int32_t* value);
// Writes a REG_DWORD, creating the key path.
int32_t Reg_WriteDword(RegRoot root, const char* subKey, const char* name, int32_t value);
// Writes a REG_SZ with its terminating NUL, creating the key path.
int32_t Reg_WriteString(RegRoot root, const char* subKey, const char* name, const char* text);

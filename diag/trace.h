// Trace log: the plain-text diagnostic file "moonfch_log.txt" that every module writes to.
//
// Contract:
// - One process-wide log. Trace_Open/Trace_Close are called by the download core on the
//   user-interface thread; the print calls may come from any thread at any time.
// - Each thread's text is gathered into lines; a line reaches the file in one write as soon as
//   the text that ends it ("\n") is printed, so the log is current while the program runs and
//   keeps every whole line when the process is killed. A line printed in two calls (the cookie
//   trace) is never cut by another thread's line; a line still open at Trace_Close is dropped.
// - Trace_Close never closes the file under a write in progress.
// - A print is written only while the log is open and level & mask != 0. A log that cannot be
//   opened stays closed and every print does nothing; that is reported only for a symbolic
//   link at the log's name, which is never followed, on standard error.
// - The texts printed (never the formats) show their control characters escaped: LF, CR and TAB
//   as "\n", "\r" and "\t", every other one byte by byte as "\xNN" (lower-case hex), so that a
//   line ends only where a format ends it and a terminal showing the log obeys none of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr uint32_t TRACE_ALL = 0xFFFFFFFFu;

// Closes an open log, then creates fileName afresh (a symbolic link there is neither followed
// nor replaced); returns the stream or null on failure.
FILE* Trace_Open(const char* fileName);
void Trace_Close();
// ORs mask into the level mask; bits are never cleared.
void Trace_EnableLevels(uint32_t mask);
// Writes text and a line end.
void Trace_Print(uint32_t level, const char* text);
// Writes format with one "%d"; the format carries its own line end.
void Trace_PrintInt(uint32_t level, const char* format, int32_t value);
// Writes format with one "%d" that stands for a 64-bit value (sizes, byte counts).
void Trace_PrintInt64(uint32_t level, const char* format, int64_t value);
// Writes format with one "%s"; the format carries its own line end.
void Trace_PrintString(uint32_t level, const char* format, const char* text);
// Bytes of the control character that text begins with: 1 for a C0 control or DEL, 2 for a C1
// control in UTF-8 (U+0080 to U+009F), 0 for anything else (the NUL that ends text included).
size_t Trace_ControlLength(const char* text);

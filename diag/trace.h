// Trace log: the plain-text diagnostic file "moonfch_log.txt" that every module writes to.
//
// Contract:
// - One process-wide log. Trace_Open/Trace_Close are called by the download core on the
//   user-interface thread; the print calls may come from any thread at any time.
// - Every print call writes its whole text in one piece: the texts of two calls never mix,
//   and Trace_Close never closes the stream under a write in progress.
// - A print is written only while the log is open and level & mask != 0. Nothing is ever
//   reported: a log that cannot be opened stays closed and every print does nothing.
// - The stream is buffered and never flushed by a print; lines reach the file when the
//   buffer fills or the log is closed.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint32_t TRACE_ALL = 0xFFFFFFFFu;

// Closes an open log, then creates fileName afresh; returns the stream or null on failure.
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

// Pending-list file: the valid items survive a restart in "moonfch_saved.txt".
//
// Contract:
// - User-interface thread only: the shell loads once at start (after MOONQ_Start) and saves
//   whenever the set of valid items changes and at exit (before MOONQ_Stop).
// - The file is a header line, then three lines per valid item: URL, local path, and a size
//   line. Lines are read whole whatever their length; LF and CR LF both end a line. A negative
//   size reads as 0 (unknown); a path too long for an item reads as empty.
// - The size line is the size in decimal, then, each behind a TAB and only when there is one,
//   "etag=<ETag>", "modified=<Last-Modified>", "part=<bytes of the local file already
//   downloaded>", "done=<every range of it downloaded>" (core/segments.h's text form; only
//   when there are more than the part, which is then the range at the file's start) and, with a part, what identifies its file: "device=", "inode=" and
//   "mtime=<nanoseconds since 1970>", each left out when 0 (not recorded). Readers that take
//   the line's leading number the way atoi does (every earlier version) see only the size,
//   and a file of theirs reads here as items without a version and without a part. The extra
//   fields stay on the size line because a fourth line per item would be read by those readers
//   as the URL of another item. ETags and dates holding a TAB or any other control character
//   are never stored; unknown fields are skipped, so later versions may add their own.
// - A save replaces the file atomically: a failed save (full disk, no rights) leaves the
//   previous file byte for byte. Nothing is ever reported to the person.
// - MOONQ_SavePendingSoon builds the text on the calling thread and leaves the writing (and
//   its sync to disk) to one saver thread, so the work timer never waits for the disk. Saves
//   reach the file in the order they were made: MOONQ_SavePending first waits for a save
//   handed off earlier, and MOONQ_FinishSaves (run by MOONQ_Stop, after the exit's last save)
//   waits until every handed-off save is written and ends the saver thread.
#pragma once

#include <cstddef>

constexpr const char* PENDING_FILE = "moonfch_saved.txt";

// Writes every valid item of pendingList, in order, before returning; 0 or the errno of the
// failed step.
int MOONQ_SavePending();
// Hands the same text to the saver thread and returns at once; a text handed off earlier and
// not yet being written is dropped for it.
void MOONQ_SavePendingSoon();
// Waits for the handed-off saves and ends the saver thread.
void MOONQ_FinishSaves();
// Appends the saved items to pendingList as valid items; returns how many were created.
size_t MOONQ_LoadPending();
// Cuts the line ends (LF, CR) off the end of line, in place.
void MOONQ_TrimNewlines(char* line);

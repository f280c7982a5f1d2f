// Pending-list file: the valid items survive a restart in "moonfch_saved.txt".
//
// Contract:
// - User-interface thread only: the shell loads once at start (after MOONQ_Start) and saves
//   whenever the set of valid items changes and at exit (before MOONQ_Stop).
// - The file is a header line, then three lines per valid item: URL, local path, size in
//   decimal. Lines are read whole whatever their length; LF and CR LF both end a line. A
//   negative size reads as 0 (unknown); a path too long for an item reads as empty.
// - A save replaces the file atomically: a failed save (full disk, no rights) leaves the
//   previous file byte for byte. Nothing is ever reported to the person.
#pragma once

#include <cstddef>

constexpr const char* PENDING_FILE = "moonfch_saved.txt";

// Writes every valid item of pendingList, in order; returns 0 or the errno of the failed step.
int MOONQ_SavePending();
// Appends the saved items to pendingList as valid items; returns how many were created.
size_t MOONQ_LoadPending();
// Cuts the line ends (LF, CR) off the end of line, in place.
void MOONQ_TrimNewlines(char* line);

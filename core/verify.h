// The check of a finished download against the checksum its server claims (web/checksums.h).
//
// Contract:
// - Runs on the download's worker thread, on the request it holds, in this order per try:
//   MOONQ_BeginVerify once the answer decided where its data go; MOONQ_HashWritten for each
//   block written (with where it lies in the file); at the end MOONQ_VerifyFile when the whole
//   file is on disk and closed, else MOONQ_DropVerify.
// - The claim that counts is the answer's own; without one, the claim the query or an earlier
//   answer left on the item, as long as this answer names no other version. It stays on the
//   item (in memory only) for a later try that continues the part.
// - A file written from its start in one go is hashed while it is written; any other (a part
//   continued, a file that was complete already) is read back once at the end.
// - A match is traced, and noted in the item's text under ITEM_CHECKSUM_NOTE. A mismatch (or a
//   file that cannot be read back) discards the file's data and its part, so that the next try
//   fetches the whole file again.
#pragma once

#include <cstddef>
#include <cstdint>

struct UrlRequest;

// Chooses the claim the file is held to and starts hashing when the data begin at byte 0;
// sameVersion: the answer names no version other than the item's.
void MOONQ_BeginVerify(UrlRequest* request, int64_t from, bool sameVersion);
// Hashes size bytes just written at offset at of the file; bytes that do not follow those hashed
// so far end the hashing, and the file is read back at the end instead.
void MOONQ_HashWritten(UrlRequest* request, int64_t at, const void* data, size_t size);
// 1 when the closed file matches the claim or none was made; ERR_CHECKSUM_MISMATCH once the
// file's data and part are discarded.
int32_t MOONQ_VerifyFile(UrlRequest* request);
// Ends the hashing of a try that did not leave the whole file.
void MOONQ_DropVerify(UrlRequest* request);

// What a server claims the checksum of a file to be, from its answer's headers.
//
// Contract:
// - The headers read, and the forms taken (any other algorithm is ignored):
//   Repr-Digest and Content-Digest, a structured-field dictionary whose members sha-256 and
//   sha-512 hold a byte sequence ("sha-256=:<base64>:", parameters allowed and ignored);
//   Digest, a list of "<algorithm>=<base64>" with SHA-256, SHA-512 and MD5 in any case;
//   Content-MD5, the base64 of an MD5 alone; x-goog-hash, a list of "crc32c=<base64>" and
//   "md5=<base64>".
// - A value that is not valid base64 (padding may be left off) or not as long as its
//   algorithm's digest is ignored, as is a whole dictionary that does not parse: nothing
//   malformed is ever trusted. In a dictionary the last member of a name counts.
// - Repr-Digest, Digest and x-goog-hash speak of the whole file even in an answer that sends a
//   part of it; Content-Digest and Content-MD5 of the body sent, so only where that body is
//   the whole file. x-goog-hash is left out when the server says it unpacked the stored data
//   on the way ("x-guploader-response-body-transformations: gunzipped"): it speaks of the
//   packed data.
// - Of several claims the one of the strongest algorithm counts (SHA-512, SHA-256, MD5,
//   CRC32C), among equals that of the header named first above.
// - The client sees only the last line of a header sent on several lines.
// - Any thread; nothing is kept between calls.
#pragma once

#include "net/digest.h"
#include "net/inet.h"

#include <cstdint>

// The headers a claim may come from, in the order that decides between claims of one algorithm.
enum class ChecksumSource : int32_t { ReprDigest, ContentDigest, Digest, ContentMd5, GoogHash };

// What a request sends to ask for the file's checksum.
constexpr char CHECKSUM_WANTED[] = "Want-Repr-Digest: sha-256=10, sha-512=3\r\n";

struct ChecksumClaim {
    DigestAlgorithm algorithm;   // None: no claim
    ChecksumSource source;
    uint8_t value[DIGEST_CAPACITY];
};

// Takes the claims of one header's value into best, where one is stronger than best's.
void Checksums_Parse(ChecksumSource source, const char* value, ChecksumClaim* best);
// The strongest claim of a success answer about the whole file; bodyIsFile: the answer's body
// is the whole file (a 200 to a GET).
ChecksumClaim Checksums_OfAnswer(InetHandle* answer, bool bodyIsFile);
// The name of the algorithm as a dictionary names it ("sha-256").
const char* Checksums_AlgorithmName(DigestAlgorithm algorithm);
// The header a claim came from.
const char* Checksums_SourceName(ChecksumSource source);

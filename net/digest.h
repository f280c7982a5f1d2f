// Checksums of file data: MD5, SHA-256 and SHA-512 from the system's hashing (OpenSSL's libcrypto
// on Linux, BCrypt on Windows), and CRC32C (the Castagnoli polynomial) in portable code.
//
// Contract:
// - A DigestContext hashes one stream of bytes: Digest_Begin, any number of Digest_Add, then
//   Digest_End, which writes the digest and releases the context. Digest_Free releases one that
//   is not to be finished. A context belongs to the one thread that uses it; any thread may
//   have its own.
// - Digests are raw bytes, as they stand in the headers that name them (a CRC32C as its four
//   bytes in big-endian order); Digest_Length tells how many.
// - Failure (the system's hashing refused) returns null or false; nothing is thrown.
#pragma once

#include <cstddef>
#include <cstdint>

enum class DigestAlgorithm : int32_t { None, Crc32c, Md5, Sha256, Sha512 };

// Room for the longest digest (SHA-512).
constexpr size_t DIGEST_CAPACITY = 64;

struct DigestContext;

// The bytes of the algorithm's digest; 0 for None.
size_t Digest_Length(DigestAlgorithm algorithm);
// A context for algorithm; null for None or when the system cannot hash with it.
DigestContext* Digest_Begin(DigestAlgorithm algorithm);
bool Digest_Add(DigestContext* context, const void* data, size_t size);
// Writes the digest into out (room for DIGEST_CAPACITY bytes) and releases the context.
bool Digest_End(DigestContext* context, uint8_t* out);
// Releases a context without finishing it; null is allowed.
void Digest_Free(DigestContext* context);
// CRC32C of size bytes behind the crc of what came before them (0 at the start).
uint32_t Digest_Crc32c(uint32_t crc, const void* data, size_t size);

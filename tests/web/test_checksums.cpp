#include "web/checksums.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using Source = ChecksumSource;

// The digests of no bytes, and one of "abc" where two claims must differ.
const std::string SHA256 = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";
const std::string SHA256_ABC = "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";
const std::string SHA512 = "z4PhNX7vuL3xVChQ1m2AB9Yg5AULVxXcg/SpIdNs6c5H0NE8XYXysP+DGNKHfuwvY7kxvUdBeoGlODJ6+SfaPg==";
const std::string MD5 = "1B2M2Y8AsgTpgAmY7PhCfg==";
const std::string CRC32C_123456789 = "4waSgw==";

// "<algorithm> <header> <first four bytes in hex>", or "" without a claim.
std::string describe(const ChecksumClaim& claim)
{
    if (claim.algorithm == DigestAlgorithm::None)
        return "";
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", claim.value[0], claim.value[1], claim.value[2], claim.value[3]);
    return std::string(Checksums_AlgorithmName(claim.algorithm)) + " " + Checksums_SourceName(claim.source) + " " + hex;
}

TEST(Checksums, EachHeaderFormGivesItsStrongestWellFormedClaimAndNothingMalformedIsTrusted)
{
    const std::string S256 = "sha-256 Repr-Digest e3b0c442";
    const struct { std::vector<std::pair<Source, std::string>> headers; std::string claim; } cases[] = {
        {{{Source::ReprDigest, "sha-256=:" + SHA256 + ":"}}, S256},
        {{{Source::ReprDigest, "sha-512=:" + SHA512 + ":, sha-256=:" + SHA256 + ":"}}, "sha-512 Repr-Digest cf83e135"},
        {{{Source::ReprDigest, "unixsum=30637,\tsha-256=:" + SHA256 + ":;ts=1;v=\"a,b\", md5=:" + MD5 + ":"}}, S256},
        {{{Source::ReprDigest, "sha-256=:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU:"}}, S256},   // unpadded
        {{{Source::ReprDigest, "sha-256=:" + SHA256 + ":, sha-512"}}, S256},        // a sha-512 with no value
        {{{Source::ReprDigest, "sha-256=:" + SHA256_ABC + ":, sha-256=:" + SHA256 + ":"}}, S256},   // the last counts
        {{{Source::ReprDigest, "sha-256=:" + SHA256 + ":, sha-256=:AAAA:"}}, ""},
        {{{Source::ReprDigest, "sha-256=:" + MD5 + ":"}}, ""},                      // too short for its algorithm
        {{{Source::ReprDigest, "sha-256=" + SHA256}}, ""},                          // not a byte sequence
        {{{Source::ReprDigest, "sha-256=:47DE*pj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=:"}}, ""},
        {{{Source::ReprDigest, "sha-256=:" + SHA256}}, ""},                         // unclosed
        // A dictionary that does not parse counts for nothing, its good members neither.
        {{{Source::ReprDigest, "SHA-256=:" + SHA256 + ":"}}, ""},
        {{{Source::ReprDigest, "sha-256=:" + SHA256 + ": sha-512=:" + SHA512 + ":"}}, ""},
        {{{Source::ReprDigest, "sha-256=:" + SHA256 + ":,"}}, ""},
        {{{Source::ContentDigest, "sha-256=:" + SHA256 + ":"}}, "sha-256 Content-Digest e3b0c442"},
        {{{Source::Digest, "SHA-256=" + SHA256 + ",MD5=" + MD5}}, "sha-256 Digest e3b0c442"},
        {{{Source::Digest, "md5=" + MD5 + ", UNIXsum=30637, SHA=2jmj7l5rSw0yVb/vlWAYkK/YBwk="}}, "md5 Digest d41d8cd9"},
        {{{Source::Digest, "SHA-512=" + SHA512.substr(4)}}, ""},
        {{{Source::Digest, "SHA-256=not base64!"}}, ""},
        {{{Source::ContentMd5, " " + MD5 + " "}}, "md5 Content-MD5 d41d8cd9"},
        {{{Source::ContentMd5, "d41d8cd98f00b204e9800998ecf8427e"}}, ""},         // hex, not base64
        {{{Source::GoogHash, "crc32c=" + CRC32C_123456789}}, "crc32c x-goog-hash e3069283"},
        {{{Source::GoogHash, "crc32c=" + CRC32C_123456789 + ", md5=" + MD5}}, "md5 x-goog-hash d41d8cd9"},
        {{{Source::GoogHash, "crc32c=4waSgx=="}}, ""},                             // stray bits in its last character
        {{{Source::GoogHash, "crc32c=4waSgw="}}, ""},                              // padded short
        // Between headers the stronger algorithm wins, and among equals the header met first.
        {{{Source::ReprDigest, "sha-256=:" + SHA256 + ":"}, {Source::Digest, "SHA-256=" + SHA256_ABC}}, S256},
        {{{Source::ReprDigest, "sha-256=:" + SHA256 + ":"}, {Source::Digest, "SHA-512=" + SHA512}},
         "sha-512 Digest cf83e135"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.headers.front().second);
        ChecksumClaim claim{};
        for (const auto& [source, value] : c.headers)
            Checksums_Parse(source, value.c_str(), &claim);
        EXPECT_EQ(describe(claim), c.claim);
    }
}

}  // namespace

#include "net/digest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hexOf(const uint8_t* bytes, size_t count)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < count; ++i)
        hex += std::string{DIGITS[bytes[i] >> 4], DIGITS[bytes[i] & 15]};
    return hex;
}

// The published check values of each algorithm, hashed in two pieces as a download's blocks come.
TEST(Digest, EachAlgorithmGivesItsKnownDigestOverPiecesAndNoneGivesNoContext)
{
    const struct { DigestAlgorithm algorithm; std::string text, digest; } cases[] = {
        {DigestAlgorithm::Crc32c, "123456789", "e3069283"},
        {DigestAlgorithm::Md5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {DigestAlgorithm::Sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {DigestAlgorithm::Sha512, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {DigestAlgorithm::Sha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.digest);
        DigestContext* context = Digest_Begin(c.algorithm);
        ASSERT_NE(context, nullptr);
        const size_t half = c.text.size() / 2;
        ASSERT_TRUE(Digest_Add(context, c.text.data(), half));
        ASSERT_TRUE(Digest_Add(context, c.text.data() + half, c.text.size() - half));
        uint8_t out[DIGEST_CAPACITY];
        ASSERT_TRUE(Digest_End(context, out));
        EXPECT_EQ(hexOf(out, Digest_Length(c.algorithm)), c.digest);
    }
    EXPECT_EQ(Digest_Begin(DigestAlgorithm::None), nullptr);
    Digest_Free(Digest_Begin(DigestAlgorithm::Md5));   // unfinished: released all the same
}

}  // namespace

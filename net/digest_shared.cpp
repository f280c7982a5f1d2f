#include "net/digest.h"

#include <array>

namespace {

// The reflected Castagnoli polynomial.
constexpr uint32_t CRC32C_POLYNOMIAL = 0x82F63B78u;

constexpr std::array<uint32_t, 256> makeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1) ? CRC32C_POLYNOMIAL : 0);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> CRC_TABLE = makeCrcTable();

}  // namespace

size_t Digest_Length(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Crc32c:
        return 4;
    case DigestAlgorithm::Md5:
        return 16;
    case DigestAlgorithm::Sha256:
        return 32;
    case DigestAlgorithm::Sha512:
        return 64;
    case DigestAlgorithm::None:
        break;
    }
    return 0;
}

uint32_t Digest_Crc32c(uint32_t crc, const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = CRC_TABLE[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

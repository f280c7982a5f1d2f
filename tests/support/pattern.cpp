#include "tests/support/pattern.h"

namespace moontest {

std::string patternBytes(uint64_t offset, size_t count)
{
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(((offset + i + 1) * 0x9E3779B97F4A7C15ull) >> 56);
    return bytes;
}

}  // namespace moontest

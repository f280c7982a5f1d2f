// The bytes that the test servers serve: byte i depends on i alone, so a gap, a repeat or a shift
// in a download shows. Shared by the Linux tests and the Windows ones, which the Linux side
// serves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace moontest {

// count bytes of the pattern, starting at offset.
std::string patternBytes(uint64_t offset, size_t count);

}  // namespace moontest

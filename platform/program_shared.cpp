#include "platform/program.h"

#include <cerrno>
#include <new>

int Plat_AppendBlock(std::string* text, const char* block, size_t length, size_t limit)
{
    // Failures are returned, never thrown: a text that cannot grow is a read that failed.
    try {
        text->append(block, length);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return text->size() > limit ? EFBIG : 0;
}

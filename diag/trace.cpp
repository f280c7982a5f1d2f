#include "trace.h"

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

namespace {

std::mutex logLock;              // guards logStream and every write into it
FILE* logStream = nullptr;
std::atomic<uint32_t> levelMask{0};

// Runs write(stream) under the lock when the level passes the gate and the log is open.
template <typename Write>
void printGated(uint32_t level, Write write)
{
    if ((level & levelMask.load(std::memory_order_relaxed)) == 0)
        return;
    std::lock_guard guard(logLock);
    if (logStream)
        write(logStream);
}

}  // namespace

FILE* Trace_Open(const char* fileName)
{
    std::lock_guard guard(logLock);
    if (logStream)
        std::fclose(logStream);
    logStream = std::fopen(fileName, "w");
    return logStream;
}

void Trace_Close()
{
    std::lock_guard guard(logLock);
    if (logStream)
        std::fclose(logStream);
    logStream = nullptr;
}

void Trace_EnableLevels(uint32_t mask)
{
    levelMask.fetch_or(mask, std::memory_order_relaxed);
}

void Trace_Print(uint32_t level, const char* text)
{
    printGated(level, [&](FILE* f) { std::fprintf(f, "%s\n", text); });
}

void Trace_PrintInt(uint32_t level, const char* format, int32_t value)
{
    printGated(level, [&](FILE* f) { std::fprintf(f, format, value); });
}

void Trace_PrintInt64(uint32_t level, const char* format, int64_t value)
{
    // The formats keep the program's "%d"; only the number is written 64 bits wide.
    std::string_view text(format);
    size_t at = text.find("%d");
    std::string line(text.substr(0, at));
    if (at != std::string_view::npos)
        line.append(std::to_string(value)).append(text.substr(at + 2));
    printGated(level, [&](FILE* f) { std::fputs(line.c_str(), f); });
}

void Trace_PrintString(uint32_t level, const char* format, const char* text)
{
    printGated(level, [&](FILE* f) { std::fprintf(f, format, text); });
}

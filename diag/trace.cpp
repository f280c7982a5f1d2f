#include "trace.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>

namespace {

std::mutex logLock;              // guards logStream, openLines and every write into the file
FILE* logStream = nullptr;
std::atomic<uint32_t> levelMask{0};
// The start of a line that a thread has begun and not yet ended, by thread.
std::map<std::thread::id, std::string> openLines;

// One write for the whole line: it is in the file as soon as it is complete, and a kill never
// leaves half of it there.
void writeLine(const std::string& line)
{
    const char* at = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(::fileno(logStream), at, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        at += written;
        left -= size_t(written);
    }
}

// When the level passes the gate, adds the text that makeText() returns to the calling thread's
// line, and writes the line once that text ends it.
template <typename MakeText>
void printGated(uint32_t level, MakeText makeText)
{
    if ((level & levelMask.load(std::memory_order_relaxed)) == 0)
        return;
    std::string text = makeText();
    std::lock_guard guard(logLock);
    if (!logStream)
        return;
    std::string& line = openLines[std::this_thread::get_id()];
    line.append(text);
    if (!line.empty() && line.back() != '\n')
        return;
    writeLine(line);
    openLines.erase(std::this_thread::get_id());
}

template <typename Value>
std::string formatted(const char* format, Value value)
{
    int length = std::snprintf(nullptr, 0, format, value);
    if (length <= 0)
        return {};
    std::string text(size_t(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format, value);
    return text;
}

// Under logLock. A line still open is dropped: the file holds whole lines only.
void closeStream()
{
    if (logStream)
        std::fclose(logStream);
    logStream = nullptr;
    openLines.clear();
}

}  // namespace

FILE* Trace_Open(const char* fileName)
{
    std::lock_guard guard(logLock);
    closeStream();
    // A link is not followed: it could name a file elsewhere that the log would overwrite.
    const int fd = ::open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ELOOP)
        std::fprintf(stderr, "Moonfetch: %s is a symbolic link; running without a trace log.\n", fileName);
    logStream = fd < 0 ? nullptr : ::fdopen(fd, "w");
    if (fd >= 0 && logStream == nullptr)
        ::close(fd);
    return logStream;
}

void Trace_Close()
{
    std::lock_guard guard(logLock);
    closeStream();
}

void Trace_EnableLevels(uint32_t mask)
{
    levelMask.fetch_or(mask, std::memory_order_relaxed);
}

void Trace_Print(uint32_t level, const char* text)
{
    printGated(level, [&] { return formatted("%s\n", text); });
}

void Trace_PrintInt(uint32_t level, const char* format, int32_t value)
{
    printGated(level, [&] { return formatted(format, value); });
}

void Trace_PrintInt64(uint32_t level, const char* format, int64_t value)
{
    // The formats keep the program's "%d"; only the number is written 64 bits wide.
    printGated(level, [&] {
        std::string_view text(format);
        size_t at = text.find("%d");
        std::string line(text.substr(0, at));
        if (at != std::string_view::npos)
            line.append(std::to_string(value)).append(text.substr(at + 2));
        return line;
    });
}

void Trace_PrintString(uint32_t level, const char* format, const char* text)
{
    printGated(level, [&] { return formatted(format, text); });
}

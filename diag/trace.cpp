#include "diag/trace.h"

#include <atomic>
#include <cerrno>
#include <cstring>
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

// The escapes with a name of their own; every other control character is written as "\xNN".
struct NamedEscape {
    char control;
    const char* text;
};

constexpr NamedEscape NAMED_ESCAPES[] = {{'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}};

void appendEscape(std::string& out, unsigned char c)
{
    for (const NamedEscape& named : NAMED_ESCAPES) {
        if (c == static_cast<unsigned char>(named.control)) {
            out.append(named.text);
            return;
        }
    }
    static constexpr char HEX[] = "0123456789abcdef";
    out.append("\\x").push_back(HEX[c >> 4]);
    out.push_back(HEX[c & 0xF]);
}

// A printed text with its control characters escaped.
std::string escaped(const char* text)
{
    std::string out;
    out.reserve(std::strlen(text));
    for (const char* at = text; *at != '\0';) {
        size_t control = Trace_ControlLength(at);
        if (control == 0)
            out.push_back(*at++);
        for (; control > 0; --control)
            appendEscape(out, static_cast<unsigned char>(*at++));
    }
    return out;
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
    // A link is not followed: it could name a file elsewhere that the log would overwrite. The
    // log names the sites visited, so a new one is its owner's alone.
    const int fd = ::open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
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
    printGated(level, [&] { return escaped(text).append("\n"); });
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
    printGated(level, [&] { return formatted(format, escaped(text).c_str()); });
}

size_t Trace_ControlLength(const char* text)
{
    const auto c = static_cast<unsigned char>(text[0]);
    if ((c > 0 && c < 0x20) || c == 0x7F)
        return 1;
    // Reads on behind the lead byte only: a NUL ends the text before it.
    const auto next = c == 0xC2 ? static_cast<unsigned char>(text[1]) : 0;
    return next >= 0x80 && next <= 0x9F ? 2 : 0;
}

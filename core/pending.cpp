#include "core/pending.h"

#include "core/items.h"
#include "core/workers.h"
#include "platform/files.h"
#include "platform/text.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace {

constexpr const char* PENDING_HEADER = "1.2, Moonfetch pending URL list for internal use.\n";
// The fields after the size, each "\t<key>=<value>".
constexpr std::string_view ETAG_KEY = "etag=";
constexpr std::string_view MODIFIED_KEY = "modified=";
constexpr std::string_view PART_KEY = "part=";
// Every range of the file already downloaded, when they are more than the part at its start.
constexpr std::string_view DONE_KEY = "done=";
// What identifies the file that holds the part.
constexpr std::string_view DEVICE_KEY = "device=";
constexpr std::string_view INODE_KEY = "inode=";
constexpr std::string_view MTIME_KEY = "mtime=";
// "page=1": the query found a web page, so an allowed page still downloads after a restart.
constexpr std::string_view PAGE_KEY = "page=";
// Room in the text for an item's numbers, keys and line ends besides its texts.
constexpr size_t ITEM_OVERHEAD = 160;

// The saved list, read a block at a time: a call per character would cost about a fifth of a
// start with a long list.
struct LineReader {
    FILE* file = nullptr;
    char block[64 * 1024];
    size_t at = 0;     // the next unread byte of block
    size_t held = 0;   // bytes of block read from the file
};

// Reads the next whole line, any length, into line; false at the end of the file.
bool readLine(LineReader& reader, std::string& line)
{
    line.clear();
    bool ended = false;   // by its LF
    while (!ended) {
        if (reader.at == reader.held) {
            reader.at = 0;
            reader.held = std::fread(reader.block, 1, sizeof reader.block, reader.file);
            if (reader.held == 0)
                break;
        }
        const char* start = reader.block + reader.at;
        const size_t left = reader.held - reader.at;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', left));
        const size_t taken = lf != nullptr ? size_t(lf - start) : left;
        line.append(start, taken);
        ended = lf != nullptr;
        reader.at += taken + (ended ? 1 : 0);
    }
    if (!ended && line.empty())
        return false;
    MOONQ_TrimNewlines(line.data());
    line.resize(std::strlen(line.c_str()));
    return true;
}

// Copies a saved local path into the item; one too long to hold is dropped rather than cut,
// since a cut path would name some other file.
void setLocalPath(UrlItem* item, const std::string& path)
{
    if (path.size() < sizeof item->localPath)
        MOONQ_SetLocalName(item, path.c_str());
}

// A validator as it may be stored: it fits and holds no control character (a TAB would end
// its field).
template <size_t N>
void setValidator(char (&to)[N], std::string_view value)
{
    const bool clean = std::none_of(value.begin(), value.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (clean && value.size() < N) {
        std::memcpy(to, value.data(), value.size());
        to[value.size()] = '\0';
    }
}

// A field's number; 0 (nothing recorded) unless the value is all digits and fits.
uint64_t readNumber(std::string_view value)
{
    uint64_t number = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    return error == std::errc() && end == value.data() + value.size() ? number : 0;
}

// The fields behind the size: the version, the part and its file, unknown ones skipped.
// The ranges done that the "done=" field names; a field that does not read wholly records none.
void readDone(UrlItem* item, std::string_view text)
{
    SegDone ranges{};
    if (Seg_Parse(text, &ranges))
        MOONQ_SetPartRanges(item, ranges);
}

void readSizeFields(UrlItem* item, std::string_view line)
{
    for (size_t tab = line.find('\t'); tab != std::string_view::npos;) {
        const size_t next = line.find('\t', tab + 1);
        const std::string_view field = line.substr(tab + 1, next - tab - 1);
        if (field.starts_with(ETAG_KEY))
            setValidator(item->etag, field.substr(ETAG_KEY.size()));
        else if (field.starts_with(MODIFIED_KEY))
            setValidator(item->lastModified, field.substr(MODIFIED_KEY.size()));
        else if (field.starts_with(PART_KEY))
            item->partDone = std::max<int64_t>(Text_LeadingNumber(std::string(field.substr(PART_KEY.size())).c_str()), 0);
        else if (field.starts_with(DONE_KEY))
            readDone(item, field.substr(DONE_KEY.size()));
        else if (field.starts_with(DEVICE_KEY))
            item->partFile.device = readNumber(field.substr(DEVICE_KEY.size()));
        else if (field.starts_with(INODE_KEY))
            item->partFile.inode = readNumber(field.substr(INODE_KEY.size()));
        else if (field.starts_with(MTIME_KEY))
            item->partFile.modifiedNs = readNumber(field.substr(MTIME_KEY.size()));
        else if (field.starts_with(PAGE_KEY) && readNumber(field.substr(PAGE_KEY.size())) == 1)
            item->flags |= ITEM_QUERY_PAGE;
        tab = next;
    }
}

template <typename Number>
void appendNumber(std::string& text, Number value)
{
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, size_t(end - digits));
}

void appendField(std::string& text, std::string_view key, const char* value)
{
    if (value[0] != '\0')
        text.append("\t").append(key).append(value);
}

// A number field, left out when 0.
template <typename Number>
void appendNumberField(std::string& text, std::string_view key, Number value)
{
    if (value != 0) {
        text.append("\t").append(key);
        appendNumber(text, value);
    }
}

void appendItem(std::string& text, const UrlItem* item)
{
    text.append(item->url).append("\n");
    text.append(item->localPath).append("\n");
    appendNumber(text, item->size);
    appendField(text, ETAG_KEY, item->etag);
    appendField(text, MODIFIED_KEY, item->lastModified);
    const int64_t part = item->partDone.load(std::memory_order_relaxed);
    const SegDone& ranges = MOONQ_PartRanges(item);
    if (part > 0 || ranges.count > 0) {
        appendNumberField(text, PART_KEY, part);
        if (Seg_Bytes(ranges) > part)
            appendField(text, DONE_KEY, Seg_Format(ranges).c_str());
        appendNumberField(text, DEVICE_KEY, item->partFile.device);
        appendNumberField(text, INODE_KEY, item->partFile.inode);
        appendNumberField(text, MTIME_KEY, item->partFile.modifiedNs);
    }
    appendNumberField(text, PAGE_KEY, (item->flags.load() & ITEM_QUERY_PAGE) ? 1 : 0);
    text.append("\n");
}

// The whole file's text. Under the item lock: a download worker may be writing its item's
// version meanwhile.
std::string pendingText()
{
    auto lock = MOONQ_LockItem();
    size_t room = std::strlen(PENDING_HEADER);
    for (UrlItem* item = MOONQ_FirstItem(); item != nullptr; item = MOONQ_NextItem(item))
        if (item->flags & ITEM_VALID)
            room += std::strlen(item->url) + std::strlen(item->localPath) + std::strlen(item->etag) +
                    std::strlen(item->lastModified) + ITEM_OVERHEAD;
    std::string text;
    text.reserve(room);
    text.append(PENDING_HEADER);
    for (UrlItem* item = MOONQ_FirstItem(); item != nullptr; item = MOONQ_NextItem(item))
        if (item->flags & ITEM_VALID)
            appendItem(text, item);
    return text;
}

// The one thread that writes handed-off saves, and what it has still to write.
struct Saver {
    std::mutex lock;
    std::condition_variable changed;
    std::thread thread;
    std::string path;       // absolute, taken at the hand-off
    std::string text;
    bool queued = false;
    bool writing = false;
    bool stopping = false;
};

Saver saver;

// The list holds links that may carry tokens: a new one is its owner's alone.
int writeText(const std::string& path, const std::string& text)
{
    return Plat_ReplaceFile(path.c_str(), text.data(), text.size(), 0600);
}

void saverMain()
{
    std::unique_lock lock(saver.lock);
    for (;;) {
        saver.changed.wait(lock, [] { return saver.queued || saver.stopping; });
        if (!saver.queued)
            return;
        std::string path = std::move(saver.path);
        std::string text = std::move(saver.text);
        saver.queued = false;
        saver.writing = true;
        lock.unlock();
        writeText(path, text);
        lock.lock();
        saver.writing = false;
        saver.changed.notify_all();
    }
}

}  // namespace

void MOONQ_TrimNewlines(char* line)
{
    size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        line[--length] = '\0';
}

int MOONQ_SavePending()
{
    std::string text = pendingText();
    std::unique_lock lock(saver.lock);
    // This text is newer than one still waiting, and is written after the one being written.
    saver.queued = false;
    saver.changed.wait(lock, [] { return !saver.writing; });
    return writeText(PENDING_FILE, text);
}

void MOONQ_SavePendingSoon()
{
    std::string text = pendingText();
    std::error_code error;
    std::string path = Plat_PathText(std::filesystem::absolute(PENDING_FILE, error));
    std::unique_lock lock(saver.lock);
    if (!error && !saver.thread.joinable()) {
        try {
            saver.thread = std::thread(saverMain);
        } catch (const std::system_error&) {
            error = std::make_error_code(std::errc::resource_unavailable_try_again);
        }
    }
    if (error) {
        lock.unlock();
        MOONQ_SavePending();
        return;
    }
    saver.path = std::move(path);
    saver.text = std::move(text);
    saver.queued = true;
    saver.changed.notify_all();
}

void MOONQ_FinishSaves()
{
    {
        std::lock_guard lock(saver.lock);
        if (!saver.thread.joinable())
            return;
        saver.stopping = true;
        saver.changed.notify_all();
    }
    saver.thread.join();
    std::lock_guard lock(saver.lock);
    saver.thread = std::thread();
    saver.stopping = false;
}

size_t MOONQ_LoadPending()
{
    FILE* file = std::fopen(PENDING_FILE, "r");
    if (file == nullptr)
        return 0;
    std::unique_ptr<LineReader> reader(new (std::nothrow) LineReader);   // too big for a stack
    if (reader == nullptr) {
        std::fclose(file);
        return 0;
    }
    reader->file = file;
    size_t count = 0;
    std::string line;
    bool more = readLine(*reader, line) && readLine(*reader, line);  // the header is not looked at
    while (more) {
        UrlItem* item = MOONQ_NewItem(line.c_str());
        if (item == nullptr)
            break;
        ++count;
        item->flags = ITEM_VALID;
        if (!readLine(*reader, line))
            break;
        setLocalPath(item, line);
        if (!readLine(*reader, line))
            break;
        // No file has a negative size: an edited line reads as unknown.
        item->size = std::max<int64_t>(Text_LeadingNumber(line.c_str()), 0);
        readSizeFields(item, line);
        // A part alone, as every earlier version saved it, is one range from the file's start.
        if (const int64_t part = item->partDone.load(std::memory_order_relaxed); part > 0) {
            SegDone ranges = MOONQ_PartRanges(item);
            Seg_Add(&ranges, {0, part});
            MOONQ_SetPartRanges(item, ranges);
        }
        more = readLine(*reader, line);
    }
    std::fclose(file);
    return count;
}

#include "pending.h"

#include "files.h"
#include "items.h"
#include "text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* PENDING_HEADER = "1.2, Moonfetch pending URL list for internal use.\n";

// Reads the next whole line, any length, into line; false at the end of the file.
bool readLine(FILE* file, std::string& line)
{
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length = ::getline(&buffer, &capacity, file);
    if (length >= 0)
        line.assign(buffer);
    std::free(buffer);
    if (length < 0)
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
        std::memcpy(item->localPath, path.c_str(), path.size() + 1);
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
    std::string content = PENDING_HEADER;
    for (UrlItem* item = MOONQ_FirstItem(); item != nullptr; item = MOONQ_NextItem(item)) {
        if (!(item->flags & ITEM_VALID))
            continue;
        content.append(item->url).append("\n");
        content.append(item->localPath).append("\n");
        content.append(std::to_string(item->size)).append("\n");
    }
    return Plat_ReplaceFile(PENDING_FILE, content.data(), content.size());
}

size_t MOONQ_LoadPending()
{
    FILE* file = std::fopen(PENDING_FILE, "r");
    if (file == nullptr)
        return 0;
    size_t count = 0;
    std::string line;
    bool more = readLine(file, line) && readLine(file, line);  // the header is not looked at
    while (more) {
        UrlItem* item = MOONQ_NewItem(line.c_str());
        if (item == nullptr)
            break;
        ++count;
        item->flags = ITEM_VALID;
        if (!readLine(file, line))
            break;
        setLocalPath(item, line);
        if (!readLine(file, line))
            break;
        // No file has a negative size: an edited line reads as unknown.
        item->size = std::max<int64_t>(Text_LeadingNumber(line.c_str()), 0);
        more = readLine(file, line);
    }
    std::fclose(file);
    return count;
}

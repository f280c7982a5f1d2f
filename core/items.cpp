#include "core/items.h"

#include "diag/trace.h"
#include "platform/files.h"
#include "platform/text.h"
#include "web/expiry.h"
#include "web/urlparse.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <type_traits>
#include <unordered_map>

static_assert(std::is_standard_layout_v<UrlItem> && offsetof(UrlItem, link) == 0,
              "an item must start with its list link");

ListLink pendingList = {&pendingList, &pendingList};
ListLink deletedList = {&deletedList, &deletedList};
ListLink requestList = {&requestList, &requestList};

namespace {

char downloadDir[PATH_CAPACITY];
std::mutex downloadDirLock;   // the UI writes the directory while workers may read it

// How many items hold each local name, by the name's hash: the harvest of thousands of queries
// asks for each whether its name is free, and a walk of the list for each would take minutes.
// Workers give names too, hence the lock.
struct NameCounts {
    std::mutex lock;
    std::unordered_map<size_t, uint32_t> byKey;
};

// Never released: a query's worker may still name its item while the process exits.
NameCounts& nameCounts = *new NameCounts;

// Under nameCounts.lock.
void uncountName(UrlItem* item)
{
    if (!item->nameCounted)
        return;
    auto found = nameCounts.byKey.find(item->nameKey);
    if (--found->second == 0)
        nameCounts.byKey.erase(found);
    item->nameCounted = false;
}

// Calls visit(item, position) for each item of pendingList; visit may unlink the item.
template <typename Visit>
void forEachPending(Visit visit)
{
    size_t position = 0;
    for (ListLink* node = pendingList.next; node != &pendingList;) {
        ListLink* following = node->next;
        visit(MOONQ_ItemOf(node), position++);
        node = following;
    }
}

// The item's record of what was handed over, made empty on first use; null when memory is out.
HandedLink* handedOf(UrlItem* item)
{
    if (item->handed == nullptr)
        item->handed = new (std::nothrow) HandedLink{};
    return item->handed;
}

void freeHanded(HandedLink* handed)
{
    if (handed == nullptr)
        return;
    std::free(handed->cookies);
    std::free(handed->referrer);
    delete handed;
}

}  // namespace

UrlItem* MOONQ_ItemOf(ListLink* link)
{
    return reinterpret_cast<UrlItem*>(link);
}

UrlItem* MOONQ_NewItem(const char* url)
{
    size_t length = std::strlen(url);
    if (length > URL_LENGTH_LIMIT)
        return nullptr;
    auto* item = new (std::nothrow) UrlItem{};
    if (item == nullptr)
        return nullptr;
    std::memcpy(item->url, url, length + 1);
    item->expiresAt = Expiry_FromUrl(url);
    List_Init(&item->link);
    List_Append(&pendingList, &item->link);
    return item;
}

bool MOONQ_HandCookies(UrlItem* item, const char* cookieHeader)
{
    const size_t length = std::strlen(cookieHeader);
    // No byte may end the header line early or smuggle in another.
    for (size_t at = 0; at < length; ++at)
        if (static_cast<unsigned char>(cookieHeader[at]) < 0x20 || cookieHeader[at] == 0x7F)
            return false;
    char url[URL_CAPACITY];
    Text_CopyBounded(url, item->url);
    int32_t scheme = 0, port = 0;
    char* host = nullptr;
    char* object = nullptr;
    if (length > HANDED_COOKIES_LIMIT || Url_Parse(url, &scheme, &host, &object, &port) != 0 ||
        std::strlen(host) >= HOST_CAPACITY)
        return false;
    char* copy = strdup(cookieHeader);
    HandedLink* handed = copy == nullptr ? nullptr : handedOf(item);
    if (handed == nullptr) {
        std::free(copy);
        return false;
    }
    std::free(handed->cookies);
    handed->cookies = copy;
    Text_CopyBounded(handed->host, host);
    handed->secure = scheme == SCHEME_HTTPS;
    return true;
}

bool MOONQ_HandReferrer(UrlItem* item, const char* referrer)
{
    char url[URL_CAPACITY];
    const size_t length = std::strcspn(referrer, "#");
    if (length >= sizeof url || std::any_of(referrer, referrer + length, [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        }))
        return false;
    std::memcpy(url, referrer, length);
    url[length] = '\0';
    char* page = strdup(url);   // before Url_Parse cuts url apart
    int32_t scheme = 0, port = 0;
    char* host = nullptr;
    char* object = nullptr;
    if (page == nullptr || Url_ParseUntraced(url, &scheme, &host, &object, &port) != 0 || scheme == SCHEME_FTP) {
        std::free(page);
        return false;
    }
    HandedLink* handed = handedOf(item);
    if (handed == nullptr) {
        std::free(page);
        return false;
    }
    std::free(handed->referrer);
    handed->referrer = page;
    Url_FormatOrigin(scheme, host, port, handed->referrerOrigin, sizeof handed->referrerOrigin);
    return true;
}

void MOONQ_SetLocalName(UrlItem* item, const char* path)
{
    Text_CopyBounded(item->localPath, path);
    std::lock_guard guard(nameCounts.lock);
    uncountName(item);
    if (item->localPath[0] == '\0')
        return;
    item->nameKey = std::hash<std::string_view>{}(item->localPath);
    ++nameCounts.byKey[item->nameKey];
    item->nameCounted = true;
}

bool MOONQ_LocalNameMayBeTaken(const UrlItem* item, const char* path)
{
    const size_t key = std::hash<std::string_view>{}(path);
    std::lock_guard guard(nameCounts.lock);
    auto found = nameCounts.byKey.find(key);
    const uint32_t own = item->nameCounted && item->nameKey == key ? 1 : 0;
    return found != nameCounts.byKey.end() && found->second > own;
}

const SegDone& MOONQ_PartRanges(const UrlItem* item)
{
    static const SegDone NONE{};
    const SegDone* ranges = item->partRanges.load(std::memory_order_acquire);
    return ranges != nullptr ? *ranges : NONE;
}

bool MOONQ_SetPartRanges(UrlItem* item, const SegDone& done)
{
    SegDone* ranges = item->partRanges.load(std::memory_order_relaxed);
    if (ranges == nullptr && done.count == 0)
        return true;
    // Made once and kept until the item goes: a reader holding the record never loses it.
    if (ranges == nullptr) {
        ranges = new (std::nothrow) SegDone{};
        if (ranges == nullptr)
            return false;
        item->partRanges.store(ranges, std::memory_order_release);
    }
    *ranges = done;
    return true;
}

void MOONQ_FreeItem(UrlItem* item)
{
    if (item == nullptr)
        return;
    MOONQ_DeleteEmptyFile(item->localPath);
    {
        std::lock_guard guard(nameCounts.lock);
        uncountName(item);
    }
    freeHanded(item->handed);
    delete item->partRanges.load(std::memory_order_relaxed);
    delete item;
}

void MOONQ_FreeList(ListLink* head)
{
    while (ListLink* node = List_PopFirst(head))
        MOONQ_FreeItem(MOONQ_ItemOf(node));
}

size_t MOONQ_CountItems()
{
    return List_Count(&pendingList);
}

UrlItem* MOONQ_FirstItem()
{
    return List_IsEmpty(&pendingList) ? nullptr : MOONQ_ItemOf(pendingList.next);
}

UrlItem* MOONQ_NextItem(UrlItem* item)
{
    ListLink* next = item->link.next;
    return next == &pendingList ? nullptr : MOONQ_ItemOf(next);
}

UrlItem* MOONQ_ItemAt(size_t position)
{
    UrlItem* item = MOONQ_FirstItem();
    for (; item != nullptr && position > 0; --position)
        item = MOONQ_NextItem(item);
    return item;
}

void MOONQ_ClickSelect(size_t position, bool extend)
{
    forEachPending([&](UrlItem* item, size_t at) {
        if (at == position)
            item->flags ^= ITEM_SELECTED;
        else if (!extend)
            item->flags &= ~ITEM_SELECTED;
    });
}

void MOONQ_SelectAll()
{
    forEachPending([](UrlItem* item, size_t) { item->flags |= ITEM_SELECTED; });
}

void MOONQ_DeleteSelected()
{
    MOONQ_FreeList(&deletedList);
    forEachPending([](UrlItem* item, size_t) {
        if (item->flags & ITEM_SELECTED) {
            List_Remove(&item->link);
            List_Append(&deletedList, &item->link);
        }
    });
}

void MOONQ_UndoDelete()
{
    while (ListLink* node = List_PopFirst(&deletedList))
        List_Append(&pendingList, node);
}

void MOONQ_DeleteEmptyFile(const char* path)
{
    // Only an empty regular file is a placeholder of ours; a directory or a link named by a
    // stored path is left alone, like any file with data.
    PlatFileState state;
    if (path[0] != '\0' && Plat_LookAt(path, &state) == 0 && state.regular && state.size == 0)
        Plat_RemoveFile(path);
}

FILE* MOONQ_OpenLocalFile(const char* path)
{
    return Plat_OpenForWriting(path, 0);
}

FILE* MOONQ_OpenLocalFileAt(const char* path, int64_t keep)
{
    return Plat_OpenForWriting(path, keep);
}

const char* MOONQ_GetDownloadDir()
{
    return downloadDir;
}

void MOONQ_CopyDownloadDir(char* out, size_t size)
{
    std::lock_guard guard(downloadDirLock);
    std::snprintf(out, size, "%s", downloadDir);
}

void MOONQ_SetDownloadDir(const char* path)
{
    size_t length = std::strlen(path);
    if (length < sizeof downloadDir) {
        std::lock_guard guard(downloadDirLock);
        std::memcpy(downloadDir, path, length + 1);
    }
    Trace_PrintString(TRACE_ALL, "DownloadDir, set default: %s\n", path);
}

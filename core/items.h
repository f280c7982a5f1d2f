// URL items: the links the person has collected, the three item lists and the download directory.
//
// Contract:
// - Every function here runs on the user-interface thread, but for MOONQ_SetLocalName and those
//   that say so. Worker threads write into the fields of an item their request holds, but never
//   link or unlink one.
// - Local names are given with MOONQ_SetLocalName alone: it keeps the table of the names items
//   hold, which tells most names free at once however long the list.
// - An item is owned by exactly one list at a time, or by whoever removed it until it is freed.
// - Items are zero-filled at creation; their texts are NUL-terminated and every copy into them
//   is bounded. A URL longer than URL_LENGTH_LIMIT bytes yields no item: it is never cut.
// - Failures are returned (null, a negative result), never thrown, and never shown to the person.
#pragma once

#include "core/lists.h"
#include "core/segments.h"
#include "platform/sizes.h"
#include "web/checksums.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr uint32_t ITEM_VALID = 1;
constexpr uint32_t ITEM_SELECTED = 2;
constexpr uint32_t ITEM_FAILED = 4;
constexpr uint32_t ITEM_EXT_DIR = 8;
constexpr uint32_t ITEM_NEEDS_FIX = 16;
// The last download of a valid item broke off (statusText says why and how far); the item
// stays ready for the next run. Kept in memory only: the pending-list file does not hold it.
constexpr uint32_t ITEM_BROKEN_OFF = 32;
// The current download run tried the item and it did not come: the run goes past it, the next
// run tries it again. Kept in memory only.
constexpr uint32_t ITEM_TRIED = 64;
// The query's answer was a web page: a download answered with one is the file itself. Kept in
// the pending list, so that it holds after a restart.
constexpr uint32_t ITEM_QUERY_PAGE = 128;
// The item's query waits for a worker of the query pool; nothing was asked yet. Kept in memory
// only.
constexpr uint32_t ITEM_WAITING = 256;
// The last answer refused the link itself (a web page in place of the file, or a 4xx other than
// "try later"): a new link, not a new local file, is the fix. Kept in memory only.
constexpr uint32_t ITEM_LINK_REFUSED = 512;
// A new link for the item is being asked for or checked: no run takes the item meanwhile, so
// that no worker holds it when the link is taken. Kept in memory only.
constexpr uint32_t ITEM_NEW_LINK = 1024;
// The item's text tells how its finished file fares against the server's checksum, which its
// row's tooltip shows until the item leaves the list. Kept in memory only.
constexpr uint32_t ITEM_CHECKSUM_NOTE = 2048;

// What tells the local file a download wrote from another file put under its name later: its
// device and inode, and its modification time in nanoseconds since 1970 (modulo 2^64) once the
// writing stopped (0 for a part recorded while the download still wrote, which is what a killed
// process leaves). All 0: nothing recorded.
struct LocalFileId {
    uint64_t device;
    uint64_t inode;
    uint64_t modifiedNs;
};

// What a browser handed over with a link, in memory only: never saved nor traced, so after a
// restart the configured cookie source serves the item and no page is told. Few items have it,
// so only those carry its room.
struct HandedLink {
    // The Cookie header that the browser which showed the link would send with it, for host (and
    // over https alone when secure): the item's requests send it there in place of the
    // configured cookie source. Null when none; the record owns it.
    char* cookies;
    char host[HOST_CAPACITY];
    bool secure;
    // The page the link was found on, and that page's origin: the item's requests tell it as a
    // browser would (web/wire.h). Null when none; the record owns it.
    char* referrer;
    char referrerOrigin[ORIGIN_CAPACITY];
};

struct UrlItem {
    ListLink link;                    // first, so that an item is a list node
    std::atomic<uint32_t> flags;      // ITEM_* bits; workers and the UI both change them
    int32_t status;                   // HTTP status or client error number; 0 for a local problem
    int64_t size;                     // bytes the server reported; 0 when it reported none
    char statusText[STATUS_CAPACITY];
    char url[URL_CAPACITY];
    char localPath[PATH_CAPACITY];    // empty until a local file has been chosen
    // The version of the file that the query, or the answer of the last download, saw: the
    // server's ETag and Last-Modified, each empty when the server named none.
    char etag[ETAG_CAPACITY];
    char lastModified[DATE_CAPACITY];
    // Bytes at the start of the local file that a download of this version wrote and flushed;
    // only these are ever continued. 0 when none (the empty placeholder, or a file not ours).
    std::atomic<int64_t> partDone;
    // The file that holds that part; written with partDone, under MOONQ_LockItem.
    LocalFileId partFile;
    // Every range of the local file that a download of this version wrote, partDone's among
    // them (a download over several connections leaves gaps); null until one was recorded, so
    // that the many items without any carry no room for them. Read and written through
    // MOONQ_PartRanges and MOONQ_SetPartRanges; the item owns it.
    std::atomic<SegDone*> partRanges;
    // Unix seconds at which the link's own signature ends, EXPIRY_NONE (web/expiry.h) when it
    // names none; follows url wherever url changes, and is not saved: the link says it again
    // after a restart.
    int64_t expiresAt;
    // What a browser handed over with the link; null when nothing was. The item owns it.
    HandedLink* handed;
    // The checksum the server claimed for the version in etag and lastModified (core/verify.h);
    // in memory only.
    ChecksumClaim checksum;
    // The hash under which the names table counts localPath, while nameCounted says it does.
    size_t nameKey;
    bool nameCounted;
};

// The longest Cookie header kept from a browser.
constexpr size_t HANDED_COOKIES_LIMIT = 16384;

extern ListLink pendingList;   // what the person sees and what will be downloaded, in order
extern ListLink deletedList;   // the items of the last Delete, kept for Undo
extern ListLink requestList;   // query requests started and not yet harvested

// The item's ranges done (an empty set when none were recorded); valid while the item lives.
const SegDone& MOONQ_PartRanges(const UrlItem* item);
// Records done as the item's ranges, under MOONQ_LockItem; false (nothing recorded) when memory
// is out.
bool MOONQ_SetPartRanges(UrlItem* item, const SegDone& done);
// The item whose link this is.
UrlItem* MOONQ_ItemOf(ListLink* link);
// Creates an item for url at the end of pendingList; null when url is too long or memory is out.
UrlItem* MOONQ_NewItem(const char* url);
// Keeps cookieHeader for the host of the item's URL; false (nothing kept) for a header with a
// control character or longer than HANDED_COOKIES_LIMIT, or a URL without a host that fits.
bool MOONQ_HandCookies(UrlItem* item, const char* cookieHeader);
// Keeps the page the link was found on (without its fragment); false (nothing kept) for a text
// with a control character or one that is not an http or https URL that fits.
bool MOONQ_HandReferrer(UrlItem* item, const char* referrer);
// Gives item the local name path (cut to fit; empty for none). Any thread may call: a worker
// names the item of its query, under MOONQ_LockItem as anyone who may race a reader of it.
void MOONQ_SetLocalName(UrlItem* item, const char* path);
// Whether an item other than item may hold the local name path: false only when none does.
// Items of any list count, and those unlinked until they are freed, so a true answer wants a
// look at the list that matters.
bool MOONQ_LocalNameMayBeTaken(const UrlItem* item, const char* path);
// Releases an unlinked item and deletes its local file when that file is empty.
void MOONQ_FreeItem(UrlItem* item);
// Frees every item of the list.
void MOONQ_FreeList(ListLink* head);
size_t MOONQ_CountItems();
UrlItem* MOONQ_FirstItem();
// The item behind item in pendingList, or null after the last.
UrlItem* MOONQ_NextItem(UrlItem* item);
// The item at 0-based position of pendingList, or null.
UrlItem* MOONQ_ItemAt(size_t position);
// Toggles the item at position; without extend every other item is deselected.
void MOONQ_ClickSelect(size_t position, bool extend);
void MOONQ_SelectAll();
// Moves the selected items to deletedList, freeing what an earlier Delete kept there.
void MOONQ_DeleteSelected();
// Puts the deleted items back at the end of pendingList, still selected.
void MOONQ_UndoDelete();
// Deletes the regular file at path when it holds no data; a file with data is never touched.
void MOONQ_DeleteEmptyFile(const char* path);
// Creates path, or truncates it, for writing; a link at path is never followed (null then, as
// for any failure, with errno set). Any thread may call.
FILE* MOONQ_OpenLocalFile(const char* path);
// Opens path for writing behind its first keep bytes, cutting off anything after them; with
// keep 0 as MOONQ_OpenLocalFile. A file that is no longer there or holds fewer than keep bytes
// is not opened (null, errno ENOENT). Any thread may call.
FILE* MOONQ_OpenLocalFileAt(const char* path, int64_t keep);
const char* MOONQ_GetDownloadDir();
// Copies the download directory for a worker thread, which may run while the UI changes it.
void MOONQ_CopyDownloadDir(char* out, size_t size);
// Sets the directory for new local files; a path of 512 characters or more is ignored.
void MOONQ_SetDownloadDir(const char* path);

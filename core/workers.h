// Request workers: every network job (a query that validates a new link, or the download of a
// valid item into its local file) is described by one UrlRequest. A download runs in a detached
// thread of its own, a query on the query pool (core/querypool.h).
//
// Contract:
// - The user-interface thread creates requests, links them (query requests into requestList),
//   reads their outcome and releases them; the worker never links, unlinks or frees anything
//   (the query pool's waiting line, which it takes queries from, excepted).
// - The worker writes its item and its request first and `result` last (release); the UI
//   acts on an item or request only after it has read a non-zero `result` (acquire).
// - While a worker holds an item, the item's texts, `status` and `size` are written and read
//   under MOONQ_LockItem; `flags`, `cancel`, `bytesDone` and `result` are atomics.
// - A request whose worker still runs is never released, nor is its item. At exit running
//   requests are aborted through the internet client and waited for a short, bounded time.
// - A download that ends without its whole file (the connection broke off, the data did not
//   reach the disk, fewer or more bytes came than announced) leaves the item valid with
//   ITEM_BROKEN_OFF and a text that says why and how far it got; what was written stays on
//   disk, but the part recorded ends where a try whose answer sent more than it announced
//   began. Starting a download of the item clears the flag.
// - A query names the local file as the answer that decided does (Content-Disposition) when
//   a safe name is left of it, else after the final URL's last segment.
// - A download continues the item's local file after its partDone bytes when the file still
//   holds them, is no longer than the item's size, and the item names its version (HTTP: a
//   strong ETag, else Last-Modified; FTP: the size alone); otherwise, or when the server sends
//   the whole file, the file is written from its start. A file longer than partDone is cut back
//   to it. A part is recorded only once its bytes have left the stream (fflush): every few
//   seconds while the download runs, for a process that gets killed; and once they are on the
//   disk too (fdatasync) when the download breaks off or is cancelled. A download writing from
//   the start takes the version and the size (when named) its answer names.
// - A part is recorded with the identity of its file (partFile). Before a request the entry
//   under the local name must be that very file, not a link, with the same modification time
//   when one was recorded; any other file, or a link, is neither continued nor overwritten: the
//   item breaks off with ERR_FILE_CHANGED and nothing is asked of the server. So does a part
//   recorded without its file's identity (a list saved by an earlier version): no file proves
//   to be its own. When nothing is under the name any more, the file is written anew.
// - A download answered with a web page (Content-Type) is written nowhere when the query saw
//   no page, or when its length is not the size the query saw and it names no other version:
//   the item breaks off with ERR_WEB_PAGE, and the first line of the page's title goes into
//   the trace log.
// - A finished file is held to the checksum its server claims (core/verify.h): one that does not
//   match breaks off with ERR_CHECKSUM_MISMATCH and is not retried in the run; its file is
//   emptied and its part dropped, so that the next run fetches it whole.
// - A dropped connection, a time-out, an early end, and HTTP 408, 429 and 5xx are tried again
//   up to three times, after 1, 4 and 16 seconds (or the answer's Retry-After, at most 60),
//   each time continuing the part on disk. Other failures are not retried. A cancel or an
//   abort ends a wait at once. A download whose last try failed ends broken off.
// - bytesDone counts from the start of the file, resumed part included; `attempt` counts the
//   tries that have begun writing, and changes only after bytesDone and resumedFrom hold where
//   the try began.
// - With more than one connection allowed and a version to check ranges by, a download asks its
//   first missing range from its first byte on (If-Range): a 206 continues over several
//   connections (core/rangefetch.h), each range written at its place in a file whose whole size
//   is reserved first, and the ranges done are recorded (partRanges, partDone their first);
//   a 200 writes the whole file as above. A file whose ranges have gaps is continued the same
//   way whatever the limit, so that only the missing ranges are asked for. A range answered
//   with another version of the file starts the file over at once, as part of the same try
//   (neither a retry nor its wait), at most three times in a try.
// - Every download keeps to the total rate its limiter allows.
// - Failures are returned as the negative codes named in net/errors.h (a request's result is
//   the web layer's as it came), never thrown.
#pragma once

#include "core/items.h"
#include "core/segments.h"
#include "net/errors.h"
#include "settings/options.h"
#include "web/checksums.h"
#include "web/wire.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

constexpr int32_t RESULT_RUNNING = 0;
constexpr int32_t RESULT_QUERIED = 1;
constexpr int32_t RESULT_DOWNLOADED = 2;
constexpr int32_t RESULT_FAILED = 3;
constexpr int32_t RESULT_CANCELLED = 4;

constexpr uint32_t WORKER_TIMEOUT_MS = 60000;
constexpr int MAX_RETRIES = 3;
// Room for a local name that a query builds.
constexpr size_t LOCAL_NAME_CAPACITY = 260;

struct UrlRequest {
    ListLink link;                  // in requestList (queries only)
    ListLink queued;                // in the query pool's waiting line while it waits there
    UrlItem* item;                  // null once a finished download released its item
    WireRequest web;
    FILE* localFile;                // the download's local file while it is written
    std::atomic<int64_t> bytesDone;
    std::atomic<int32_t> attempt;   // download tries that have begun writing
    std::atomic<int64_t> resumedFrom;   // where in the file the latest of them began
    int writeError;                 // errno of a failed write into localFile
    std::atomic<int32_t> cancel;    // set by the UI; seen by the worker between blocks
    std::atomic<int32_t> result;    // RESULT_*, or an ERR_* code of net/errors.h; 0 while it runs
    int32_t isQuery;
    // The pending item that the query of a new link may give its link to; null for any other
    // request. Such a query owns its item, which is in no list, and it goes with the request.
    UrlItem* replaces;
    std::string handedCookies;      // the item's, copied when the request starts; web points to it
    std::string handedReferrer;     // likewise
    int32_t connectionLimit;        // a download's connections at most (1: one, as always)
    std::atomic<int32_t> connections;   // running now, while ranges are fetched over several
    SegLimiter limiter;             // the total rate's (MOONQ_Throttle); its rate set before the worker starts
    std::atomic<bool> aborted;      // MOONQ_AbortRequest came (web.abort alone may be the fetch's own)
    ChecksumClaim checksum;         // what the download's file is held to (core/verify.h)
    DigestContext* hashing;         // the file's hash while it is written from its start; else null
    int64_t hashedUpTo;             // the bytes of the file that hashing has taken
};

// Guards the texts, status and size of items that workers write; one lock for all items.
std::unique_lock<std::mutex> MOONQ_LockItem();

// Adds url to pendingList and starts its query in requestList; null when either fails. Cookies
// handed over with the link (not null) are kept on the item as MOONQ_HandCookies keeps them.
// The page the link was found on (referrer, not null) is kept as MOONQ_HandReferrer keeps it.
UrlItem* MOONQ_AddURL(const char* url, const DownloadOptions* options, const char* handedCookies = nullptr,
                      const char* referrer = nullptr);
// Creates a request for item and starts its worker (a query: queues it on the query pool);
// 0, ERR_NO_MEMORY or ERR_NO_THREAD.
int32_t MOONQ_StartRequest(UrlItem* item, const DownloadOptions* options, bool isQuery,
                           UrlRequest** place);
// Thread body: runs MOONQ_Download with the workers' time-out.
void MOONQ_WorkerMain(UrlRequest* request);
// Runs the request to its end; always 0, the outcome is in `result`.
int32_t MOONQ_Download(UrlRequest* request, uint32_t timeout);
// Copies one block into the local file: 1 at the end of the data, 0 after a block, negative on failure.
int32_t MOONQ_CopyBlock(UrlRequest* request, uint32_t timeout);
// Asks a download to stop before its next block, and withdraws a query that still waits for a
// worker (its result is then RESULT_CANCELLED); null is allowed.
void MOONQ_CancelRequest(UrlRequest* request);
// A new download run: no pending or deleted item counts as tried any more.
void MOONQ_BeginRun();
// Why a valid item may not be downloaded although its query succeeded: its query was answered
// with a web page while its link names no page and AllowHTML is off ("The link has expired."
// once its expiry has passed); null when it may. The caller holds the item or the item lock.
const char* MOONQ_PageRefusal(const UrlItem* item, const DownloadOptions* options);
// Starts the download of the first pending item that is ready and that the run has not tried:
// 0 started, 1 when there is none, or a negative code. An item that MOONQ_PageRefusal refuses
// (one the list kept from before) fails on the way, with the refusal as its text.
int32_t MOONQ_StartNextDownload(UrlRequest** place, const DownloadOptions* options);
// Acts on a download's outcome (a finished item leaves the list, any other goes to its end,
// marked ITEM_TRIED unless it was cancelled); returns the result, 0 while it runs.
int32_t MOONQ_CheckBackDown(UrlRequest* request);
// Makes every blocked call of the request's worker fail at once; a query that still waits for
// a worker is withdrawn.
void MOONQ_AbortRequest(UrlRequest* request);
// Aborts the request and waits up to milliseconds for its worker to end; true when it ended.
bool MOONQ_StopRequest(UrlRequest* request, int milliseconds);
// Stops the workers of requestList. A worker that does not end in time keeps its request
// and item: both leave their lists and are never released.
void MOONQ_SuspendWorkers();
// Releases a request whose worker has ended, and the item of a new link's query; null is allowed.
void MOONQ_FreeRequest(UrlRequest* request);

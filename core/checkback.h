// Check-back: the harvest of finished queries into their items, and the choice of the local
// file that a valid item will be downloaded into.
//
// Contract:
// - User-interface thread only (the timer task and the list's double-click fix). A query request
//   is acted on and released only after its worker stored a non-zero result.
// - The questions to the person go through the dialog table that the user interface installs
//   (MOONQ_SetCheckBackDialogs); the core draws nothing itself. Until a table is installed, or
//   for an entry left null, a question is answered "cancel" (0), the conflict message shows
//   nothing and no page is opened.
// - Item texts are written under MOONQ_LockItem, never while a dialog runs: a dialog runs a
//   nested event loop whose paints read them under the same lock.
// - Failures are returned as results or left as texts on the item; nothing is thrown.
#pragma once

#include "core/items.h"
#include "settings/options.h"

#include <cstddef>
#include <cstdint>

// The local file choice's dialogs, supplied by the user interface.
struct CheckBackDialogs {
    // Save dialog with path as the initial name, the choice written back: 1 chosen, 0 cancelled.
    int (*askSaveName)(char* path, size_t size);
    // "Attention" for an existing file: 1 replace, 2 pick a new name, 0 cancel.
    int (*askReplace)();
    // Tells the person that the name is taken by another pending item.
    void (*nameConflict)();
    // Shows a document with the desktop's default handler.
    void (*openDocument)(const char* path);
    // Whether to start a file over from a new link that names another file: 1 yes, 0 no.
    int (*askStartOver)();
    // Tells the person why a new link was not taken.
    void (*linkNotTaken)(const char* reason);
};

constexpr const char* ASK_BROWSER_PAGE = "temp_ask_browser.html";

// Replaces the dialog table; entries may be null.
void MOONQ_SetCheckBackDialogs(const CheckBackDialogs& dialogs);
// Harvests the finished queries of requestList, oldest first, until none is left or about 50 ms
// (a dialog's time included) have passed after the first: 2 when requestList is empty, 1 when
// something was harvested (the caller saves the pending list; more may be left for its next
// call), 0 when all still run.
int32_t MOONQ_CheckBackQueries(const DownloadOptions* options);
// Whether the last MOONQ_CheckBackQueries stopped at its time limit: finished queries may wait.
bool MOONQ_HarvestCutShort();
// Starts the query of url as the new link of item, a valid item that no worker holds, marked
// ITEM_NEW_LINK by the caller; its harvest decides, and clears the mark. When the answer names
// the file the item holds (the same size, and the same strong ETag, else the same
// Last-Modified, where both answers name one), the item takes the link and keeps its part; for
// another file it takes it only when the person agrees to start the file over, and drops its
// part; a link without a file changes nothing, and the person is told why. A link taken clears
// the item's problems: it is ready for the next run. 0 started, or a negative code.
int32_t MOONQ_ReplaceLink(UrlItem* item, const char* url, const DownloadOptions* options);
// Gives item its local file, asking first when ask is set and again after each refused name:
// 1 ready, 0 the person cancelled, ERR_LOCAL_FILE when there is no path and nobody was asked.
int32_t MOONQ_ChooseLocalFile(UrlItem* item, bool ask, const DownloadOptions* options);
// Creates the empty placeholder at the item's localPath: 1 ready, 2 ask for another name,
// 0 cancelled by the person, ERR_LOCAL_FILE when localPath is empty. A file or a link (even a
// dangling one) at the name is replaced only when the person agrees, a link by a file of its
// own, never followed; a folder or device there makes the name unusable (2, ITEM_NEEDS_FIX).
// A new placeholder drops the item's part: its next download writes the file from the start.
int32_t MOONQ_CreateLocalFile(UrlItem* item);
// Creates the one directory that holds path (path is restored): 0 created, -1 when path is
// empty or has no separator, -2 when it could not be created or already exists.
int32_t MOONQ_MakeParentDir(char* path);
// Makes the directory of path (without its extension folder, when that option is on) the
// download directory, and stores it in the settings.
void MOONQ_RememberDownloadDir(const char* path, const DownloadOptions* options);
// Writes the "could not validate" page for item's URL and opens it.
void MOONQ_WriteAskBrowserPage(UrlItem* item);

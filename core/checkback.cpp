#include "core/checkback.h"

#include "core/workers.h"
#include "platform/files.h"
#include "platform/text.h"
#include "settings/registry.h"
#include "web/urlparse.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace {

CheckBackDialogs dialogs{};

constexpr const char* DIRECTORY_TEXT = "A directory cannot be downloaded.";
constexpr const char* ZERO_LENGTH_TEXT =
    "Zero length! May need cookies to download from this site. Or may be link to HTML.";
constexpr const char* CONFLICT_TEXT = "File name conflict with other URL!";
constexpr const char* CREATION_FAILED_TEXT = "Local file creation failed.";
constexpr const char* FIXED_TEXT = "OK";

constexpr int REPLACE_EXISTING = 1, PICK_NEW_NAME = 2;
// The longest one harvest goes on once it has harvested something: the window it runs in must
// keep answering while thousands of queries end at once.
constexpr auto HARVEST_BUDGET = std::chrono::milliseconds(50);
constexpr size_t FAILURE_REASON_CAPACITY = STATUS_CAPACITY + 64;

constexpr std::string_view ASK_BROWSER_HEAD =
    "<html>\n"
    "<head>\n"
    "<title>Moonfetch could not validate URL</title>\n"
    "</head>\n"
    "<body>\n"
    "<h1>ERROR - Moonfetch could not validate URL!</h1>\n"
    "You may need to fill in a form on that website before downloading any files. Please\n"
    "use your browser to view the link below. You may see informative error\n"
    "messages, or be asked to register on that website for downloading. If the file begins downloading\n"
    "immediately then you probably do not have your Cookie preferences set correctly.\n"
    "You can use the 'Cookies...' menu item in the 'Options' menu to\n"
    "make sure that cookies are enabled and that they are set up properly for\n"
    "your browser.\n"
    "After you have finished,\n"
    "please try downloading the same file again using Moonfetch.\n"
    "<p>Please click on the link below to see why Moonfetch could not validate it.\n"
    "<p>&nbsp;&nbsp;&nbsp; ";
static_assert(ASK_BROWSER_HEAD.size() == 798);

// The page is opened from a local file: a crafted link must not bring markup or script with it.
struct HtmlEntity {
    char ch;
    const char* text;
};
constexpr HtmlEntity HTML_ENTITIES[] = {{'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}};

std::string escapeHtml(const char* text)
{
    std::string out;
    for (const char* at = text; *at != '\0'; ++at) {
        const HtmlEntity* found = nullptr;
        for (const HtmlEntity& entity : HTML_ENTITIES)
            if (entity.ch == *at)
                found = &entity;
        if (found)
            out += found->text;
        else
            out += *at;
    }
    return out;
}

void setStatusText(UrlItem* item, const char* text)
{
    auto lock = MOONQ_LockItem();
    Text_CopyBounded(item->statusText, text);
}

int askSaveName(char* path, size_t size)
{
    return dialogs.askSaveName ? dialogs.askSaveName(path, size) : 0;
}

int askReplace()
{
    return dialogs.askReplace ? dialogs.askReplace() : 0;
}

// Whether the last harvest stopped at its time limit.
bool harvestCutShort = false;

// Whether another pending item already holds path as its local name. Locked: an item still
// being validated gets its name from its worker. A name given by a worker just after the look
// is missed, as any look misses it: the item harvested later finds the clash.
bool nameTakenByOther(const UrlItem* item, const char* path)
{
    if (!MOONQ_LocalNameMayBeTaken(item, path))
        return false;
    auto lock = MOONQ_LockItem();
    for (UrlItem* other = MOONQ_FirstItem(); other != nullptr; other = MOONQ_NextItem(other))
        if (other != item && std::strcmp(other->localPath, path) == 0)
            return true;
    return false;
}

// Asks for a name into the item; false when the person cancelled.
bool askIntoItem(UrlItem* item)
{
    // Another item's placeholder (the name that just clashed) is not this item's to delete.
    if (!nameTakenByOther(item, item->localPath))
        MOONQ_DeleteEmptyFile(item->localPath);
    char path[PATH_CAPACITY];
    Text_CopyBounded(path, item->localPath);
    if (!askSaveName(path, sizeof path))
        return false;
    auto lock = MOONQ_LockItem();
    MOONQ_SetLocalName(item, path);
    return true;
}

FILE* openPlaceholder(UrlItem* item)
{
    FILE* file = MOONQ_OpenLocalFile(item->localPath);
    if (file == nullptr && (item->flags & ITEM_EXT_DIR) && MOONQ_MakeParentDir(item->localPath) == 0)
        file = MOONQ_OpenLocalFile(item->localPath);
    return file;
}

// What lies at a local name. A link counts as existing whatever it points to (or to nothing)
// and is never followed; only a file or a link may give way to the download.
enum class Occupant { None, File, Link, Unusable };

Occupant occupantOf(const char* path)
{
    PlatFileState state;
    if (Plat_LookAt(path, &state) != 0)
        return Occupant::None;
    if (state.regular)
        return Occupant::File;
    return state.link ? Occupant::Link : Occupant::Unusable;
}

// The name is taken by a folder or a device, or nothing could be created there.
int32_t creationFailed(UrlItem* item)
{
    item->flags |= ITEM_NEEDS_FIX;
    setStatusText(item, CREATION_FAILED_TEXT);
    return 2;
}

// A successful query: a non-zero size makes the item valid with its local file, a zero size is
// a failure. The item is dropped when the person cancels its name choice.
void harvestQueried(UrlItem* item, const DownloadOptions* options)
{
    if (item->size == 0) {
        item->flags |= ITEM_FAILED;
        bool directory = item->url[0] != '\0' && item->url[std::strlen(item->url) - 1] == '/';
        setStatusText(item, directory ? DIRECTORY_TEXT : ZERO_LENGTH_TEXT);
        if (!directory)
            MOONQ_WriteAskBrowserPage(item);
        return;
    }
    item->flags |= ITEM_VALID;
    bool ask = MOONQ_GetDownloadDir()[0] == '\0' || options->askNameEveryTime != 0;
    const int32_t chosen = MOONQ_ChooseLocalFile(item, ask, options);
    // Valid with its local file, so that a new link (Replace Link) may mend it.
    if (const char* refusal = MOONQ_PageRefusal(item, options)) {
        item->flags |= ITEM_FAILED | ITEM_LINK_REFUSED;
        setStatusText(item, refusal);
    }
    if (chosen != 0)
        return;
    // A cancel comes before this item created anything: the file at its name, empty or not,
    // is another item's placeholder or the person's own file, and stays.
    {
        auto lock = MOONQ_LockItem();
        MOONQ_SetLocalName(item, "");
    }
    List_Remove(&item->link);
    MOONQ_FreeItem(item);
}

// Whether two answers name the same file: the same size, and the same version where both name
// one (a strong ETag, else the date).
bool sameFile(const UrlItem* held, const UrlItem* fresh)
{
    auto lock = MOONQ_LockItem();
    auto strongTag = [](const UrlItem* item) { return std::strncmp(item->etag, "W/", 2) == 0 ? "" : item->etag; };
    const bool tagged = strongTag(held)[0] != '\0' && strongTag(fresh)[0] != '\0';
    const bool dated = held->lastModified[0] != '\0' && fresh->lastModified[0] != '\0';
    if (held->size != fresh->size)
        return false;
    if (tagged)
        return std::strcmp(strongTag(held), strongTag(fresh)) == 0;
    return !dated || std::strcmp(held->lastModified, fresh->lastModified) == 0;
}

// The item takes the new link with what its answer said; starting over, its part is dropped.
void takeLink(UrlItem* item, const UrlItem* fresh, bool startOver)
{
    constexpr uint32_t PROBLEMS = ITEM_FAILED | ITEM_BROKEN_OFF | ITEM_TRIED | ITEM_LINK_REFUSED | ITEM_QUERY_PAGE;
    auto lock = MOONQ_LockItem();
    Text_CopyBounded(item->url, fresh->url);
    item->expiresAt = fresh->expiresAt;
    item->size = fresh->size;
    item->status = fresh->status;
    Text_CopyBounded(item->statusText, fresh->statusText);
    Text_CopyBounded(item->etag, fresh->etag);
    Text_CopyBounded(item->lastModified, fresh->lastModified);
    item->checksum = fresh->checksum;
    item->flags = (item->flags & ~PROBLEMS) | (fresh->flags & ITEM_QUERY_PAGE);
    if (startOver) {
        item->partDone.store(0, std::memory_order_relaxed);
        item->partFile = {};
    }
}

// Tells the person why the new link that request checked was not taken.
void tellNotTaken(const UrlRequest* request, const char* why)
{
    const UrlItem* fresh = request->item;
    char reason[FAILURE_REASON_CAPACITY];
    std::snprintf(reason, sizeof reason, "The new link was not taken: %d - %s", fresh->status, why);
    if (dialogs.linkNotTaken)
        dialogs.linkNotTaken(reason);
}

// A new link's query has ended: the item takes the link, or the person hears why not; either
// way a run may take the item again.
void harvestReplacement(UrlRequest* request, int32_t result, const DownloadOptions* options)
{
    const UrlItem* fresh = request->item;
    const char* refusal = result == RESULT_QUERIED ? MOONQ_PageRefusal(fresh, options) : nullptr;
    if (result != RESULT_QUERIED) {
        tellNotTaken(request, fresh->statusText);
    } else if (fresh->size == 0 || refusal != nullptr) {
        tellNotTaken(request, refusal != nullptr ? refusal : ZERO_LENGTH_TEXT);
    } else {
        const bool same = sameFile(request->replaces, fresh);
        if (same || (dialogs.askStartOver && dialogs.askStartOver() == 1))
            takeLink(request->replaces, fresh, !same);
    }
    request->replaces->flags &= ~ITEM_NEW_LINK;
}

}  // namespace

void MOONQ_SetCheckBackDialogs(const CheckBackDialogs& table)
{
    dialogs = table;
}

int32_t MOONQ_CheckBackQueries(const DownloadOptions* options)
{
    harvestCutShort = false;
    if (List_IsEmpty(&requestList))
        return 2;
    bool changed = false;
    const auto deadline = std::chrono::steady_clock::now() + HARVEST_BUDGET;
    for (ListLink* node = requestList.next; node != &requestList;) {
        if (changed && std::chrono::steady_clock::now() >= deadline) {
            harvestCutShort = true;
            break;
        }
        ListLink* following = node->next;
        auto* request = reinterpret_cast<UrlRequest*>(node);
        node = following;
        int32_t result = request->result.load(std::memory_order_acquire);
        if (result == RESULT_RUNNING)
            continue;
        // Unlinked before any dialog runs: nothing in a nested event loop may find it again.
        List_Remove(&request->link);
        UrlItem* item = request->item;
        if (result == RESULT_QUERIED || result == RESULT_FAILED) {
            auto lock = MOONQ_LockItem();
            item->status = int32_t(request->web.status);
        }
        if (request->replaces)
            harvestReplacement(request, result, options);
        else if (result == RESULT_QUERIED)
            harvestQueried(item, options);
        else if (result == RESULT_FAILED)
            item->flags |= ITEM_FAILED;
        MOONQ_FreeRequest(request);
        changed = true;
    }
    return changed ? 1 : 0;
}

bool MOONQ_HarvestCutShort()
{
    return harvestCutShort;
}

int32_t MOONQ_ReplaceLink(UrlItem* item, const char* url, const DownloadOptions* options)
{
    UrlItem* fresh = MOONQ_NewItem(url);
    if (fresh == nullptr)
        return ERR_BAD_URL;
    // It stands for the link only: never shown, saved or downloaded.
    List_Remove(&fresh->link);
    UrlRequest* request = nullptr;
    const int32_t r = MOONQ_StartRequest(fresh, options, true, &request);
    if (r != 0) {
        MOONQ_FreeItem(fresh);
        return r;
    }
    request->replaces = item;
    List_Append(&requestList, &request->link);
    return 0;
}

int32_t MOONQ_ChooseLocalFile(UrlItem* item, bool ask, const DownloadOptions* options)
{
    for (;; ask = true) {
        if (ask && !askIntoItem(item))
            return 0;
        int32_t r = MOONQ_CreateLocalFile(item);
        if (r == 2)
            continue;
        if (r == 1)
            MOONQ_RememberDownloadDir(item->localPath, options);
        return r;
    }
}

int32_t MOONQ_CreateLocalFile(UrlItem* item)
{
    if (item->localPath[0] == '\0')
        return ERR_LOCAL_FILE;
    if (nameTakenByOther(item, item->localPath)) {
        item->flags |= ITEM_NEEDS_FIX;
        setStatusText(item, CONFLICT_TEXT);
        if (dialogs.nameConflict)
            dialogs.nameConflict();
        return 2;
    }
    const Occupant occupant = occupantOf(item->localPath);
    if (occupant == Occupant::Unusable)
        return creationFailed(item);
    if (occupant != Occupant::None) {
        int answer = askReplace();
        if (answer == PICK_NEW_NAME)
            return 2;
        if (answer != REPLACE_EXISTING)
            return 0;
        // A link gives way itself: what it points to is not this download's to overwrite.
        if (occupant == Occupant::Link)
            Plat_RemoveFile(item->localPath);
    }
    FILE* file = openPlaceholder(item);
    if (file == nullptr)
        return creationFailed(item);
    std::fclose(file);
    {
        // A new file under the name: no part of the old one is continued in it.
        auto lock = MOONQ_LockItem();
        item->partDone.store(0, std::memory_order_relaxed);
        item->partFile = {};
    }
    if (item->flags.fetch_and(~ITEM_NEEDS_FIX) & ITEM_NEEDS_FIX)
        setStatusText(item, FIXED_TEXT);
    return 1;
}

int32_t MOONQ_MakeParentDir(char* path)
{
    ptrdiff_t last = Text_FindLastChar(PATH_SEP, path);
    if (last < 0)
        return -1;
    path[last] = '\0';
    std::error_code error;
    bool created = std::filesystem::create_directory(Plat_Path(path), error);
    path[last] = PATH_SEP;
    return created ? 0 : -2;
}

void MOONQ_RememberDownloadDir(const char* path, const DownloadOptions* options)
{
    ptrdiff_t last = Text_FindLastChar(PATH_SEP, path);
    if (last < 0 || size_t(last) >= PATH_CAPACITY)
        return;
    char directory[PATH_CAPACITY];
    std::memcpy(directory, path, size_t(last));
    directory[last] = '\0';
    ptrdiff_t cut = Text_FindLastChar(PATH_SEP, directory);
    if (options->useDirExtension && cut >= 0) {
        // "…/mp3/song.mp3": the folder made for the extension is not where the person chose.
        std::string_view component(directory + cut + 1);
        if (std::string_view(path).ends_with(component))
            directory[cut] = '\0';
    }
    MOONQ_SetDownloadDir(directory);
    Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, directory);
}

void MOONQ_WriteAskBrowserPage(UrlItem* item)
{
    FILE* page = std::fopen(ASK_BROWSER_PAGE, "w");
    if (page == nullptr)
        return;
    // Flushed at once: a full disk shows here, not behind a buffer that merely took the bytes.
    bool headWhole = std::fwrite(ASK_BROWSER_HEAD.data(), 1, ASK_BROWSER_HEAD.size(), page) ==
                         ASK_BROWSER_HEAD.size() &&
                     std::fflush(page) == 0;
    if (headWhole) {
        std::string url = escapeHtml(item->url);
        std::fprintf(page, "<a href=%c%s%c>%s</a>\n</body>\n</html>\n", '"', url.c_str(), '"',
                     url.c_str());
    }
    std::fclose(page);
    if (headWhole && dialogs.openDocument)
        dialogs.openDocument(ASK_BROWSER_PAGE);
}

#include "ui/ui.h"

#include "core/items.h"
#include "core/lists.h"
#include "core/pending.h"
#include "platform/files.h"
#include "platform/program.h"
#include "platform/text.h"
#include "ui/texts.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

// The help, around the data folder that the system names.
constexpr const char* USAGE_HEAD =
    "Usage: moonfetch [--data-folder] [--download-now] [--input FILE] [--] [URL...]\n"
    "       moonfetch [--data-folder] --list\n"
    "\n"
    "  --data-folder   keep the pending list, lock and trace log in ";
constexpr const char* USAGE_TAIL =
    " instead of the current folder\n"
    "  --download-now  start downloading once the links are checked\n"
    "  --input FILE    add the links in FILE, one a line (\"-\": standard input)\n"
    "  --list          print the pending list, one item a line: URL, size, state, local path\n"
    "  --              end of the options: every argument behind it is a link\n"
    "  --help          show this help\n"
    "  --version       show the version\n"
    "\n"
    "A Moonfetch already running for the same folder is handed the links and comes to the front.\n";
constexpr const char* TRY_HELP = "Try 'moonfetch --help'.";
// An --input file must fit the one request that hands its links to a running copy.
constexpr size_t INPUT_LIMIT = HANDOFF_MAX_PAYLOAD / 2;
// How much of a refused text its message shows.
constexpr size_t SHOWN_TEXT_LIMIT = 80;
constexpr int USAGE_ERROR = 2;

// Options without a value, and where each puts its mark.
struct Flag {
    const char* name;
    bool CommandLine::*mark;
};
constexpr Flag FLAGS[] = {
    {"--data-folder", &CommandLine::dataFolder},
    {"--download-now", &CommandLine::downloadNow},
    {"--list", &CommandLine::list},
    {"--help", &CommandLine::help},
    {"--version", &CommandLine::version},
};

// Item states for --list, the first whose flags match wins; a valid item with a part on disk is
// "partial" before it is "ready".
struct StateWord {
    uint32_t flags;
    const char* word;
};
constexpr StateWord STATE_WORDS[] = {
    {ITEM_FAILED, "failed"},
    {ITEM_NEEDS_FIX, "needs fix"},
    {ITEM_BROKEN_OFF, "broken off"},
    {ITEM_VALID, "ready"},
};

// text as a message may show it: printable ASCII, other bytes as \xHH, cut after a while.
std::string shown(std::string_view text)
{
    std::string out;
    for (unsigned char c : text.substr(0, SHOWN_TEXT_LIMIT)) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
        out += escaped;
    }
    return text.size() > SHOWN_TEXT_LIMIT ? out + "..." : out;
}

// Appends the links of text, one a line; blank lines are skipped, and a line keeps no white
// space around it.
void appendInputLinks(const std::string& text, std::vector<std::string>* links)
{
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        size_t first = text.find_first_not_of(" \t\r", start);
        size_t last = text.find_last_not_of(" \t\r", end == 0 ? 0 : end - 1);
        if (first < end && last != std::string::npos && last >= first)
            links->push_back(text.substr(first, last + 1 - first));
        start = end + 1;
    }
}

// Reads --input's file into line; false with the message written when it cannot be read.
bool takeInput(const char* path, CommandLine* line)
{
    if (path == nullptr) {
        std::fprintf(stderr, "moonfetch: --input needs a file name (\"-\" for standard input).\n%s\n", TRY_HELP);
        return false;
    }
    std::string text;
    const int error = Plat_ReadBounded(std::strcmp(path, "-") == 0 ? nullptr : path, INPUT_LIMIT, &text);
    if (error != 0) {
        const char* why = error == EFBIG ? "it holds more than 8 MB" : std::strerror(error);
        std::fprintf(stderr, "moonfetch: cannot read links from %s: %s.\n", shown(path).c_str(), why);
        return false;
    }
    appendInputLinks(text, &line->links);
    return true;
}

// Reads one argument at argv[*at] (moving *at past a value it takes); false on a usage error.
// Behind "--" every argument is a link, also one that begins with '-'.
bool takeArgument(int argc, char** argv, int* at, CommandLine* line, bool* optionsEnded)
{
    const std::string_view argument = argv[*at];
    if (*optionsEnded) {
        line->links.emplace_back(argument);
        return true;
    }
    if (argument == "--") {
        *optionsEnded = true;
        return true;
    }
    for (const Flag& flag : FLAGS) {
        if (argument == flag.name) {
            line->*flag.mark = true;
            return true;
        }
    }
    if (argument == "--input") {
        *at += 1;
        return takeInput(*at < argc ? argv[*at] : nullptr, line);
    }
    if (argument.size() > 1 && argument[0] == '-') {
        std::fprintf(stderr, "moonfetch: unknown option %s\n%s\n", shown(argument).c_str(), TRY_HELP);
        return false;
    }
    line->links.emplace_back(argument);
    return true;
}

// Leaves out the links that cannot be added, each told on standard error; how many.
int refuseBadLinks(std::vector<std::string>* links)
{
    int refused = 0;
    std::vector<std::string> kept;
    for (std::string& link : *links) {
        if (const char* reason = MQUI_LinkRefusal(link)) {
            std::fprintf(stderr, "moonfetch: %s: %s\n", shown(link).c_str(), reason);
            ++refused;
        } else {
            kept.push_back(std::move(link));
        }
    }
    *links = std::move(kept);
    return refused;
}

// Whether a link names a scheme of its own that is none of ours ("javascript:", "file:",
// "mailto:"): a scheme name and a ':' that no port number follows, as it would behind a host.
bool namesOtherScheme(const std::string& link)
{
    if (MQUI_NamesKnownScheme(link.c_str()) || link.empty() || !std::isalpha(static_cast<unsigned char>(link[0])))
        return false;
    const size_t end = link.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-");
    return end != std::string::npos && link[end] == ':' && !std::isdigit(static_cast<unsigned char>(link[end + 1]));
}

bool holdsControl(const std::string& link)
{
    return std::any_of(link.begin(), link.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

// What no link may be, and what the person is told; the first that applies is told.
struct LinkRefusal {
    bool (*refuses)(const std::string& link);
    const char* reason;
};
const LinkRefusal LINK_REFUSALS[] = {
    {[](const std::string& link) { return link.empty(); }, "the link is empty"},
    {[](const std::string& link) { return link == "-"; }, "\"-\" is no link (--input - reads links from standard input)"},
    {[](const std::string& link) { return MQUI_TypedLinkLength(link.c_str()) > URL_LENGTH_LIMIT; }, LINK_TOO_LONG},
    {holdsControl, "the link holds a line break or another control character"},
    {[](const std::string& link) { return !Text_IsUtf8(link); }, "the link is not UTF-8 text"},
    {namesOtherScheme, "Moonfetch fetches http, https and ftp links only"},
};

// Makes each missing folder of path, the last one this user's alone.
int makeFolders(const std::filesystem::path& path)
{
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error)
        return error.default_error_condition().value();
    return Plat_MakePrivateFolder(Plat_PathText(path));
}

}  // namespace

int MQUI_ReadCommandLine(int argc, char** argv, CommandLine* line)
{
    *line = CommandLine{};
    bool optionsEnded = false;
    for (int at = 1; at < argc; ++at)
        if (!takeArgument(argc, argv, &at, line, &optionsEnded))
            return USAGE_ERROR;
    if (line->help || line->version) {
        std::fputs(line->help ? (USAGE_HEAD + std::string(Plat_DataFolderWords()) + USAGE_TAIL).c_str()
                              : "Moonfetch " MOON_VERSION "\n", stdout);
        return 0;
    }
    const bool hadLinks = !line->links.empty();
    line->refused = refuseBadLinks(&line->links);
    // Nothing is left to do: neither start nor hand off.
    return hadLinks && line->links.empty() && !line->list ? USAGE_ERROR : -1;
}

const char* MQUI_LinkRefusal(const std::string& link)
{
    for (const LinkRefusal& refusal : LINK_REFUSALS)
        if (refusal.refuses(link))
            return refusal.reason;
    return nullptr;
}

void MQUI_ListLines(std::vector<std::string>* lines)
{
    auto lock = MOONQ_LockItem();
    for (UrlItem* item = MOONQ_FirstItem(); item != nullptr; item = MOONQ_NextItem(item)) {
        const uint32_t flags = item->flags.load();
        const char* state = "checking";
        for (const StateWord& word : STATE_WORDS) {
            if (flags & word.flags) {
                state = word.word;
                break;
            }
        }
        if (state == STATE_WORDS[std::size(STATE_WORDS) - 1].word && item->partDone.load() > 0)
            state = "partial";
        if (ui.currentDownload != nullptr && ui.currentDownload->item == item)
            state = "downloading";
        char line[URL_CAPACITY + PATH_CAPACITY + 64];
        std::snprintf(line, sizeof line, "%s\t%" PRId64 "\t%s\t%s", item->url, item->size, state, item->localPath);
        lines->push_back(line);
    }
}

void MQUI_PrintSavedList()
{
    List_Init(&pendingList);
    MOONQ_LoadPending();
    std::vector<std::string> lines;
    MQUI_ListLines(&lines);
    for (const std::string& line : lines)
        std::printf("%s\n", line.c_str());
    // Only read: the placeholders of the items stay where they are.
    while (UrlItem* item = MOONQ_FirstItem()) {
        MOONQ_SetLocalName(item, "");
        List_Remove(&item->link);
        MOONQ_FreeItem(item);
    }
}

int MQUI_EnterDataFolder()
{
    const std::string name = Plat_ProgramDataFolder();
    const std::filesystem::path folder = Plat_Path(name);
    int error = makeFolders(folder);
    std::error_code entered;
    if (error == 0)
        std::filesystem::current_path(folder, entered);
    if (entered)
        error = entered.default_error_condition().value();
    if (error != 0)
        std::fprintf(stderr, "moonfetch: cannot use the data folder %s: %s.\n", name.c_str(),
                     std::strerror(error));
    return error;
}

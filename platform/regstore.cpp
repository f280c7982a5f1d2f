#include "regstore.h"

#include "files.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string_view>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::string_view HEADER_V5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view HEADER_V4 = "REGEDIT4";
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
// Hex data is wrapped so that no line, its trailing backslash included, is longer than this.
constexpr size_t HEX_LINE_WIDTH = 80;

struct RootInfo {
    RegRoot root;
    const char* name;    // as written in the file's key lines
    const char* folder;  // below the configuration folder
    const char* file;
};

constexpr RootInfo ROOTS[] = {
    {REG_ROOT_CURRENT_USER, "HKEY_CURRENT_USER", "Larkvale", "Moonfetch.reg"},
};

struct ErrnoCode {
    int err;
    int32_t code;
};

constexpr ErrnoCode ERRNO_CODES[] = {
    {ENOENT, REG_ERROR_PATH_NOT_FOUND},      {ENOTDIR, REG_ERROR_PATH_NOT_FOUND},
    {EACCES, REG_ERROR_ACCESS_DENIED},       {EPERM, REG_ERROR_ACCESS_DENIED},
    {EISDIR, REG_ERROR_ACCESS_DENIED},       {EROFS, REG_ERROR_WRITE_PROTECT},
    {ENOSPC, REG_ERROR_DISK_FULL},           {EDQUOT, REG_ERROR_DISK_FULL},
    {EFBIG, REG_ERROR_FILE_TOO_LARGE},       {ENOMEM, REG_ERROR_NOT_ENOUGH_MEMORY},
    {EMFILE, REG_ERROR_TOO_MANY_OPEN_FILES}, {ENFILE, REG_ERROR_TOO_MANY_OPEN_FILES},
    {ENAMETOOLONG, REG_ERROR_FILENAME_EXCED_RANGE},
};

struct RegValue {
    std::string name;  // empty for the key's default value
    uint32_t type;
    std::string data;
};

struct RegKey {
    std::string path;  // levels below the root joined by '\\'; empty for the root itself
    std::vector<RegValue> values;
};

struct RegTree {
    std::vector<RegKey> keys;
};

struct LoadedStore {
    RegTree tree;
    bool damaged = false;
    std::string damagedText;  // the bytes of a file that did not parse, kept for the .bad copy
};

const RootInfo* rootInfo(RegRoot root)
{
    for (const RootInfo& info : ROOTS)
        if (info.root == root)
            return &info;
    return nullptr;
}

int32_t codeFromErrno(int err)
{
    if (err == 0)
        return REG_OK;
    for (const ErrnoCode& entry : ERRNO_CODES)
        if (entry.err == err)
            return entry.code;
    return REG_ERROR_GEN_FAILURE;
}

bool hasControlChar(std::string_view text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Orders keys level by level (the separator ranks below every character), so that each key
// follows its parent and the file reads like a tree.
bool keyBefore(const RegKey& a, const RegKey& b)
{
    auto rank = [](char c) { return c == '\\' ? -1 : static_cast<unsigned char>(Text_LowerAscii(c)); };
    return std::lexicographical_compare(a.path.begin(), a.path.end(), b.path.begin(), b.path.end(),
                                        [&](char x, char y) { return rank(x) < rank(y); });
}

// The caller's key path with empty levels dropped.
std::string normalizePath(const char* subKey)
{
    std::string path;
    std::string_view rest = subKey ? subKey : "";
    while (!rest.empty()) {
        size_t end = std::min(rest.find('\\'), rest.size());
        if (end > 0) {
            if (!path.empty())
                path += '\\';
            path += rest.substr(0, end);
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return path;
}

// ---- the tree ----

RegKey& ensureKey(RegTree& tree, std::string_view path)
{
    for (RegKey& key : tree.keys)
        if (Text_EqualNoCase(key.path, path))
            return key;
    tree.keys.push_back({std::string(path), {}});
    return tree.keys.back();
}

// Creates the key and each missing ancestor; levels that exist keep their stored case.
RegKey& createKey(RegTree& tree, std::string_view path)
{
    if (path.empty())
        return ensureKey(tree, path);
    RegKey* key = nullptr;
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('\\', start), path.size());
        std::string built = key ? key->path + '\\' : std::string();
        built += path.substr(start, end - start);
        key = &ensureKey(tree, built);
        start = end + 1;
    }
    return *key;
}

// A key exists when it is stored or is the ancestor of a stored key; the root always exists.
bool keyExists(const RegTree& tree, std::string_view path)
{
    if (path.empty())
        return true;
    return std::any_of(tree.keys.begin(), tree.keys.end(), [&](const RegKey& key) {
        std::string_view stored = key.path;
        return Text_StartsWithNoCase(stored, path) &&
               (stored.size() == path.size() || stored[path.size()] == '\\');
    });
}

const RegValue* findValue(const RegTree& tree, std::string_view path, std::string_view name)
{
    for (const RegKey& key : tree.keys) {
        if (!Text_EqualNoCase(key.path, path))
            continue;
        for (const RegValue& value : key.values)
            if (Text_EqualNoCase(value.name, name))
                return &value;
    }
    return nullptr;
}

// Replaces a value of the same name (which keeps its stored case) or appends a new one.
void putValue(RegKey& key, std::string_view name, uint32_t type, std::string data)
{
    for (RegValue& value : key.values) {
        if (Text_EqualNoCase(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key.values.push_back({std::string(name), type, std::move(data)});
}

// ---- reading the file ----

// Hands out the lines of a text without their CR LF or LF ends.
struct LineReader {
    std::string_view text;

    bool next(std::string_view& line)
    {
        if (text.empty())
            return false;
        size_t end = std::min(text.find('\n'), text.size());
        line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return true;
    }
};

std::string_view trim(std::string_view text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The next line that is neither blank nor a comment, trimmed.
bool nextContentLine(LineReader& lines, std::string_view& line)
{
    while (lines.next(line)) {
        line = trim(line);
        if (!line.empty() && line[0] != ';')
            return true;
    }
    return false;
}

// 1..maxDigits hex digits that make up all of text.
bool parseHexNumber(std::string_view text, size_t maxDigits, uint32_t& value)
{
    if (text.empty() || text.size() > maxDigits)
        return false;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return failure == std::errc() && end == text.data() + text.size();
}

// A quoted text starting at text[pos]; \\ and \" are escapes, any other backslash is kept as
// written. On success pos is just past the closing quote.
bool parseQuoted(std::string_view text, size_t& pos, std::string& out)
{
    if (pos >= text.size() || text[pos] != '"')
        return false;
    for (size_t i = pos + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            pos = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"'))
            c = text[++i];
        out += c;
    }
    return false;
}

// "01,ab, 2f" into bytes; an empty list is zero bytes.
bool parseHexBytes(std::string_view list, std::string& bytes)
{
    if (trim(list).empty())
        return true;
    for (;;) {
        size_t comma = list.find(',');
        uint32_t byte = 0;
        if (!parseHexNumber(trim(list.substr(0, comma)), 2, byte))
            return false;
        bytes += static_cast<char>(byte);
        if (comma == std::string_view::npos)
            return true;
        list.remove_prefix(comma + 1);
    }
}

// "hex:" (binary) or "hex(N):" at the start of text; pos is set just past the colon.
bool parseHexType(std::string_view text, uint32_t& type, size_t& pos)
{
    if (Text_StartsWithNoCase(text, "hex:")) {
        type = REG_BINARY;
        pos = 4;
        return true;
    }
    size_t close = text.find("):");
    if (!Text_StartsWithNoCase(text, "hex(") || close == std::string_view::npos)
        return false;
    pos = close + 2;
    return parseHexNumber(text.substr(4, close - 4), 8, type);
}

std::string dwordBytes(uint32_t number)
{
    std::string bytes(4, '\0');
    for (size_t i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    return bytes;
}

// The data after "name=": a quoted text, "dword:" or hex bytes, which may go on over the next
// lines after a trailing backslash.
bool parseData(std::string_view data, LineReader& lines, uint32_t& type, std::string& bytes)
{
    if (!data.empty() && data[0] == '"') {
        size_t pos = 0;
        type = REG_SZ;
        if (!parseQuoted(data, pos, bytes) || pos != data.size())
            return false;
        bytes += '\0';
        return true;
    }
    if (Text_StartsWithNoCase(data, "dword:")) {
        uint32_t number = 0;
        type = REG_DWORD;
        if (!parseHexNumber(data.substr(6), 8, number))
            return false;
        bytes = dwordBytes(number);
        return true;
    }
    size_t pos = 0;
    if (!parseHexType(data, type, pos))
        return false;
    std::string list(data.substr(pos));
    std::string_view more;
    while (!list.empty() && list.back() == '\\') {
        if (!lines.next(more))
            return false;
        list.pop_back();
        list += trim(more);
    }
    return parseHexBytes(list, bytes);
}

bool parseValueLine(std::string_view line, LineReader& lines, RegKey& key)
{
    std::string name;
    size_t pos = 1;
    if (line[0] != '@') {
        pos = 0;
        if (!parseQuoted(line, pos, name))
            return false;
    }
    std::string_view rest = trim(line.substr(pos));
    uint32_t type = 0;
    std::string bytes;
    if (rest.empty() || rest[0] != '=' || !parseData(trim(rest.substr(1)), lines, type, bytes))
        return false;
    putValue(key, name, type, std::move(bytes));
    return true;
}

// "[ROOT\level\level]" into the tree's path form; false for another root or an empty level.
bool parseKeyLine(std::string_view line, std::string_view rootName, std::string& path)
{
    if (line.size() < 2 || line.back() != ']')
        return false;
    std::string_view inner = line.substr(1, line.size() - 2);
    size_t sep = std::min(inner.find('\\'), inner.size());
    if (!Text_EqualNoCase(inner.substr(0, sep), rootName))
        return false;
    path = inner.substr(std::min(sep + 1, inner.size()));
    bool root = sep == inner.size();
    return root || (!path.empty() && path.front() != '\\' && path.back() != '\\' &&
                    path.find("\\\\") == std::string::npos);
}

// False when the text lacks the header or holds a line that is no key, value, comment or blank.
bool parseStore(std::string_view text, std::string_view rootName, RegTree& tree)
{
    if (text.starts_with(UTF8_BOM))
        text.remove_prefix(UTF8_BOM.size());
    LineReader lines{text};
    std::string_view line;
    if (!nextContentLine(lines, line) || (line != HEADER_V5 && line != HEADER_V4))
        return false;
    RegKey* key = nullptr;
    while (nextContentLine(lines, line)) {
        if (line[0] == '[') {
            std::string path;
            if (!parseKeyLine(line, rootName, path))
                return false;
            key = &ensureKey(tree, path);
        } else if (key == nullptr || !parseValueLine(line, lines, *key)) {
            return false;
        }
    }
    return true;
}

// Returns 0 or errno; text receives the whole file.
int readWholeFile(const std::string& path, std::string& text)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int err = 0;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            err = n == 0 ? 0 : errno;
            break;
        }
    }
    ::close(fd);
    return err;
}

// A missing file is an empty store, and so is a damaged one (flagged, its text kept).
int32_t loadStore(const RootInfo& root, const std::string& file, LoadedStore& store)
{
    std::string text;
    int err = readWholeFile(file, text);
    if (err == ENOENT || err == ENOTDIR)
        return REG_OK;
    if (err != 0)
        return codeFromErrno(err);
    if (!parseStore(text, root.name, store.tree)) {
        store.tree = {};
        store.damaged = true;
        store.damagedText = std::move(text);
    }
    return REG_OK;
}

// ---- writing the file ----

void appendQuoted(std::string& out, std::string_view text)
{
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

// Only a terminated text without control characters or inner NULs fits on one quoted line.
bool writableAsText(const RegValue& value)
{
    std::string_view data = value.data;
    return value.type == REG_SZ && !data.empty() && data.back() == '\0' &&
           !hasControlChar(data.substr(0, data.size() - 1));
}

uint32_t dwordOf(std::string_view bytes)
{
    uint32_t number = 0;
    for (size_t i = 0; i < 4; ++i)
        number |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    return number;
}

// "hex:" or "hex(N):" and the bytes after line, wrapped onto continuation lines.
std::string formatHex(std::string line, const RegValue& value)
{
    char piece[16];
    std::snprintf(piece, sizeof piece, "hex(%x):", value.type);
    line += value.type == REG_BINARY ? "hex:" : piece;
    std::string out;
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(piece, sizeof piece, i + 1 < value.data.size() ? "%02x," : "%02x",
                      static_cast<unsigned char>(value.data[i]));
        if (line.size() + std::strlen(piece) + 1 > HEX_LINE_WIDTH && line.back() == ',') {
            out += line + "\\\n";
            line = "  ";
        }
        line += piece;
    }
    return out + line + '\n';
}

// The value's lines, each ending in LF.
std::string formatValue(const RegValue& value)
{
    std::string line;
    if (value.name.empty())
        line = "@";
    else
        appendQuoted(line, value.name);
    line += '=';
    if (writableAsText(value)) {
        appendQuoted(line, std::string_view(value.data).substr(0, value.data.size() - 1));
        return line + '\n';
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        char number[16];
        std::snprintf(number, sizeof number, "dword:%08x", dwordOf(value.data));
        return line + number + '\n';
    }
    return formatHex(std::move(line), value);
}

// Sorts the keys, then gives the text of the whole file.
std::string formatStore(RegTree& tree, std::string_view rootName)
{
    std::stable_sort(tree.keys.begin(), tree.keys.end(), keyBefore);
    std::string out(HEADER_V5);
    out += "\n\n";
    for (const RegKey& key : tree.keys) {
        out += '[';
        out += rootName;
        if (!key.path.empty())
            out += '\\' + key.path;
        out += "]\n";
        for (const RegValue& value : key.values)
            out += formatValue(value);
        out += '\n';
    }
    return out;
}

// Re-reads the file, keeps a damaged one as "<file>.bad", applies the change and replaces the
// file. Runs under the store lock.
int32_t updateStore(const RootInfo& root, const std::string& file, std::string_view path,
                    std::string_view name, uint32_t type, std::string data)
{
    LoadedStore store;
    int32_t result = loadStore(root, file, store);
    if (result != REG_OK)
        return result;
    if (store.damaged) {
        std::string bad = file + ".bad";
        int err = Plat_ReplaceFile(bad.c_str(), store.damagedText.data(), store.damagedText.size());
        if (err != 0)
            return codeFromErrno(err);
    }
    putValue(createKey(store.tree, path), name, type, std::move(data));
    std::string text = formatStore(store.tree, root.name);
    return codeFromErrno(Plat_ReplaceFile(file.c_str(), text.data(), text.size()));
}

// Runs change while holding the store lock, after creating the file's folder.
int32_t underStoreLock(const std::string& file, const std::function<int32_t()>& change)
{
    std::error_code failed;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), failed);
    if (failed)
        return codeFromErrno(failed.value());
    // The lock lives on its own file: the store file is replaced by rename, which would leave a
    // lock held on it behind on the old inode.
    int lockFd = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0)
        return codeFromErrno(errno);
    int err = 0;
    do
        err = ::flock(lockFd, LOCK_EX) == 0 ? 0 : errno;
    while (err == EINTR);
    int32_t result = codeFromErrno(err);
    if (result == REG_OK)
        result = change();
    ::close(lockFd);  // releases the lock
    return result;
}

}  // namespace

std::string RegStore_FilePath(RegRoot root)
{
    const RootInfo* info = rootInfo(root);
    if (!info)
        return {};
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    std::string folder = (configHome && configHome[0] == PATH_SEP)
                             ? std::string(configHome)
                             : Text_HomeFolder() + PATH_SEP + ".config";
    return folder + PATH_SEP + info->folder + PATH_SEP + info->file;
}

int32_t RegStore_FindKey(RegRoot root, const char* subKey)
{
    const RootInfo* info = rootInfo(root);
    if (!info)
        return REG_ERROR_INVALID_HANDLE;
    LoadedStore store;
    int32_t result = loadStore(*info, RegStore_FilePath(root), store);
    if (result != REG_OK)
        return result;
    return keyExists(store.tree, normalizePath(subKey)) ? REG_OK : REG_ERROR_FILE_NOT_FOUND;
}

int32_t RegStore_QueryValue(RegRoot root, const char* subKey, const char* name, uint32_t* type,
                            void* data, uint32_t* size)
{
    const RootInfo* info = rootInfo(root);
    if (!info)
        return REG_ERROR_INVALID_HANDLE;
    if (data && !size)
        return REG_ERROR_INVALID_PARAMETER;
    LoadedStore store;
    int32_t result = loadStore(*info, RegStore_FilePath(root), store);
    if (result != REG_OK)
        return result;
    const RegValue* value = findValue(store.tree, normalizePath(subKey), name ? name : "");
    if (!value)
        return REG_ERROR_FILE_NOT_FOUND;
    auto length = static_cast<uint32_t>(value->data.size());
    if (type)
        *type = value->type;
    if (data && *size < length)
        result = REG_ERROR_MORE_DATA;
    else if (data)
        std::memcpy(data, value->data.data(), length);
    if (size)
        *size = length;
    return result;
}

int32_t RegStore_SetValue(RegRoot root, const char* subKey, const char* name, uint32_t type,
                          const void* data, uint32_t size)
{
    const RootInfo* info = rootInfo(root);
    if (!info)
        return REG_ERROR_INVALID_HANDLE;
    std::string path = normalizePath(subKey);
    std::string_view valueName = name ? name : "";
    if ((!data && size > 0) || hasControlChar(path) || hasControlChar(valueName))
        return REG_ERROR_INVALID_PARAMETER;
    std::string file = RegStore_FilePath(root);
    return underStoreLock(file, [&] {
        std::string bytes = data ? std::string(static_cast<const char*>(data), size) : std::string();
        return updateStore(*info, file, path, valueName, type, std::move(bytes));
    });
}

int32_t RegStore_CreateFile(RegRoot root)
{
    const RootInfo* info = rootInfo(root);
    if (!info)
        return REG_ERROR_INVALID_HANDLE;
    std::string file = RegStore_FilePath(root);
    return underStoreLock(file, [&] {
        std::error_code failed;
        if (std::filesystem::exists(file, failed) || failed)
            return codeFromErrno(failed.value());
        RegTree empty;
        std::string text = formatStore(empty, info->name);
        return codeFromErrno(Plat_ReplaceFile(file.c_str(), text.data(), text.size()));
    });
}

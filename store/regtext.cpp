#include "store/regtext.h"

#include "platform/text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::string_view HEADER_V5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view HEADER_V4 = "REGEDIT4";
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
// Hex data is wrapped so that no line, its trailing backslash included, is longer than this.
constexpr size_t HEX_LINE_WIDTH = 80;

// The form under which a name is looked up.
std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), Text_LowerAscii);
    return lower;
}

// Orders keys level by level (the separator ranks below every character), so that each key
// follows its parent and the file reads like a tree.
bool keyBefore(const RegKey* a, const RegKey* b)
{
    auto rank = [](char c) { return c == '\\' ? -1 : static_cast<unsigned char>(Text_LowerAscii(c)); };
    return std::lexicographical_compare(a->path.begin(), a->path.end(), b->path.begin(), b->path.end(),
                                        [&](char x, char y) { return rank(x) < rank(y); });
}

// The index of the key stored under path, added when there is none.
size_t keyIndex(RegTree& tree, std::string_view path)
{
    auto [at, added] = tree.keyAt.try_emplace(lowerCase(path), tree.keys.size());
    if (added)
        tree.keys.push_back({std::string(path), {}, {}});
    return at->second;
}

// ---- reading the text ----

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
    RegText_PutValue(key, name, type, std::move(bytes));
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

// ---- writing the text ----

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
           !RegText_HasControlChar(data.substr(0, data.size() - 1));
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

}  // namespace

RegKey& RegText_CreateKey(RegTree& tree, std::string_view path)
{
    size_t index = keyIndex(tree, path.substr(0, path.find('\\')));
    for (size_t end = path.find('\\'); end != std::string_view::npos;) {
        size_t start = end + 1;
        end = path.find('\\', start);
        std::string built = tree.keys[index].path + '\\';
        built += path.substr(start, end == std::string_view::npos ? end : end - start);
        index = keyIndex(tree, built);
    }
    return tree.keys[index];
}

bool RegText_KeyExists(const RegTree& tree, std::string_view path)
{
    if (path.empty() || tree.keyAt.contains(lowerCase(path)))
        return true;
    return std::any_of(tree.keys.begin(), tree.keys.end(), [&](const RegKey& key) {
        std::string_view stored = key.path;
        return stored.size() > path.size() && stored[path.size()] == '\\' &&
               Text_StartsWithNoCase(stored, path);
    });
}

const RegValue* RegText_FindValue(const RegTree& tree, std::string_view path, std::string_view name)
{
    auto key = tree.keyAt.find(lowerCase(path));
    if (key == tree.keyAt.end())
        return nullptr;
    const RegKey& found = tree.keys[key->second];
    auto value = found.valueAt.find(lowerCase(name));
    return value == found.valueAt.end() ? nullptr : &found.values[value->second];
}

void RegText_PutValue(RegKey& key, std::string_view name, uint32_t type, std::string data)
{
    auto [at, added] = key.valueAt.try_emplace(lowerCase(name), key.values.size());
    if (added) {
        key.values.push_back({std::string(name), type, std::move(data)});
        return;
    }
    key.values[at->second].type = type;
    key.values[at->second].data = std::move(data);
}

bool RegText_Parse(std::string_view text, std::string_view rootName, RegTree& tree)
{
    if (text.starts_with(UTF8_BOM))
        text.remove_prefix(UTF8_BOM.size());
    LineReader lines{text};
    std::string_view line;
    if (!nextContentLine(lines, line) || (line != HEADER_V5 && line != HEADER_V4))
        return false;
    RegKey* key = nullptr;  // where value lines go; a key line comes first
    while (nextContentLine(lines, line)) {
        if (line[0] == '[') {
            std::string path;
            if (!parseKeyLine(line, rootName, path))
                return false;
            key = &tree.keys[keyIndex(tree, path)];
        } else if (key == nullptr || !parseValueLine(line, lines, *key)) {
            return false;
        }
    }
    return true;
}

std::string RegText_Format(const RegTree& tree, std::string_view rootName)
{
    std::vector<const RegKey*> ordered;
    ordered.reserve(tree.keys.size());
    for (const RegKey& key : tree.keys)
        ordered.push_back(&key);
    std::stable_sort(ordered.begin(), ordered.end(), keyBefore);
    std::string out(HEADER_V5);
    out += "\n\n";
    for (const RegKey* key : ordered) {
        out += '[';
        out += rootName;
        if (!key->path.empty())
            out += '\\' + key->path;
        out += "]\n";
        for (const RegValue& value : key->values)
            out += formatValue(value);
        out += '\n';
    }
    return out;
}

bool RegText_HasControlChar(std::string_view text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Registry text: the tree of keys and typed values that the settings store keeps, and its text
// in the registry export format (the parser and the formatter).
//
// Contract:
// - Pure: no file, no clock, no shared state. A tree belongs to its caller; any thread may work
//   on a tree that no other thread touches.
// - A key path is the levels below the root joined by '\\', empty for the root itself; the
//   callers hand in paths without empty levels. Key and value names compare case-insensitively
//   (ASCII) and keep the case they were first given in.
// - Parsing and looking up take time linear in the size of the text; formatting also sorts the
//   keys, so that each key follows its parent.
// - A text that does not parse gives false; nothing is thrown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Value types; any other number is kept and written back as it is.
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_QWORD = 11;

struct RegValue {
    std::string name;  // empty for the key's default value
    uint32_t type;
    std::string data;
};

struct RegKey {
    std::string path;
    std::vector<RegValue> values;                     // in the order they were first set
    std::unordered_map<std::string, size_t> valueAt;  // lower-case name -> index in values
};

struct RegTree {
    std::vector<RegKey> keys;                       // in the order they were first met
    std::unordered_map<std::string, size_t> keyAt;  // lower-case path -> index in keys
};

// The key, created with each missing ancestor; levels that exist keep their stored case.
RegKey& RegText_CreateKey(RegTree& tree, std::string_view path);
// A key exists when it is stored or is the ancestor of a stored key; the root always exists.
bool RegText_KeyExists(const RegTree& tree, std::string_view path);
// Null when the key or the value is missing.
const RegValue* RegText_FindValue(const RegTree& tree, std::string_view path, std::string_view name);
// Replaces the value of that name (which keeps its stored case) or appends a new one.
void RegText_PutValue(RegKey& key, std::string_view name, uint32_t type, std::string data);

// Adds the keys and values of text, whose key lines must name rootName, to tree. False when the
// text lacks the header or holds a line that is no key, value, comment or blank; the tree then
// holds what was read before that line.
bool RegText_Parse(std::string_view text, std::string_view rootName, RegTree& tree);
// The whole text of a file that holds tree, each line ending in LF.
std::string RegText_Format(const RegTree& tree, std::string_view rootName);
// Names with a control character cannot be written in the text.
bool RegText_HasControlChar(std::string_view text);

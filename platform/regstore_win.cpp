// The settings store on the registry itself (advapi32): the same keys and values that the text
// file holds elsewhere, with the registry's own error codes.
#include "platform/regstore.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct RootKey {
    RegRoot root;
    HKEY key;
};

const RootKey ROOT_KEYS[] = {
    {REG_ROOT_CURRENT_USER, HKEY_CURRENT_USER},
};

HKEY rootKey(RegRoot root)
{
    for (const RootKey& entry : ROOT_KEYS)
        if (entry.root == root)
            return entry.key;
    return nullptr;
}

// The caller's key path with empty levels dropped, as the text store reads it.
std::string normalizePath(const char* subKey)
{
    std::string path;
    std::string_view rest = subKey ? subKey : "";
    while (!rest.empty()) {
        const size_t end = std::min(rest.find('\\'), rest.size());
        if (end > 0)
            path.append(path.empty() ? "" : "\\").append(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return path;
}

bool hasControlChar(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Closes the key when the scope ends.
struct OpenKey {
    HKEY key = nullptr;
    ~OpenKey()
    {
        if (key != nullptr)
            RegCloseKey(key);
    }
};

}  // namespace

std::string RegStore_FilePath(RegRoot)
{
    return {};
}

int32_t RegStore_QueryValue(RegRoot root, const char* subKey, const char* name, uint32_t* type,
                            void* data, uint32_t* size, int32_t* keyResult)
{
    int32_t ignored = REG_OK;
    int32_t& opened = keyResult ? *keyResult : ignored;
    HKEY parent = rootKey(root);
    if (parent == nullptr)
        return opened = REG_ERROR_INVALID_HANDLE;
    if (data && !size)
        return opened = REG_ERROR_INVALID_PARAMETER;
    OpenKey key;
    opened = RegOpenKeyExA(parent, normalizePath(subKey).c_str(), 0, KEY_QUERY_VALUE, &key.key);
    if (opened != REG_OK)
        return opened;
    // The length first, so that a buffer too small is left untouched, as the text store leaves it.
    DWORD valueType = 0;
    DWORD length = 0;
    int32_t result = RegQueryValueExA(key.key, name ? name : "", nullptr, &valueType, nullptr, &length);
    if (result == REG_OK && data && *size < length)
        result = REG_ERROR_MORE_DATA;
    else if (result == REG_OK && data)
        result = RegQueryValueExA(key.key, name ? name : "", nullptr, &valueType, static_cast<BYTE*>(data), &length);
    if ((result == REG_OK || result == REG_ERROR_MORE_DATA) && size)
        *size = length;
    if (result == REG_OK && type)
        *type = valueType;
    return result;
}

int32_t RegStore_SetValue(RegRoot root, const char* subKey, const char* name, uint32_t type,
                          const void* data, uint32_t size)
{
    HKEY parent = rootKey(root);
    if (parent == nullptr)
        return REG_ERROR_INVALID_HANDLE;
    const std::string path = normalizePath(subKey);
    const char* valueName = name ? name : "";
    if ((!data && size > 0) || hasControlChar(path) || hasControlChar(valueName))
        return REG_ERROR_INVALID_PARAMETER;
    OpenKey key;
    int32_t result = RegCreateKeyExA(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, &key.key, nullptr);
    if (result != REG_OK)
        return result;
    return RegSetValueExA(key.key, valueName, 0, type, static_cast<const BYTE*>(data), size);
}

int32_t RegStore_CreateFile(RegRoot root)
{
    return rootKey(root) != nullptr ? REG_OK : REG_ERROR_INVALID_HANDLE;
}

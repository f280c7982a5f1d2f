// The settings store on the registry itself (advapi32): the same keys and values that the text
// file holds elsewhere, with the registry's own error codes. Text values are UTF-8 to the callers
// and UTF-16 in the registry, where other programs read them.
#include "store/regstore.h"

#include "platform/wide_win.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
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

bool isText(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The value's data as the callers see it: text in UTF-8, anything else as stored.
int32_t readValue(HKEY key, const std::wstring& name, DWORD* type, std::string* data)
{
    std::vector<BYTE> stored;
    DWORD length = 0;
    int32_t result = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &length);
    // A value that grows between the calls is asked for again.
    while (result == REG_OK) {
        stored.resize(length);
        result = RegQueryValueExW(key, name.c_str(), nullptr, type, stored.data(), &length);
        if (result != REG_ERROR_MORE_DATA)
            break;
        result = REG_OK;
    }
    if (result != REG_OK)
        return result;
    stored.resize(length);
    if (isText(*type))
        *data = Plat_Narrow({reinterpret_cast<const wchar_t*>(stored.data()), length / sizeof(wchar_t)});
    else
        data->assign(stored.begin(), stored.end());
    return REG_OK;
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
    opened = RegOpenKeyExW(parent, Plat_Widen(normalizePath(subKey)).c_str(), 0, KEY_QUERY_VALUE, &key.key);
    if (opened != REG_OK)
        return opened;
    DWORD valueType = 0;
    std::string value;
    int32_t result = readValue(key.key, Plat_Widen(name ? name : ""), &valueType, &value);
    // A buffer too small is left untouched, as the text store leaves it.
    if (result == REG_OK && data && *size < value.size())
        result = REG_ERROR_MORE_DATA;
    else if (result == REG_OK && data)
        std::memcpy(data, value.data(), value.size());
    if ((result == REG_OK || result == REG_ERROR_MORE_DATA) && size)
        *size = uint32_t(value.size());
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
    int32_t result = RegCreateKeyExW(parent, Plat_Widen(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, &key.key, nullptr);
    if (result != REG_OK)
        return result;
    const std::wstring wideName = Plat_Widen(valueName);
    if (!isText(type))
        return RegSetValueExW(key.key, wideName.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    const std::wstring text = Plat_Widen({static_cast<const char*>(data), size});
    return RegSetValueExW(key.key, wideName.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.data()),
                          DWORD(text.size() * sizeof(wchar_t)));
}

int32_t RegStore_CreateFile(RegRoot root)
{
    return rootKey(root) != nullptr ? REG_OK : REG_ERROR_INVALID_HANDLE;
}

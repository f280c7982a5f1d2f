#include "settings/registry.h"

#include <algorithm>
#include <cstring>
#include <vector>

int32_t Reg_ReadString(RegRoot root, const char* subKey, const char* name, char* buffer,
                       uint32_t* size)
{
    if (!buffer || !size)
        return REG_ERROR_INVALID_PARAMETER;
    // Read into a copy: a value that turns out not to fit with its terminator must leave the
    // caller's default text as it was.
    std::vector<char> data(std::max<uint32_t>(*size, 1));
    uint32_t length = *size;
    int32_t result = RegStore_QueryValue(root, subKey, name, nullptr, data.data(), &length);
    if (result != REG_OK)
        return result;
    bool terminated = length > 0 && data[length - 1] == '\0';
    if (!terminated && length >= *size)
        return REG_ERROR_MORE_DATA;
    if (!terminated)
        data[length++] = '\0';
    std::memcpy(buffer, data.data(), length);
    *size = length;
    return REG_OK;
}

int32_t Reg_ReadDword(RegRoot root, const char* subKey, const char* name, int32_t* value)
{
    uint32_t length = sizeof *value;
    int32_t opened = REG_OK;
    int32_t result = RegStore_QueryValue(root, subKey, name, nullptr, value, &length, &opened);
    if (opened != REG_OK)
        return opened;
    if (result != REG_OK)
        return ERR_VALUE_MISSING;
    return length < sizeof *value ? ERR_VALUE_SHORT : REG_OK;
}

int32_t Reg_WriteDword(RegRoot root, const char* subKey, const char* name, int32_t value)
{
    return RegStore_SetValue(root, subKey, name, REG_DWORD, &value, sizeof value);
}

int32_t Reg_WriteString(RegRoot root, const char* subKey, const char* name, const char* text)
{
    return RegStore_SetValue(root, subKey, name, REG_SZ, text,
                             static_cast<uint32_t>(std::strlen(text) + 1));
}

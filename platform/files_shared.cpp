#include "platform/files.h"

#include <algorithm>

namespace {

constexpr std::string_view TEMP_LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t TEMP_RANDOM_LENGTH = 6;

}  // namespace

std::string Plat_TempName(const std::string& target, uint64_t seed)
{
    std::string name = target + std::string(PLAT_TEMP_TAG);
    for (size_t i = 0; i < TEMP_RANDOM_LENGTH; ++i, seed /= TEMP_LETTERS.size())
        name += TEMP_LETTERS[seed % TEMP_LETTERS.size()];
    return name;
}

bool Plat_IsTempName(std::string_view name, std::string_view targetName)
{
    if (name.size() != targetName.size() + PLAT_TEMP_TAG.size() + TEMP_RANDOM_LENGTH ||
        !name.starts_with(targetName) || name.substr(targetName.size(), PLAT_TEMP_TAG.size()) != PLAT_TEMP_TAG)
        return false;
    const std::string_view tag = name.substr(name.size() - TEMP_RANDOM_LENGTH);
    return std::all_of(tag.begin(), tag.end(), [](char c) { return TEMP_LETTERS.find(c) != std::string_view::npos; });
}

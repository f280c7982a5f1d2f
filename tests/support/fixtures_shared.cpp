// The fixtures' helpers that the Linux and the Windows test programs share.
#include "tests/support/fixtures.h"

#include <fstream>
#include <sstream>
#include <thread>

namespace moontest {

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
             const std::function<void()>& between)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !predicate(); between ? between() : std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() >= deadline)
            return predicate();
    return true;
}

std::string readFile(const std::filesystem::path& path)
{
    return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

void writeFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::vector<std::string>> fieldsOf(const std::string& text)
{
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line, field; std::getline(in, line);) {
        std::istringstream fields(line);
        lines.emplace_back();
        while (std::getline(fields, field, '\t'))
            lines.back().push_back(field);
    }
    return lines;
}

std::set<std::string> folderEntries(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::u8string name = entry.path().filename().u8string();
        names.emplace(name.begin(), name.end());
    }
    return names;
}

}  // namespace moontest

// The fixtures on Windows. The registry has no folder of its own to hand each test: a test run
// owns a private Wine prefix instead (scripts/test-windows.sh), and each test starts
// with the program's key removed.
#include "tests/support/fixtures.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace moontest {

namespace {

constexpr const char* PROGRAM_KEY = "Software\\Larkvale";
// Set by the Wine run; without it the tests would remove a person's own settings.
constexpr const char* PRIVATE_REGISTRY = "MOON_TEST_PRIVATE_REGISTRY";

}  // namespace

void Sandbox::SetUp()
{
    ASSERT_NE(std::getenv(PRIVATE_REGISTRY), nullptr) << "the tests rewrite the registry: run them in a private prefix";
    RegDeleteTreeA(HKEY_CURRENT_USER, PROGRAM_KEY);
    char unique[64];
    std::snprintf(unique, sizeof unique, "moonfetch-test-%lu-%llu", GetCurrentProcessId(),
                  static_cast<unsigned long long>(GetTickCount64()));
    dir_ = std::filesystem::temp_directory_path() / unique;
    std::filesystem::create_directories(dir_);
    oldCwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
}

void Sandbox::TearDown()
{
    std::filesystem::current_path(oldCwd_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
             const std::function<void()>& between)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !predicate(); between ? between() : std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() >= deadline)
            return predicate();
    return true;
}

std::string readFile(const std::string& path)
{
    return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace moontest

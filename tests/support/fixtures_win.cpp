// The sandbox on Windows (the Windows suites need nothing else of the fixtures). The registry has no folder of its own to hand each test: a test run
// owns a private Wine prefix instead (scripts/test-windows.sh), and each test starts
// with the program's key removed.
#include "tests/support/fixtures.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

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

}  // namespace moontest

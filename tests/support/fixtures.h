// Test fixtures shared by every suite.
//
// Sandbox: each test runs in a fresh temporary directory that is also the current directory
// (the program's data files lie in the current directory), the settings folder
// (XDG_CONFIG_HOME), home (HOME, "home" inside it), the data folder's parent (XDG_DATA_HOME,
// "data" inside) and the folder of the program's local sockets and private copies
// (XDG_RUNTIME_DIR), so no test reads or writes anything of the person running it. No
// authorities' file (CURL_CA_BUNDLE, SSL_CERT_FILE) and no proxy (the variables libcurl reads,
// http_proxy to NO_PROXY) is named unless the test names one, and the D-Bus system and session
// buses are at an address where none answers.
// The directory and everything in it is removed afterwards, and the environment restored.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace moontest {

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Absolute path of name inside the sandbox.
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_;
    std::filesystem::path oldCwd_;
    // The variables the sandbox sets or clears, with their values before (null: unset).
    std::vector<std::pair<std::string, std::optional<std::string>>> oldEnv_;
};

// Polls predicate until it holds or timeout passes, calling between (or sleeping a few
// milliseconds) in between; returns its last value.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10),
             const std::function<void()>& between = {});

// Runs body in a child process; its exit status, or -1 when it did not exit normally.
int inChild(const std::function<int()>& body);
// In a child: gives up root for nobody, whom file permissions bind; false when that fails.
bool becomeNobody();

// Whole content of a file as bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// Creates or replaces a file with exactly these bytes.
void writeFile(const std::filesystem::path& path, const std::string& bytes);
// The names (UTF-8) of what a folder holds.
std::set<std::string> folderEntries(const std::filesystem::path& folder);
// The TAB-separated fields of each line of text.
std::vector<std::vector<std::string>> fieldsOf(const std::string& text);

}  // namespace moontest

// A sandbox with the core started and the real main window created (offscreen), torn down
// afterwards. Modal dialogs and message boxes take the answers the test queues in modals (one
// it did not expect fails it); documents opened are recorded, never launched.
#pragma once

#include "ui/ui.h"

#include "tests/core/core_fixture.h"

#include "tests/support/servers.h"
#include "tests/support/window/window_testing.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace moontest {

class UiSandbox : public CoreSandbox {
protected:
    void SetUp() override;
    void TearDown() override;
    // Runs the event loop (timers, paints) until predicate holds or timeout passes.
    bool waitForUi(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        return waitFor(predicate, timeout, [] { Win_ProcessEvents(10); });
    }
    // Runs the event loop for the given time.
    void pump(int milliseconds) { waitForUi([] { return false; }, std::chrono::milliseconds(milliseconds)); }
    // The main window's list as readers hear it, through the toolkit's interfaces. In the run on an
    // accessibility bus the screen reader there must hear the same.
    WinReadList readAloud();
    // A new item of url with flags and size, whose local file is name in the sandbox ("": none).
    UrlItem* addItem(const std::string& url, uint32_t flags = ITEM_VALID, int64_t size = 1, const std::string& name = "")
    {
        return newItem(url, flags, name.empty() ? "" : path(name), size);
    }

    WinModalQueue modals;
};

// A UiSandbox that downloads into "dl" from a loopback nginx (started by the test).
class DownloadSandbox : public UiSandbox {
protected:
    void SetUp() override;
    void TearDown() override
    {
        UiSandbox::TearDown();
        nginx.reset();
    }
    std::unique_ptr<NginxServer> nginx;
};

// The real program (or another build of its code), started windowless in the current folder
// with the test's environment and arguments; killed at the end of the test if it still runs.
class ProgramProcess {
public:
    explicit ProgramProcess(const char* program = MOON_PROGRAM, std::vector<std::string> arguments = {});
    ~ProgramProcess() { stop(SIGKILL); }
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;
    // Sends signal and waits for the end: the exit code, or -1 when the program was killed
    // by a signal or did not end within 10 s.
    int stop(int signal);
    int pid() const { return pid_; }

private:
    int pid_ = -1;
};

}  // namespace moontest

#include "tests/ui/ui_fixture.h"

#include <cstdlib>
#include <cstring>
#include <spawn.h>

extern char** environ;

namespace moontest {

namespace {

// The toolkit needs its application object before any window exists, once per process; every
// window stays offscreen, those of the programs the tests start too. The run that sets
// MOON_ACCESSIBILITY_BUS shows its windows on an Xvfb of their own instead (Qt's bridge to the
// desktop's accessibility needs a real windowing) and joins them to a real accessibility bus,
// where a screen reader listens.
struct WindowingEnvironment : ::testing::Environment {
    void SetUp() override
    {
        if (std::getenv("MOON_ACCESSIBILITY_BUS") == nullptr)
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        else if (startReaderDesktop(); ::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure())
            return;
        static int argc = 1;
        static char name[] = "moon_ui_tests";
        static char* argv[] = {name, nullptr};
        ASSERT_TRUE(Win_Init(&argc, argv));
        // Qt's bridge joins the bus at the first question to accessibility, which this one asks
        // now: each test's sandbox names no session bus.
        Win_NotifyAccessibleList(nullptr);
    }

    void startReaderDesktop()
    {
        // What it needs beyond the other tests' servers, and the package that brings it.
        const std::pair<const char*, const char*> needs[] = {
            {"test -x /usr/libexec/at-spi-bus-launcher", "at-spi2-core"},
            {"/usr/bin/python3 -c 'import gi; gi.require_version(\"Atspi\", \"2.0\")' 2>/dev/null", "gir1.2-atspi-2.0"}};
        for (auto [check, package] : needs)
            if (std::system(check) != 0)
                GTEST_SKIP() << "No accessibility bus: package " << package
                             << " is missing (scripts/install-deps.sh installs it)";
        std::string folder = (std::filesystem::temp_directory_path() / "moonfetch-reader-XXXXXX").string();
        ASSERT_NE(::mkdtemp(folder.data()), nullptr);
        dir = folder;
        display = std::make_unique<XServer>(folder + "/x");
        ASSERT_TRUE(display->start());
        bus = std::make_unique<AccessibilityBus>(folder + "/bus");
        ASSERT_TRUE(bus->start());
        for (const std::string& setting : display->environment())
            ::putenv(::strdup(setting.c_str()));
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str(), 1);
    }

    ~WindowingEnvironment() override
    {
        bus.reset();
        display.reset();
        std::error_code ignored;
        if (!dir.empty())
            std::filesystem::remove_all(dir, ignored);
    }

    std::string dir;
    std::unique_ptr<XServer> display;
    std::unique_ptr<AccessibilityBus> bus;
};

auto* const environment =
    static_cast<WindowingEnvironment*>(::testing::AddGlobalTestEnvironment(new WindowingEnvironment));

// A reading as the bus's reader writes it (tests/support/accessibility_bus.py).
std::string heardAs(const WinReadList& read)
{
    std::string text = "found " + std::to_string(int(read.found)) + "\ndescription " + read.description + "\n";
    for (const WinReadRow& row : read.rows)
        text += std::string("row ") + char('0' + row.selected) + char('0' + row.focused) + " " + row.name + "\n";
    return text + "focus " + std::to_string(read.focusChild) + "\n";
}

}  // namespace

void UiSandbox::SetUp()
{
    CoreSandbox::SetUp();
    Win_RecordOpenedDocuments(true);
    ui = UiState{};
    ui.listTop = 10;
    ui.visibleRows = 5;
    downloadOptions = DownloadOptions{};
    MQUI_InstallCheckBackDialogs();
    ASSERT_TRUE(MQUI_CreateMainWindow());
    pump(20);
}

void UiSandbox::TearDown()
{
    Win_SetModalScript(nullptr);
    if (ui.hwndMain)
        Win_DestroyWindow(ui.hwndMain);
    pump(10);
    CoreSandbox::TearDown();
}

WinReadList UiSandbox::readAloud()
{
    const WinReadList read = Win_ReadAccessibleList(ui.hwndMain);
    AccessibilityBus* bus = environment->bus.get();
    if (bus == nullptr)
        return read;
    // The reader hears the toolkit's events a little later than they were sent: it looks again
    // until it has caught up.
    std::string heard;
    waitForUi([&] {
        bus->askForList();
        waitForUi([&] { return !bus->heardList().empty(); });
        heard = bus->heardList();
        return heard == heardAs(read);
    });
    EXPECT_EQ(heard, heardAs(read)) << "over the accessibility bus";
    return read;
}

void DownloadSandbox::SetUp()
{
    UiSandbox::SetUp();
    std::filesystem::create_directory(path("dl"));
    MOONQ_SetDownloadDir(path("dl").c_str());
    nginx = std::make_unique<NginxServer>(path("nginx"));
}

ProgramProcess::ProgramProcess(const char* program, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (pid_t pid = -1; ::posix_spawn(&pid, program, nullptr, nullptr, argv.data(), environ) == 0)
        pid_ = pid;
}

int ProgramProcess::stop(int signal)
{
    const int code = pid_ > 0 ? endProcess(pid_, signal, std::chrono::seconds(10)) : -1;
    pid_ = -1;
    return code;
}

}  // namespace moontest

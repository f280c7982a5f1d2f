#include "tests/ui/ui_fixture.h"

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace moontest {

namespace {

// The toolkit needs its application object before any window exists, once per process; every
// window stays offscreen, those of the programs the tests start too.
struct WindowingEnvironment : ::testing::Environment {
    void SetUp() override
    {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "moon_ui_tests";
        static char* argv[] = {name, nullptr};
        ASSERT_TRUE(Win_Init(&argc, argv));
    }
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new WindowingEnvironment);

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
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, signal);
    int status = 0;
    pid_t ended = 0;
    if (!waitFor([&] { return (ended = ::waitpid(pid_, &status, WNOHANG)) != 0; }, std::chrono::seconds(10))) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace moontest

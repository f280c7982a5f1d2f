#include "ui_fixture.h"

#include <chrono>
#include <filesystem>

namespace moontest {

namespace {

// The toolkit needs its application object before any window exists, once per process.
class WindowingEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
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

bool UiSandbox::waitForUi(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return predicate();
        Win_ProcessEvents(10);
    }
    return true;
}

void UiSandbox::pump(int milliseconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < deadline)
        Win_ProcessEvents(5);
}

void DownloadSandbox::SetUp()
{
    UiSandbox::SetUp();
    std::filesystem::create_directory(path("dl"));
    MOONQ_SetDownloadDir(path("dl").c_str());
    Win_SetModalScript([](const WinModal&) { return WinModalAnswer{}; });
    nginx = std::make_unique<NginxServer>(path("nginx"));
}

void DownloadSandbox::TearDown()
{
    UiSandbox::TearDown();
    nginx.reset();
}

}  // namespace moontest

// moonfetch.exe as a person uses it, on a display: a link typed into "Add:", checked, downloaded
// from the Linux side's nginx byte for byte, the list saved at the end; a second start hands its
// link to the running copy. The program is the build's own (MOON_PROGRAM); dialogs that a start
// asks are answered with OK, as a person would. Its data and download folders have accents, as
// under a profile such as C:\Users\José, and the server names the file with them.
#include "core/pending.h"
#include "tests/support/fixtures.h"
#include "tests/support/pattern.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using moontest::readFile;
using namespace std::chrono_literals;

// The toolbar's controls as ui/ui.h numbers them, seen from outside the program as a person's
// tools see them.
constexpr int IDC_DOWNLOAD_NOW = 1003, IDC_ADD = 1048, IDC_URL = 1049;
constexpr uint64_t BIG_SIZE = 3 << 20;
constexpr const char* SAVED_HEADER = "1.2, Moonfetch pending URL list for internal use.\n";
// The name that the server gives "named.bin", and the folders, in UTF-8 and UTF-16.
constexpr const char* SERVER_NAME = "na\xC3\xAFve-\xE2\x82\xAC.bin";
constexpr const wchar_t* SERVER_NAME_WIDE = L"na\u00EFve-\u20AC.bin";
constexpr const wchar_t* DATA_FOLDER = L"Donn\u00E9es";
constexpr const wchar_t* DOWNLOAD_FOLDER = L"T\u00E9l\u00E9chargements";

std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// Calls visit on each visible top-level window of the process until it returns false.
template <typename Visit>
void eachWindowOf(DWORD process, Visit visit)
{
    auto step = [](HWND window, LPARAM context) -> BOOL {
        auto* self = reinterpret_cast<std::pair<DWORD, Visit*>*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        return owner != self->first || !IsWindowVisible(window) || (*self->second)(window);
    };
    std::pair<DWORD, Visit*> context{process, &visit};
    EnumWindows(step, reinterpret_cast<LPARAM>(&context));
}

// The program, started in the test's folder with arguments; it is ended with the test.
struct Running {
    PROCESS_INFORMATION process{};

    explicit Running(const std::string& arguments, HANDLE output = nullptr)
    {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (output != nullptr) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = startup.hStdOutput = startup.hStdError = output;
        }
        // The build's program on Wine's drive Z:, the Linux root.
        std::wstring line = L"\"" + std::filesystem::path("Z:" MOON_PROGRAM).make_preferred().wstring() + L"\" " +
                            widen(arguments);
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, output != nullptr, 0, nullptr, nullptr, &startup,
                       &process);
    }
    ~Running()
    {
        if (process.hProcess != nullptr && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(process.hProcess, 99);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    // The exit code once it ended within the time, else -1.
    DWORD ended(DWORD milliseconds = 30000) const
    {
        DWORD code = DWORD(-1);
        if (WaitForSingleObject(process.hProcess, milliseconds) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        return code;
    }
    // Presses OK in the dialogs it shows.
    void acceptDialogs() const
    {
        eachWindowOf(process.dwProcessId, [](HWND window) {
            char name[16] = "";
            if (GetClassNameA(window, name, sizeof name) > 0 && std::string(name) == "#32770")
                PostMessageW(window, WM_COMMAND, IDOK, 0);
            return true;
        });
        Sleep(200);
    }
    // Its visible main window: a second start answers a handed link only once that is up.
    HWND mainWindow() const
    {
        HWND found = nullptr;
        moontest::waitFor([&] {
            eachWindowOf(process.dwProcessId, [&](HWND window) {
                wchar_t caption[32] = L"";
                GetWindowTextW(window, caption, 32);
                found = std::wstring(caption) == L"Moonfetch" ? window : nullptr;
                return found == nullptr;
            });
            return found != nullptr;
        }, 60s, [this] { acceptDialogs(); });
        return found;
    }
};

// The descendant of window with the control id, once the window has made it.
HWND control(HWND window, int id)
{
    std::pair<int, HWND> wanted{id, nullptr};
    moontest::waitFor([&] {
        EnumChildWindows(window, [](HWND child, LPARAM context) -> BOOL {
            auto* wanted = reinterpret_cast<std::pair<int, HWND>*>(context);
            wanted->second = GetDlgCtrlID(child) == wanted->first ? child : nullptr;
            return wanted->second == nullptr;
        }, reinterpret_cast<LPARAM>(&wanted));
        return wanted.second != nullptr;
    }, 30s);
    return wanted.second;
}

// What "moonfetch --list" prints beside the running copy.
std::string listed()
{
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE output = CreateFileA("list.txt", GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, nullptr);
    const DWORD code = Running("--list", output).ended();
    CloseHandle(output);
    return code == 0 ? readFile("list.txt") : "";
}

// Presses the toolbar's button.
void press(HWND main, int id)
{
    HWND button = control(main, id);
    PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

// The UTF-8 text of a path.
std::string utf8(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

class Program : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        // The program runs in the data folder, where it keeps its lock, list and log.
        std::filesystem::create_directory(dir() / DATA_FOLDER);
        std::filesystem::current_path(dir() / DATA_FOLDER);
        // Downloads land here without a dialog asking where.
        downloads = dir() / DOWNLOAD_FOLDER;
        std::filesystem::create_directory(downloads);
        const std::wstring folder = downloads.wstring();
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Larkvale\\Moonfetch\\Directories", L"Download", REG_SZ,
                                  folder.c_str(), DWORD((folder.size() + 1) * sizeof(wchar_t))), ERROR_SUCCESS);
        const char* port = std::getenv("MOON_TEST_HTTP_PORT");
        ASSERT_NE(port, nullptr) << "run under moon_wine_servers";
        base = "http://127.0.0.1:" + std::string(port) + "/";
    }
    std::string base;
    std::filesystem::path downloads;
};

TEST_F(Program, DownloadsATypedLinkSavesItsListAndASecondStartHandsItsLinkToTheFirst)
{
    {
        const Running first("");
        HWND main = first.mainWindow();
        ASSERT_NE(main, nullptr);
        const std::wstring link = widen(base + "named.bin");
        ASSERT_TRUE(SendMessageTimeoutW(control(main, IDC_URL), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(link.c_str()),
                                        SMTO_ABORTIFHUNG, 10000, nullptr));
        press(main, IDC_ADD);
        const auto accept = [&first] { first.acceptDialogs(); };
        EXPECT_TRUE(moontest::waitFor(
            [&] {
                return listed().starts_with(base + "named.bin\t" + std::to_string(BIG_SIZE) + "\tready\t" +
                                            utf8(downloads) + "\\" + SERVER_NAME + "\r\n");
            }, 60s, accept));
        press(main, IDC_DOWNLOAD_NOW);
        EXPECT_TRUE(moontest::waitFor(
            [&] { return readFile(downloads / SERVER_NAME_WIDE) == moontest::patternBytes(0, BIG_SIZE); }, 120s, accept));
        // The run ends at the program's next look at its download, its progress window with it;
        // closed before, the program would stay in the tray as the run still goes.
        EXPECT_TRUE(moontest::waitFor([] { return FindWindowW(nullptr, L"Download Progress") == nullptr; }, 30s));
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(first.ended(), 0u);
        EXPECT_EQ(readFile(PENDING_FILE), SAVED_HEADER);   // a downloaded link leaves the list
    }
    const Running first("");
    HWND main = first.mainWindow();
    ASSERT_NE(main, nullptr);
    const std::string handed = base + "small.bin";
    EXPECT_EQ(Running(handed).ended(), 0u);
    // Checked, with its local file in the download folder.
    EXPECT_TRUE(moontest::waitFor([&] { return listed().starts_with(handed + "\t65536\tready\t" + utf8(downloads)); }, 60s,
                                  [&first] { first.acceptDialogs(); }));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(first.ended(), 0u);
    EXPECT_NE(readFile(PENDING_FILE).find(SAVED_HEADER + handed + "\n"), std::string::npos);
}

}  // namespace

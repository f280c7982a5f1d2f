#include "tests/support/window/window_testing.h"

#include "tests/support/fixtures.h"
#include "handoff/transport.h"

#include <atomic>
#include <future>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <iterator>

namespace {

struct Message {
    HWND window;
    uint32_t message;
    WPARAM wParam;
    LPARAM lParam;
};

std::vector<Message> messages;
// What a test's dialog procedure does beyond recording; a true answer means "handled".
std::function<intptr_t(HWND, uint32_t, WPARAM, LPARAM)> dialogHook;

LRESULT mainProc(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    messages.push_back({window, message, wParam, lParam});
    return 0;
}

intptr_t dialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    messages.push_back({dialog, message, wParam, lParam});
    return dialogHook ? dialogHook(dialog, message, wParam, lParam) : 0;
}

std::vector<Message> received(uint32_t message)
{
    std::vector<Message> found;
    for (const Message& m : messages) {
        if (m.message == message)
            found.push_back(m);
    }
    return found;
}

// The wParam of each WM_COMMAND received.
std::vector<WPARAM> commands()
{
    std::vector<WPARAM> found;
    for (const Message& m : received(WM_COMMAND))
        found.push_back(m.wParam);
    return found;
}

int low(uintptr_t value) { return int(value & 0xFFFF); }

constexpr WinMenuItem MENU[] = {
    {"&File", "E&xit", 105}, {"&Edit", "&Undo", 32774}, {"&Edit", "&Delete", 32773}, {"&Help", "&About ...", 104}};
constexpr WinAccelerator ACCELERATORS[] = {{'?', 104}, {'/', 104}};
const WinMainTemplate MAIN = {"Moonfetch window test", "no-such-large.png", nullptr, MENU, std::size(MENU),
                              ACCELERATORS, std::size(ACCELERATORS), mainProc};

constexpr int ID_CHECK = 1004, ID_ADD = 1048, ID_EDIT = 1049, ID_NOW = 1003;
constexpr int ID_RADIO_A = 1070, ID_RADIO_B = 1071, ID_RADIO_C = 1072, ID_END = 1080;
constexpr WinControlTemplate CONTROLS[] = {
    {ID_NOW, WinControl::PushButton, "Download Now", WS_DISABLED | WS_TABSTOP, 8, 16, 40, 16},
    {ID_CHECK, WinControl::CheckBox, "Download At", WS_TABSTOP, 80, 0, 84, 18},
    {ID_ADD, WinControl::DefPushButton, "Add:", WS_TABSTOP, 176, 2, 38, 14},
    {ID_EDIT, WinControl::Edit, "", WS_TABSTOP, 20, 40, 120, 14},
    {-1, WinControl::Static, "Bytes <b>Downloaded</b>", 0, 7, 60, 100, 8},
    {ID_RADIO_A, WinControl::RadioButton, "A", WS_GROUP, 100, 70, 30, 10},
    {ID_RADIO_B, WinControl::RadioButton, "B", 0, 100, 80, 30, 10},
    {ID_RADIO_C, WinControl::RadioButton, "C", WS_GROUP, 140, 70, 30, 10},
    {IDOK, WinControl::PushButton, "OK", WS_TABSTOP, 100, 90, 40, 14},
    {ID_END, WinControl::PushButton, "End", WS_TABSTOP, 150, 90, 40, 14},
    {-1, WinControl::Icon, "no-such-icon.png", 0, 180, 60, 20, 20},
};
const WinDialogTemplate DIALOG = {129, "Download Progress", false, 30, 50, 240, 110, "No Such Font Family", 8,
                                  CONTROLS, std::size(CONTROLS)};
const WinDialogTemplate STRIP = {104, nullptr, true, 0, 0, 240, 18, "MS Sans Serif", 8, CONTROLS, 4};

class WindowTest : public moontest::Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        static int argc = 1;
        static char name[] = "moon_platform_tests";
        static char* argv[] = {name, nullptr};
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);   // every window stays unseen
        ASSERT_TRUE(Win_Init(&argc, argv));
        messages.clear();
        dialogHook = nullptr;
    }

    void TearDown() override
    {
        for (HWND window : windows_)
            Win_DestroyWindow(window);
        Win_ProcessEvents(0);
        Sandbox::TearDown();
    }

    HWND showMain()
    {
        HWND main = Win_CreateMainWindow(MAIN);
        windows_.push_back(main);
        Win_ShowWindow(main);
        Win_ProcessEvents(0);
        return main;
    }

    HWND dialog(const WinDialogTemplate& tpl, HWND parent, LPARAM lParam = 0)
    {
        HWND created = Win_CreateDialog(tpl, parent, dialogProc, lParam);
        if (parent == nullptr)
            windows_.push_back(created);
        Win_ShowWindow(created);
        return created;
    }

    // Offsets of a control from the corner of its dialog (frame included).
    static WinRect placeOf(HWND dialog, int id)
    {
        WinRect origin = Win_GetWindowRect(dialog);
        WinRect rect = Win_GetWindowRect(Win_GetDlgItem(dialog, id));
        return {rect.left - origin.left, rect.top - origin.top, rect.right - origin.left, rect.bottom - origin.top};
    }

    WinModalQueue modals;

private:
    std::vector<HWND> windows_;
};

TEST_F(WindowTest, ResizeAndPaintReachTheProcedureAtOnce)
{
    EXPECT_FALSE(Win_DefaultFontFamily().empty());   // text has a real font
    EXPECT_TRUE(Win_Init(nullptr, nullptr));
    HWND main = showMain();
    messages.clear();
    Win_MoveWindow(main, 0, 0, 640, 480);
    ASSERT_FALSE(received(WM_SIZE).empty());
    WinRect client = Win_GetClientRect(main);
    EXPECT_EQ(client.right, 640);   // no scroll bar while there is nothing to scroll
    EXPECT_TRUE(client.bottom > 400 && client.bottom < 480);   // the menu bar is not client area
    EXPECT_EQ(received(WM_SIZE).back().lParam, LPARAM(client.right | client.bottom << 16));
    messages.clear();
    Win_Invalidate(main, true);
    EXPECT_EQ(received(WM_PAINT).size(), 1u);   // painted before returning
    EXPECT_EQ(Win_BeginPaint(main), nullptr);   // outside WM_PAINT: no DC, nothing drawn
}

TEST_F(WindowTest, ScrollBarShowsOnlyWithARangeAndMovesOnlyWhenTheProgramSaysSo)
{
    HWND main = showMain();
    int fullWidth = Win_GetClientRect(main).right;
    messages.clear();
    Win_SetScrollRange(main, 10);
    int narrowed = Win_GetClientRect(main).right;
    EXPECT_LT(narrowed, fullWidth);
    ASSERT_FALSE(received(WM_SIZE).empty());   // the procedure hears of the narrower client area
    EXPECT_EQ(low(uintptr_t(received(WM_SIZE).back().lParam)), narrowed);

    std::vector<int> positions;
    for (int position : {4, 99}) {
        Win_SetScrollPos(main, position);
        positions.push_back(Win_GetScrollPos(main));
    }
    Win_SetScrollRange(main, 3);
    positions.push_back(Win_GetScrollPos(main));
    EXPECT_EQ(positions, (std::vector<int>{4, 10, 3}));
    // The person presses the down arrow at the bottom of the bar, right of the client area.
    Win_SetScrollPos(main, 1);
    messages.clear();
    WinRect client = Win_GetClientRect(main);
    Win_SendClick(main, client.right + 3, client.bottom - 3, false, false);
    ASSERT_EQ(received(WM_VSCROLL).size(), 1u);
    EXPECT_EQ(low(received(WM_VSCROLL)[0].wParam), int(SB_LINEDOWN));
    EXPECT_EQ(Win_GetScrollPos(main), 1);   // this procedure did not move it
    Win_SetScrollRange(main, 0);
    EXPECT_EQ(std::tuple(Win_GetClientRect(main).right, Win_GetScrollPos(main)), std::tuple(fullWidth, 0));
}

TEST_F(WindowTest, TimersTickByIdUntilKilledAndRestartWhenSetAgain)
{
    HWND main = showMain();
    EXPECT_EQ(Win_SetTimer(main, 17, 10), 17u);
    EXPECT_EQ(Win_SetTimer(main, 23, 5000), 23u);
    auto ticks = [](WPARAM id) {
        size_t count = 0;
        for (const Message& m : received(WM_TIMER))
            count += m.wParam == id;
        return count;
    };
    ASSERT_TRUE(moontest::waitFor([&] { Win_ProcessEvents(5); return ticks(17) >= 3; }));
    EXPECT_EQ(ticks(23), 0u);
    EXPECT_EQ(received(WM_TIMER).size(), ticks(17));
    Win_KillTimer(main, 17);
    Win_SetTimer(main, 23, 10);   // the same id again: restarted with the new period
    messages.clear();
    Win_ProcessEvents(120);
    EXPECT_TRUE(ticks(17) == 0 && ticks(23) >= 3) << ticks(17) << " " << ticks(23);
    EXPECT_EQ(Win_SetTimer(nullptr, 5, 10), 0u);
}

TEST_F(WindowTest, MenuItemsAndAltAcceleratorsSendTheirCommands)
{
    HWND main = showMain();
    messages.clear();
    EXPECT_TRUE(Win_ChooseMenu(main, 32773));
    EXPECT_FALSE(Win_ChooseMenu(main, 9999));
    Win_EnableMenuItem(main, 32773, false);   // greyed out: the person cannot choose it
    EXPECT_FALSE(Win_ChooseMenu(main, 32773));
    Win_EnableMenuItem(main, 32773, true);
    Win_SendAltChar(main, '?');
    Win_SendAltChar(main, '/');
    Win_SendAltChar(main, 'q');   // no accelerator: nothing at all
    // An accelerator's command has 1 in its high word.
    EXPECT_EQ(commands(), (std::vector<WPARAM>{32773, 104 | 1 << 16, 104 | 1 << 16}));
    EXPECT_TRUE(received(WM_KEYDOWN).empty());
}

TEST_F(WindowTest, TemplatesPlaceControlsInDialogUnitsOfTheFont)
{
    HWND main = showMain();
    HWND progress = dialog(DIALOG, main, 77);
    ASSERT_EQ(received(WM_INITDIALOG).size(), 1u);
    EXPECT_EQ(received(WM_INITDIALOG)[0].lParam, 77);
    // "Download Now" is 40 x 16 units: ten average characters wide, two lines high.
    const WinRect now = placeOf(progress, ID_NOW), edit = placeOf(progress, ID_EDIT);
    const WinRect client = Win_GetClientRect(progress);
    const int cx = (now.right - now.left) / 10, cy = (now.bottom - now.top) / 2;
    ASSERT_TRUE(cx > 0 && cy > 0);
    EXPECT_EQ(std::tuple(now.right - now.left, edit.left - now.left, edit.top - now.top, edit.right - edit.left),
              std::tuple(10 * cx, (20 - 8) * cx / 4, (40 - 16) * cy / 8, 120 * cx / 4));
    EXPECT_EQ(std::tuple(client.right, client.bottom), std::tuple(240 * cx / 4, 110 * cy / 8));
    EXPECT_EQ(Win_GetDlgItem(progress, 4242), nullptr);
    // A text cut to its buffer ends in front of a character that does not fit whole.
    const struct { const char* set; size_t size; const char* cut; } cuts[] = {
        {nullptr, 6, "Downl"}, {"Gr\xC3\xBC\xC3\x9F" "e", 4, "Gr"}, {"\xF0\x9F\x93\xA6", 4, ""}};
    for (const auto& c : cuts) {
        HWND now = Win_GetDlgItem(progress, ID_NOW);
        if (c.set != nullptr)
            Win_SetWindowText(now, c.set);
        char text[8];
        EXPECT_EQ(Win_GetWindowText(now, text, c.size), std::strlen(c.cut));
        EXPECT_STREQ(text, c.cut);
    }
    EXPECT_EQ(Win_TextOf(Win_GetDlgItem(progress, -1)), "Bytes <b>Downloaded</b>");   // plain text, never markup

    // The toolbar strip has no frame: its controls lie at their template places from its corner.
    HWND strip = dialog(STRIP, main);
    const WinRect bar = Win_GetWindowRect(strip), place = placeOf(strip, ID_NOW);
    EXPECT_EQ(std::tuple(bar.bottom - bar.top, place.left, place.top),
              std::tuple(18 * cy / 8, 8 * cx / 4, 16 * cy / 8));
}

TEST_F(WindowTest, ControlsNotifyTheirDialogAsOnWindows)
{
    HWND progress = dialog(DIALOG, nullptr);
    HWND check = Win_GetDlgItem(progress, ID_CHECK);
    HWND edit = Win_GetDlgItem(progress, ID_EDIT);
    bool checkedWhenTold = false;
    dialogHook = [&](HWND, uint32_t message, WPARAM wParam, LPARAM lParam) -> intptr_t {
        if (message == WM_COMMAND && low(wParam) == ID_CHECK)
            checkedWhenTold = Win_IsChecked(reinterpret_cast<HWND>(lParam));
        return 0;
    };
    messages.clear();
    Win_Click(check);
    Win_SetChecked(check, false);   // the program's own change tells nobody
    EXPECT_FALSE(Win_IsChecked(check));
    Win_Click(Win_GetDlgItem(progress, ID_NOW));   // disabled: the person cannot press it
    Win_LimitText(edit, 12);
    Win_SetWindowText(edit, "http://");
    Win_TypeText(edit, "ftp://example.com/file");
    const WPARAM changed = ID_EDIT | EN_CHANGE << 16;
    ASSERT_EQ(commands(), (std::vector<WPARAM>{ID_CHECK | BN_CLICKED << 16, changed, changed}));
    EXPECT_EQ(received(WM_COMMAND).back().lParam, LPARAM(edit));
    EXPECT_TRUE(checkedWhenTold);
    EXPECT_EQ(Win_TextOf(edit), "ftp://exampl");

    HWND radios[] = {Win_GetDlgItem(progress, ID_RADIO_A), Win_GetDlgItem(progress, ID_RADIO_B),
                     Win_GetDlgItem(progress, ID_RADIO_C)};
    for (int i : {0, 2, 1})
        Win_Click(radios[i]);
    // A and B share a group, C has one of its own.
    EXPECT_EQ(std::tuple(Win_IsChecked(radios[0]), Win_IsChecked(radios[1]), Win_IsChecked(radios[2])),
              std::tuple(false, true, true));
    Win_SetChecked(radios[1], false);
    EXPECT_FALSE(Win_IsChecked(radios[1]));
}

TEST_F(WindowTest, EnterPressesTheDefaultButtonAndEscapeCancels)
{
    HWND progress = dialog(DIALOG, nullptr);
    Win_SetFocus(Win_GetDlgItem(progress, ID_EDIT));
    messages.clear();
    Win_SendKey(progress, VK_RETURN, false);
    Win_SetDefaultButton(progress, ID_END);
    Win_SendKey(progress, VK_RETURN, false);
    Win_EnableWindow(Win_GetDlgItem(progress, ID_END), false);
    Win_SendKey(progress, VK_RETURN, false);   // a disabled default button: nothing
    Win_SendKey(progress, VK_ESCAPE, false);
    EXPECT_EQ(commands(), (std::vector<WPARAM>{ID_ADD, ID_END, IDCANCEL}));
    EXPECT_EQ(received(WM_COMMAND)[0].lParam, LPARAM(Win_GetDlgItem(progress, ID_ADD)));
}

TEST_F(WindowTest, ModalDialogRunsTimersUntilItsProcedureEndsIt)
{
    HWND main = showMain();
    Win_SetTimer(main, 17, 5);
    modals.answers = {Win_Press({IDOK, ID_END})};   // OK is left to the platform: nothing happens
    bool ending = false;
    dialogHook = [&](HWND dialog, uint32_t message, WPARAM wParam, LPARAM) -> intptr_t {
        if (message == WM_COMMAND && low(wParam) == ID_END)
            ending = true;
        if (message == WM_TIMER && ending)
            Win_EndDialog(dialog, 42);
        if (message == WM_INITDIALOG)
            Win_SetTimer(dialog, 5, 20);
        return message == WM_INITDIALOG;
    };
    messages.clear();
    EXPECT_EQ(Win_DialogBox(DIALOG, main, dialogProc, 9), 42);
    EXPECT_EQ(modals.seen, std::vector<std::string>{"dialog 129 Download Progress"});
    EXPECT_EQ(std::tuple(received(WM_INITDIALOG)[0].lParam, received(WM_COMMAND).size(), received(WM_DESTROY).size()),
              std::tuple(LPARAM(9), 2u, 1u));
    EXPECT_TRUE(std::ranges::any_of(received(WM_TIMER), [main](const Message& m) { return m.window == main; }));
    // A dialog ended while it starts returns at once, unshown and unscripted.
    dialogHook = [](HWND dialog, uint32_t message, WPARAM, LPARAM) -> intptr_t {
        if (message == WM_INITDIALOG)
            Win_EndDialog(dialog, 3);
        return 0;
    };
    EXPECT_EQ(Win_DialogBox(DIALOG, main, dialogProc, 0), 3);
    EXPECT_EQ(modals.seen.size(), 1u);
}

TEST_F(WindowTest, EndOfSessionClosesTheOpenDialogFirstAndASecondSignalEndsAtOnce)
{
    HWND main = showMain();
    Win_ListenForEndSession(main);
    // A second signal ends the process at once: the first waits for the event loop, which a long
    // save may keep from running.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((::raise(SIGINT), ::raise(SIGINT)), ::testing::KilledBySignal(SIGINT), "");
    modals.answers = {[](const WinModal&) {
        ::raise(SIGTERM);
        return WinModalAnswer{};
    }};
    dialogHook = [](HWND dialog, uint32_t message, WPARAM wParam, LPARAM) -> intptr_t {
        if (message == WM_COMMAND && low(wParam) == IDCANCEL)
            Win_EndDialog(dialog, IDCANCEL);
        return message == WM_INITDIALOG;
    };
    messages.clear();
    EXPECT_EQ(Win_DialogBox(DIALOG, main, dialogProc, 0), IDCANCEL);
    EXPECT_TRUE(received(WM_ENDSESSION).empty());   // not under the dialog's caller
    Win_ProcessEvents(20);
    ASSERT_EQ(received(WM_ENDSESSION).size(), 1u);
    EXPECT_EQ(received(WM_ENDSESSION)[0].wParam, 1u);
}

TEST_F(WindowTest, ScriptsAnswerMessageBoxesAndFileDialogs)
{
    modals.answers = {Win_Answer(IDOK), Win_Answer(IDOK, "/downloads/b.zip"),
                      Win_Answer(IDOK, "/a/name/that/does/not/fit/in/the/buffer.zip"), Win_Answer(IDOK)};
    EXPECT_EQ(Win_MessageBox(nullptr, "Scheduled download will not occur if you quit.", nullptr, MB_OKCANCEL), IDOK);
    char file[32] = "/downloads/a.zip";
    EXPECT_TRUE(Win_SaveFileName(nullptr, file, sizeof file));
    EXPECT_STREQ(file, "/downloads/b.zip");
    EXPECT_FALSE(Win_SaveFileName(nullptr, file, sizeof file));
    EXPECT_FALSE(Win_OpenFileName(nullptr, file, sizeof file));
    EXPECT_STREQ(file, "/downloads/b.zip");   // a cancel leaves the name as it was
    // "Error" is Windows' caption when none is given.
    EXPECT_EQ(modals.seen, (std::vector<std::string>{"box Error: Scheduled download will not occur if you quit.",
                                                     "save Save As: /downloads/a.zip", "save Save As: /downloads/b.zip",
                                                     "open Open: /downloads/b.zip"}));
}

// Takes what starts with "http://" and records every call.
class LinkTarget : public WinDropTarget {
public:
    uint32_t DragEnter(const char* text, uint32_t allowed) override
    {
        calls += "enter " + std::string(text ? text : "(none)") + "|";
        return effect = text && std::strncmp(text, "http://", 7) == 0 ? allowed : DROPEFFECT_NONE;
    }
    uint32_t DragOver() override { return effect; }
    void DragLeave() override { calls += "leave|"; }
    uint32_t Drop(const char* text) override
    {
        calls += "drop " + std::string(text ? text : "(none)") + "|";
        return effect;
    }
    std::string calls;
    uint32_t effect = DROPEFFECT_NONE;
};

TEST_F(WindowTest, DragsOfAcceptableTextAreDroppedAndOthersRefused)
{
    HWND main = showMain();
    LinkTarget target;
    EXPECT_EQ(Win_SendDrag(main, "http://example.com/", DROPEFFECT_COPY, true), DROPEFFECT_NONE);  // none yet
    ASSERT_TRUE(Win_RegisterDropTarget(main, &target));
    EXPECT_FALSE(Win_RegisterDropTarget(main, &target));

    uint32_t both = DROPEFFECT_COPY | DROPEFFECT_LINK;
    EXPECT_EQ(Win_SendDrag(main, "http://example.com/a.zip", both, true), both);
    EXPECT_EQ(Win_SendDrag(main, "<html>page</html>", both, true), DROPEFFECT_NONE);
    EXPECT_EQ(Win_SendDrag(main, nullptr, both, true), DROPEFFECT_NONE);
    EXPECT_EQ(Win_SendDrag(main, "http://example.com/b.zip", DROPEFFECT_MOVE, false), DROPEFFECT_MOVE);
    EXPECT_EQ(target.calls, "enter http://example.com/a.zip|drop http://example.com/a.zip|enter <html>page</html>|"
                            "enter (none)|enter http://example.com/b.zip|leave|");
}

TEST_F(WindowTest, DestroyingAWindowDestroysItsDialogsAndSilencesThem)
{
    HWND main = Win_CreateMainWindow(MAIN);
    Win_ShowWindow(main);
    HWND strip = dialog(STRIP, main);
    HWND progress = dialog(DIALOG, main);
    Win_SetTimer(main, 17, 1);
    Win_SetTimer(progress, 5, 1);
    messages.clear();
    Win_DestroyWindow(main);
    auto destroyed = received(WM_DESTROY);
    ASSERT_EQ(destroyed.size(), 3u);
    EXPECT_EQ(destroyed[0].window, main);   // the window first, then its dialogs
    EXPECT_TRUE((destroyed[1].window == strip && destroyed[2].window == progress)
                || (destroyed[1].window == progress && destroyed[2].window == strip));
    Win_ProcessEvents(30);
    EXPECT_EQ(messages.size(), 3u);
}


// Another user's connection, made from a child that gave up root: closed unanswered. The child's
// exit status: 0 closed without an answer, 1 not connected at all, 2 answered.
int connectAsNobody(const std::string& socketPath, const std::string& frame)
{
    return moontest::inChild([&] {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (!moontest::becomeNobody() || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return 1;
        char reply[16];
        return ::write(fd, frame.data(), frame.size()) == ssize_t(frame.size()) && ::read(fd, reply, sizeof reply) > 0
                   ? 2 : 0;
    });
}

TEST_F(WindowTest, AHandoffFindsNoCopyOrAHungOneThatDropsWhatItsSenderGaveUpOnAndAnotherUsersConnectionIsClosed)
{
    const HandoffRequest request{{{"http://h/a.zip", "", ""}}};
    HandoffAnswer answer;
    EXPECT_EQ(Handoff_Send("data", request, &answer, 300), HANDOFF_NO_COPY);
    int requests = 0;
    ASSERT_TRUE(Handoff_Serve("data", [&](const HandoffRequest&, HandoffAnswer* out) {
        ++requests;
        out->results.push_back({"http://h/a.zip", true, ""});
    }));
    const std::string socketPath = Handoff_SocketPath("data");
    EXPECT_EQ(std::filesystem::status(socketPath).permissions() & std::filesystem::perms::others_all,
              std::filesystem::perms::none);
    // This thread serves as well and waits in the send: nobody answers, and the copy drops the
    // request whose sender gave up on it.
    EXPECT_EQ(Handoff_Send("data", request, &answer, 300), HANDOFF_HUNG);
    Win_ProcessEvents(50);
    EXPECT_EQ(requests, 0);
    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's connection needs root to be made";
    // Past the folders' modes, which keep others out already, to the credentials' check.
    std::filesystem::permissions(dir(), std::filesystem::perms::all);
    std::filesystem::permissions(socketPath, std::filesystem::perms::all);
    std::atomic<int> status{-1};
    std::thread other([&] { status = connectAsNobody(socketPath, Handoff_EncodeRequest(request)); });
    EXPECT_TRUE(moontest::waitFor([&] { return status != -1; }, std::chrono::seconds(10),
                                  [] { Win_ProcessEvents(10); }));
    other.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(requests, 0);
    Handoff_Close();
    EXPECT_FALSE(std::filesystem::exists(socketPath));
}

// Runs body on a thread of its own while this one serves; its result.
std::string whileServing(const std::function<std::string()>& body)
{
    std::string result;
    std::atomic<bool> done{false};
    std::thread worker([&] { result = body(); done = true; });
    moontest::waitFor([&] { return done.load(); }, std::chrono::seconds(30), [] { Win_ProcessEvents(10); });
    worker.join();
    return result;
}

int rawConnect(const std::string& socketPath)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

// Sends bytes on the connection, then reads to its end: "answered", else "closed".
std::string rawFinish(int fd, const std::string& bytes)
{
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char reply[64];
    const ssize_t got = ::read(fd, reply, sizeof reply);
    ::close(fd);
    return got >= ssize_t(HANDOFF_HEADER_SIZE) ? "answered" : "closed";
}

// A request's frame of exactly size bytes of payload.
std::string framed(uint32_t size)
{
    const std::string payload = "{\"pad\":\"" + std::string(size - 10, 'x') + "\"}";
    return std::string{char(size >> 24), char(size >> 16 & 0xFF), char(size >> 8 & 0xFF), char(size & 0xFF)} + payload;
}

TEST_F(WindowTest, TheHandoffKeepsToThisUserClosesWhatLingersAndServesAgainAfterwards)
{
    const std::string socketPath = Handoff_SocketPath("data"), whole = framed(HANDOFF_MAX_PAYLOAD);
    struct Row { const char* name; std::function<std::string()> run; std::string expected; bool root; };
    const Row rows[] = {
        {"an idle connection and an unfinished frame", [&] { return whileServing([&] {
             return rawFinish(rawConnect(socketPath), "") + " " + rawFinish(rawConnect(socketPath), framed(90).substr(0, 50));
         }); }, "closed closed", false},
        {"frames held beyond the cap", [&] { return whileServing([&] {
             const int first = rawConnect(socketPath);
             ::send(first, whole.data(), whole.size() - 1, 0);   // the copy keeps what came
             const std::string second = rawFinish(rawConnect(socketPath), whole);
             return second + " " + rawFinish(first, whole.substr(whole.size() - 1));
         }); }, "closed answered", false},
        {"a runtime folder open to others", [&] {
             std::filesystem::permissions(dir(), std::filesystem::perms::all);
             Handoff_Serve("data", [](const HandoffRequest&, HandoffAnswer*) {});
             const std::filesystem::path elsewhere = Handoff_SocketPath("data");
             std::filesystem::permissions(dir(), std::filesystem::perms::owner_all);
             return elsewhere.parent_path().lexically_relative(dir()).string();
         }, "data/moonfetch/run", false},
        {"a listener of another user", [&] {
             Handoff_Close();
             std::filesystem::permissions(dir(), std::filesystem::perms::all);
             auto heard = std::async(std::launch::async, [&] { return moontest::inChild([&] {
                 const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                 sockaddr_un address{AF_UNIX, {}};
                 std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
                 if (!moontest::becomeNobody() || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
                     ::listen(fd, 1) != 0)
                     return 1;
                 char byte;
                 return ::read(::accept(fd, nullptr, nullptr), &byte, 1) > 0 ? 2 : 0;
             }); });
             moontest::waitFor([&] { return std::filesystem::exists(socketPath); });
             std::filesystem::permissions(dir(), std::filesystem::perms::owner_all);
             HandoffAnswer answer;
             const int sent = Handoff_Send("data", HandoffRequest{}, &answer, 2000);
             return std::to_string(sent) + " " + std::to_string(heard.get());
         }, "1 0", true},
        {"out of descriptors", [&] {   // the child serves; this process's main thread waits for it
             Handoff_Close();
             auto told = std::async(std::launch::async, [&] {
                 moontest::waitFor([&] { return std::filesystem::exists(path("full")); });
                 const int fd = rawConnect(socketPath);
                 ::send(fd, framed(20).data(), 24, 0);
                 std::this_thread::sleep_for(std::chrono::milliseconds(500));   // the copy fails to accept meanwhile
                 moontest::writeFile(path("free"), "");
                 const std::string result = rawFinish(fd, "");
                 return moontest::writeFile(path("read"), ""), result;
             });
             const int served = moontest::inChild([&] {
                 const rlimit few{64, 64};
                 int answered = 0;
                 std::vector<int> fillers;
                 if (::setrlimit(RLIMIT_NOFILE, &few) != 0 ||
                     !Handoff_Serve("data", [&](const HandoffRequest&, HandoffAnswer*) { ++answered; }))
                     return 1;
                 for (int fd; (fd = ::dup(0)) >= 0;)
                     fillers.push_back(fd);
                 moontest::writeFile(path("full"), "");
                 moontest::waitFor([&] { return std::filesystem::exists(path("free")); }, std::chrono::seconds(20),
                                   [] { Win_ProcessEvents(10); });
                 for (int fd : fillers)
                     ::close(fd);
                 moontest::waitFor([&] { return std::filesystem::exists(path("read")); }, std::chrono::seconds(20),
                                   [] { Win_ProcessEvents(10); });
                 return answered == 1 ? 0 : 1;
             });
             return told.get() + " " + std::to_string(served);
         }, "answered 0", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.root && ::geteuid() != 0)
            continue;
        ASSERT_TRUE(Handoff_Serve("data", [](const HandoffRequest&, HandoffAnswer*) {}));
        EXPECT_EQ(row.run(), row.expected);
        ASSERT_TRUE(Handoff_Serve("data", [](const HandoffRequest&, HandoffAnswer*) {}));
        EXPECT_EQ(whileServing([] { HandoffAnswer answer; return std::to_string(Handoff_Send("data", {}, &answer, 5000)); }), "0");
    }
    Handoff_Close();
}

}  // namespace

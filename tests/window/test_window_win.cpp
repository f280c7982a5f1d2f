// The windowing on Win32, looked at through the system's own calls (run under Wine on a display).
#include "handoff/transport.h"
#include "window/window.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

struct Message {
    HWND window;
    UINT message;
    WPARAM wParam;
};
std::vector<Message> messages;
std::function<intptr_t(HWND, UINT, WPARAM)> dialogHook;
std::function<void(HWND)> paintHook;

LRESULT mainProc(HWND window, uint32_t message, WPARAM wParam, LPARAM)
{
    messages.push_back({window, message, wParam});
    if (message == WM_PAINT && paintHook)
        paintHook(window);
    return 0;
}

intptr_t dialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM)
{
    messages.push_back({dialog, message, wParam});
    return dialogHook ? dialogHook(dialog, message, wParam) : 0;
}

std::vector<WPARAM> received(HWND window, UINT message)
{
    std::vector<WPARAM> found;
    for (const Message& m : messages)
        if (m.window == window && m.message == message)
            found.push_back(m.wParam);
    return found;
}

// Runs the program's message loop for a while.
void pump(UINT milliseconds)
{
    const UINT_PTR timer = SetTimer(nullptr, 0, milliseconds, [](HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); });
    Win_RunMessageLoop();
    KillTimer(nullptr, timer);
}

constexpr int IDC_URL = 1049, IDC_CHECK = 1050, IDC_LIST = 1051, IDC_OTHER = 1052;
constexpr WinControlTemplate CONTROLS[] = {
    {-1, WinControl::Static, "&Add:", 0, 4, 4, 30, 10},
    {IDC_URL, WinControl::Edit, "", WS_TABSTOP, 40, 2, 120, 14},
    {IDOK, WinControl::DefPushButton, "OK", WS_TABSTOP, 170, 2, 40, 14},
    {IDCANCEL, WinControl::PushButton, "Cancel", WS_TABSTOP, 170, 20, 40, 14},
    {IDC_OTHER, WinControl::PushButton, "Other", WS_TABSTOP, 170, 38, 40, 14},
    {IDC_CHECK, WinControl::CheckBox, "Check", WS_TABSTOP | WS_GROUP, 4, 20, 60, 10},
    {IDC_LIST, WinControl::ListBox, "", WS_TABSTOP, 4, 34, 100, 40},
    {-1, WinControl::Icon, "icons/moonfetch-32.png", 0, 120, 40, 21, 20},
};
constexpr WinDialogTemplate DIALOG = {300, "Test", false, 10, 10, 220, 80, "MS Shell Dlg", 8, CONTROLS, std::size(CONTROLS)};
constexpr WinDialogTemplate STRIP = {301, nullptr, true, 0, 0, 220, 80, "MS Shell Dlg", 8, CONTROLS, std::size(CONTROLS)};

constexpr WinMenuItem MENU[] = {{"&File", "&Open", 101}, {"&Help", "&About", 102}, {"&File", "E&xit", 103}};
constexpr WinAccelerator KEYS[] = {{'x', 103}};

class WinWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Win_Init(nullptr, nullptr)); }
    void SetUp() override
    {
        messages.clear();
        dialogHook = nullptr;
        paintHook = nullptr;
        main_ = Win_CreateMainWindow({"Moonfetch", "", "", MENU, std::size(MENU), KEYS, std::size(KEYS), mainProc});
        ASSERT_NE(main_, nullptr);
        Win_ShowWindow(main_);
    }
    void TearDown() override { Win_DestroyWindow(main_); }
    HWND main_ = nullptr;
};

TEST_F(WinWindowTest, SizePaintTimersAndTooltipsReachTheProcedure)
{
    pump(100);
    RECT client;
    GetClientRect(main_, &client);
    ASSERT_FALSE(received(main_, WM_PAINT).empty());
    ASSERT_FALSE(received(main_, WM_SIZE).empty());
    EXPECT_EQ(Win_GetClientRect(main_).right, client.right);
    SendMessageW(main_, WM_MOUSEMOVE, 0, MAKELPARAM(5, 6));
    EXPECT_EQ(received(main_, WM_GETTOOLTIP).size(), 1u);
    // A text ends where it ends, a cut one (with its "…") within the box.
    int shortEnd = 0, cutEnd = 0;
    paintHook = [&](HWND window) {
        WinDC* dc = Win_BeginPaint(window);
        shortEnd = Win_TextOutClipped(dc, {10, 0, 400, 20}, "ab");
        cutEnd = Win_TextOutClipped(dc, {10, 20, 60, 40}, "a text much wider than its box");
        Win_EndPaint(window, dc);
    };
    Win_Invalidate(main_, true);
    EXPECT_GT(shortEnd, 10);
    EXPECT_LT(shortEnd, 60);
    EXPECT_GT(cutEnd, shortEnd);
    EXPECT_LE(cutEnd, 60);

    // A killed timer is silent while another ticks on.
    EXPECT_EQ(Win_SetTimer(main_, 7, 10), 7u);
    EXPECT_EQ(Win_SetTimer(main_, 8, 10), 8u);
    Win_KillTimer(main_, 7);
    pump(150);
    EXPECT_FALSE(received(main_, WM_TIMER).empty());
    for (WPARAM id : received(main_, WM_TIMER))
        EXPECT_EQ(id, 8u);
}

TEST_F(WinWindowTest, MenusComeInFirstSeenOrderAndAltAcceleratorsSendCommands)
{
    HMENU bar = GetMenu(main_);
    ASSERT_EQ(GetMenuItemCount(bar), 2);
    const std::vector<std::vector<UINT>> expected = {{101, 103}, {102}};
    for (int i = 0; i < 2; ++i) {
        HMENU popup = GetSubMenu(bar, i);
        ASSERT_EQ(GetMenuItemCount(popup), int(expected[size_t(i)].size()));
        for (size_t j = 0; j < expected[size_t(i)].size(); ++j)
            EXPECT_EQ(GetMenuItemID(popup, int(j)), expected[size_t(i)][j]);
    }
    // Accelerators read the keyboard's state, not the message's.
    BYTE keys[256] = {};
    keys[VK_MENU] = 0x80;
    SetKeyboardState(keys);
    PostMessageW(main_, WM_SYSKEYDOWN, 'X', LPARAM(1) << 29 | 1);
    pump(50);
    keys[VK_MENU] = 0;
    SetKeyboardState(keys);
    PostMessageW(main_, WM_KEYDOWN, 'X', 1);
    pump(50);
    ASSERT_EQ(received(main_, WM_COMMAND).size(), 1u);
    EXPECT_EQ(LOWORD(received(main_, WM_COMMAND)[0]), 103);
    EXPECT_EQ(received(main_, WM_KEYDOWN), std::vector<WPARAM>{'X'});
}

TEST_F(WinWindowTest, TemplatesPlaceControlsInDialogUnitsWithTheirIds)
{
    for (const WinDialogTemplate* tpl : {&DIALOG, &STRIP}) {
        HWND dialog = Win_CreateDialog(*tpl, main_, dialogProc, 0);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ((GetWindowLongW(dialog, GWL_STYLE) & WS_CHILD) != 0, tpl->child);
        HWND control = GetWindow(dialog, GW_CHILD);
        for (const WinControlTemplate& c : CONTROLS) {
            ASSERT_NE(control, nullptr);
            EXPECT_EQ(GetDlgCtrlID(control), c.id);
            RECT want = {c.x, c.y, c.x + c.cx, c.y + c.cy}, got;
            MapDialogRect(dialog, &want);
            GetWindowRect(control, &got);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&got), 2);
            EXPECT_EQ(got.left, want.left) << c.text;
            EXPECT_EQ(got.top, want.top) << c.text;
            if (c.kind == WinControl::Icon)
                EXPECT_NE(SendMessageW(control, STM_GETICON, 0, 0), 0);
            else
                EXPECT_EQ(got.right, want.right) << c.text;
            control = GetWindow(control, GW_HWNDNEXT);
        }
    }
}

TEST_F(WinWindowTest, ControlsTellTheirDialogOfClicksAndThePersonsEditsOnly)
{
    HWND dialog = Win_CreateDialog(DIALOG, main_, dialogProc, 0);
    HWND edit = Win_GetDlgItem(dialog, IDC_URL);
    Win_SetWindowText(edit, "grün");   // the caret stays before it
    SendMessageW(edit, WM_CHAR, 'a', 1);
    SendMessageW(Win_GetDlgItem(dialog, IDC_CHECK), BM_CLICK, 0, 0);
    const std::vector<WPARAM> want = {MAKEWPARAM(IDC_URL, EN_CHANGE), MAKEWPARAM(IDC_CHECK, BN_CLICKED)};
    EXPECT_EQ(received(dialog, WM_COMMAND), want);
    EXPECT_TRUE(Win_IsChecked(Win_GetDlgItem(dialog, IDC_CHECK)));
    char text[8];
    EXPECT_EQ(Win_GetWindowText(edit, text, sizeof text), 6u);
    EXPECT_STREQ(text, "agrün");
    EXPECT_EQ(Win_GetWindowText(edit, text, 5), 3u) << "a character is not cut in two";
}

TEST_F(WinWindowTest, EnterPressesTheDefaultButtonAndEscapeCancels)
{
    struct Row {
        const WinDialogTemplate* tpl;
        UINT key;
        int defaultId;
        WORD command;
    };
    const Row rows[] = {
        {&DIALOG, VK_RETURN, 0, IDOK},
        {&DIALOG, VK_RETURN, IDC_OTHER, IDC_OTHER},
        {&DIALOG, VK_ESCAPE, 0, IDCANCEL},
        {&STRIP, VK_RETURN, 0, IDOK},
    };
    for (const Row& row : rows) {
        messages.clear();
        HWND dialog = Win_CreateDialog(*row.tpl, main_, dialogProc, 0);
        if (row.defaultId != 0)
            Win_SetDefaultButton(dialog, row.defaultId);
        Win_ShowWindow(dialog);
        SetFocus(Win_GetDlgItem(dialog, IDC_URL));
        PostMessageW(Win_GetDlgItem(dialog, IDC_URL), WM_KEYDOWN, row.key, 1);
        pump(50);
        const std::vector<WPARAM> commands = received(dialog, WM_COMMAND);
        ASSERT_EQ(commands.size(), 1u) << row.key;
        EXPECT_EQ(LOWORD(commands[0]), row.command);
        Win_DestroyWindow(dialog);
    }
}

TEST_F(WinWindowTest, ModalDialogRunsTimersUntilItsProcedureEndsIt)
{
    int ticks = 0;
    dialogHook = [&](HWND dialog, UINT message, WPARAM) -> intptr_t {
        if (message == WM_INITDIALOG)
            Win_SetTimer(dialog, 5, 10);
        if (message == WM_TIMER && ++ticks == 3)
            Win_EndDialog(dialog, 42);
        return message == WM_INITDIALOG;
    };
    EXPECT_EQ(Win_DialogBox(DIALOG, main_, dialogProc, 0), 42);
    EXPECT_EQ(ticks, 3);
}

TEST_F(WinWindowTest, EndOfSessionClosesTheOpenDialogFirst)
{
    Win_ListenForEndSession(main_);
    dialogHook = [&](HWND dialog, UINT message, WPARAM wParam) -> intptr_t {
        if (message == WM_INITDIALOG)
            PostMessageW(main_, WM_ENDSESSION, 1, 0);
        if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
            EXPECT_TRUE(received(main_, WM_ENDSESSION).empty());
            Win_EndDialog(dialog, IDCANCEL);
        }
        return message == WM_INITDIALOG;
    };
    EXPECT_EQ(Win_DialogBox(DIALOG, main_, dialogProc, 0), IDCANCEL);
    pump(50);
    EXPECT_EQ(received(main_, WM_ENDSESSION), std::vector<WPARAM>{1});
}

TEST_F(WinWindowTest, DestroyingAWindowDestroysItsDialogs)
{
    HWND strip = Win_CreateDialog(STRIP, main_, dialogProc, 0);
    HWND owned = Win_CreateDialog(DIALOG, main_, dialogProc, 0);
    Win_DestroyWindow(main_);
    for (HWND window : {main_, strip, owned}) {
        EXPECT_FALSE(IsWindow(window));
        EXPECT_EQ(received(window, WM_DESTROY).size(), 1u);
    }
    main_ = nullptr;
}

TEST(WinHandoff, AnswersTheCopyThatPumpsAndTellsNoCopyFromAHungOne)
{
    struct Row {
        const char* folder;   // the sender's; the server serves "C:\\moon\\data"
        bool pumps;
        int result;
    };
    const Row rows[] = {
        {"c:/Moon/./data", true, HANDOFF_OK},
        {"C:\\moon\\other", true, HANDOFF_NO_COPY},
        {"C:\\moon\\data", false, HANDOFF_HUNG},
    };
    for (const Row& row : rows) {
        std::atomic<bool> serving{false}, done{false};
        std::thread server([&] {
            Handoff_Serve("C:\\moon\\data", [](const HandoffRequest& request, HandoffAnswer* answer) {
                for (const HandoffLink& link : request.links)
                    answer->results.push_back({link.url, true, ""});
            });
            serving = true;
            while (!done) {
                MSG msg;
                while (row.pumps && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                    DispatchMessageW(&msg);
                Sleep(5);
            }
            Handoff_Close();
        });
        while (!serving)
            Sleep(5);
        HandoffRequest request;
        request.links.push_back({"https://example.com/a.zip", "", ""});
        HandoffAnswer answer;
        EXPECT_EQ(Handoff_Send(row.folder, request, &answer, 300), row.result) << row.folder;
        if (row.result == HANDOFF_OK) {
            EXPECT_EQ(answer.results.at(0).url, "https://example.com/a.zip");
        }
        done = true;
        server.join();
    }
}

}  // namespace

// What the windowing's tests on both systems stand on: procedures that record every message they
// receive, a main window and dialog templates, and a sandbox with the windowing started in it.
#pragma once

#include "tests/support/window/window_testing.h"

#include "tests/support/fixtures.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <vector>

namespace moontest {

struct Message {
    HWND window;
    uint32_t message;
    WPARAM wParam;
    LPARAM lParam;
};

inline std::vector<Message> messages;
// What a test's dialog procedure does beyond recording; a true answer means "handled".
inline std::function<intptr_t(HWND, uint32_t, WPARAM, LPARAM)> dialogHook;
// What a test's main window paints.
inline std::function<void(HWND)> paintHook;

inline LRESULT mainProc(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    messages.push_back({window, message, wParam, lParam});
    if (message == WM_PAINT && paintHook)
        paintHook(window);
    return 0;
}

inline intptr_t dialogProc(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    messages.push_back({dialog, message, wParam, lParam});
    return dialogHook ? dialogHook(dialog, message, wParam, lParam) : 0;
}

inline std::vector<Message> received(uint32_t message)
{
    std::vector<Message> found;
    std::ranges::copy_if(messages, std::back_inserter(found), [message](const Message& m) { return m.message == message; });
    return found;
}

// The wParam of each WM_COMMAND received.
inline std::vector<WPARAM> commands()
{
    std::vector<WPARAM> found;
    std::ranges::transform(received(WM_COMMAND), std::back_inserter(found), &Message::wParam);
    return found;
}

// The menus come first seen: Edit, File, Help.
constexpr WinMenuItem MENU[] = {
    {"&Edit", "&Undo", 32774}, {"&File", "E&xit", 105}, {"&Edit", "&Delete", 32773}, {"&Help", "&About ...", 104}};
// Plain characters with Alt, as the program's own, and a letter.
constexpr WinAccelerator ACCELERATORS[] = {{'?', 104}, {'/', 104}, {'x', 105}};
inline const WinMainTemplate MAIN = {"Moonfetch window test", "no-such-large.png", nullptr, MENU, std::size(MENU),
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
    // The program's picture: among the resources on Win32, a file the sandbox lacks on Linux.
    {-1, WinControl::Icon, "icons/moonfetch-32.png", 0, 180, 60, 20, 20},
};
inline const WinDialogTemplate DIALOG = {129, "Download Progress", false, 30, 50, 240, 112, "No Such Font Family", 8,
                                         CONTROLS, std::size(CONTROLS)};
// The toolbar strip: the first four controls, Enter pressing "Add:".
inline const WinDialogTemplate STRIP = {104, nullptr, true, 0, 0, 240, 24, "No Such Font Family", 8, CONTROLS, 4};

// The windowing started (offscreen on Linux), the records emptied; the windows the test made
// through showMain and dialog without a parent are destroyed afterwards.
class WindowTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
#ifndef _WIN32
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);   // every window stays unseen
#endif
        ASSERT_TRUE(Win_Init(nullptr, nullptr));
        messages.clear();
        dialogHook = nullptr;
        paintHook = nullptr;
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

private:
    std::vector<HWND> windows_;
};

}  // namespace moontest

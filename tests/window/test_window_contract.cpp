// What the windowing promises the program on both systems, stated once: the Linux suite runs it on
// Qt offscreen, the Windows suite on Win32 under Wine.
#include "tests/window/window_fixture.h"

#ifdef _WIN32
#include <oleacc.h>
#include <windows.h>
#else
#include <csignal>
#endif

#include <algorithm>
#include <cstring>
#include <tuple>

namespace {

using namespace moontest;

TEST_F(WindowTest, ResizeAndPaintReachTheProcedureAtOnce)
{
    HWND main = showMain();
    messages.clear();
    Win_MoveWindow(main, 0, 0, 700, 500);
    ASSERT_FALSE(received(WM_SIZE).empty());
    WinRect client = Win_GetClientRect(main);
    // No scroll bar while there is nothing to scroll; the menu bar is not client area.
    EXPECT_TRUE(client.right > 660 && client.right <= 700) << client.right;
    EXPECT_TRUE(client.bottom > 420 && client.bottom < 500) << client.bottom;
    EXPECT_EQ(received(WM_SIZE).back().lParam, LPARAM(client.right | client.bottom << 16));
    // A text ends where it ends, a cut one (with its "…") within its box.
    int shortEnd = 0, cutEnd = 0;
    paintHook = [&](HWND window) {
        WinDC* dc = Win_BeginPaint(window);
        shortEnd = Win_TextOutClipped(dc, {10, 0, 400, 20}, "ab");
        cutEnd = Win_TextOutClipped(dc, {10, 20, 60, 40}, "a text much wider than its box");
        Win_EndPaint(window, dc);
    };
    messages.clear();
    Win_Invalidate(main, true);
    EXPECT_EQ(received(WM_PAINT).size(), 1u);   // painted before returning
    EXPECT_TRUE(shortEnd > 10 && shortEnd < 60 && cutEnd > shortEnd && cutEnd <= 60) << shortEnd << " " << cutEnd;
#ifndef _WIN32
    // Qt paints only inside WM_PAINT, with a real font; Win32 hands out a DC anywhere.
    EXPECT_FALSE(Win_DefaultFontFamily().empty());
    EXPECT_EQ(Win_BeginPaint(main), nullptr);
#endif
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
    for (char key : {'?', '/', 'x', 'q'})   // no accelerator for q: nothing at all
        Win_SendAltChar(main, key);
    Win_SendKey(main, 'X', false);   // without Alt a key is no accelerator
    // An accelerator's command has 1 in its high word.
    EXPECT_EQ(commands(), (std::vector<WPARAM>{32773, 104 | 1 << 16, 104 | 1 << 16, 105 | 1 << 16}));
    ASSERT_EQ(received(WM_KEYDOWN).size(), 1u);
    EXPECT_EQ(received(WM_KEYDOWN)[0].wParam, WPARAM('X'));
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
    EXPECT_EQ(std::tuple(client.right, client.bottom), std::tuple(240 * cx / 4, 112 * cy / 8));
    EXPECT_EQ(Win_GetDlgItem(progress, 4242), nullptr);
    // A text cut to its buffer ends in front of a character that does not fit whole.
    const struct { const char* set; size_t size; const char* cut; } cuts[] = {
        {nullptr, 6, "Downl"}, {"Gr\xC3\xBC\xC3\x9F" "e", 4, "Gr"}, {"\xF0\x9F\x93\xA6", 4, ""}};
    char text[32];
    for (const auto& c : cuts) {
        HWND now = Win_GetDlgItem(progress, ID_NOW);
        if (c.set != nullptr)
            Win_SetWindowText(now, c.set);
        EXPECT_EQ(Win_GetWindowText(now, text, c.size), std::strlen(c.cut));
        EXPECT_STREQ(text, c.cut);
    }
    Win_GetWindowText(Win_GetDlgItem(progress, -1), text, sizeof text);
    EXPECT_STREQ(text, "Bytes <b>Downloaded</b>");   // plain text, never markup

    // The toolbar strip has no frame: its controls lie at their template places from its corner.
    HWND strip = dialog(STRIP, main);
    const WinRect bar = Win_GetWindowRect(strip), place = placeOf(strip, ID_NOW);
    EXPECT_EQ(std::tuple(bar.bottom - bar.top, place.left, place.top), std::tuple(24 * cy / 8, 8 * cx / 4, 16 * cy / 8));
}

TEST_F(WindowTest, ControlsAndKeysNotifyTheirDialogOfThePersonsClicksEditsAndDefaultButtonOnly)
{
    HWND progress = dialog(DIALOG, nullptr);
    HWND check = Win_GetDlgItem(progress, ID_CHECK);
    HWND edit = Win_GetDlgItem(progress, ID_EDIT);
    bool checkedWhenTold = false;
    dialogHook = [&](HWND, uint32_t message, WPARAM wParam, LPARAM lParam) -> intptr_t {
        if (message == WM_COMMAND && LOWORD(wParam) == ID_CHECK)
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
    // However many notifications a typed text makes, they all follow the click.
    std::vector<WPARAM> heard = commands();
    heard.erase(std::unique(heard.begin(), heard.end()), heard.end());
    ASSERT_EQ(heard, (std::vector<WPARAM>{ID_CHECK | BN_CLICKED << 16, ID_EDIT | EN_CHANGE << 16}));
    EXPECT_EQ(received(WM_COMMAND).back().lParam, LPARAM(edit));
    EXPECT_TRUE(checkedWhenTold);
    char text[32];
    Win_GetWindowText(edit, text, sizeof text);
    EXPECT_STREQ(text, "ftp://exampl");

    HWND radios[] = {Win_GetDlgItem(progress, ID_RADIO_A), Win_GetDlgItem(progress, ID_RADIO_B),
                     Win_GetDlgItem(progress, ID_RADIO_C)};
    for (int i : {0, 2, 1})
        Win_Click(radios[i]);
    // A and B share a group, C has one of its own.
    EXPECT_EQ(std::tuple(Win_IsChecked(radios[0]), Win_IsChecked(radios[1]), Win_IsChecked(radios[2])),
              std::tuple(false, true, true));
    Win_SetChecked(radios[1], false);
    EXPECT_FALSE(Win_IsChecked(radios[1]));

    // Enter presses the default button and Escape cancels, in the toolbar strip of a main window as well.
    Win_SetFocus(edit);
    messages.clear();
    Win_SendKey(progress, VK_RETURN, false);
    Win_SetDefaultButton(progress, ID_END);
    Win_SendKey(progress, VK_RETURN, false);
    Win_EnableWindow(Win_GetDlgItem(progress, ID_END), false);
    Win_SendKey(progress, VK_RETURN, false);   // a disabled default button: nothing
    Win_SendKey(progress, VK_ESCAPE, false);
    HWND strip = dialog(STRIP, showMain());
    Win_SetFocus(Win_GetDlgItem(strip, ID_EDIT));
    Win_SendKey(strip, VK_RETURN, false);
    EXPECT_EQ(commands(), (std::vector<WPARAM>{ID_ADD, ID_END, IDCANCEL, ID_ADD}));
    EXPECT_EQ(received(WM_COMMAND)[0].lParam, LPARAM(Win_GetDlgItem(progress, ID_ADD)));
}

TEST_F(WindowTest, ModalDialogRunsTimersUntilItsProcedureOrTheEndOfTheSessionEndsIt)
{
    HWND main = showMain();
    Win_SetTimer(main, 17, 5);
    int ticks = 0;
    dialogHook = [&](HWND dialog, uint32_t message, WPARAM wParam, LPARAM) -> intptr_t {
        if (message == WM_INITDIALOG)
            Win_SetTimer(dialog, 5, 20);
        // The person presses OK, which is left to the procedure (nothing happens), then End.
        if (message == WM_TIMER && ++ticks <= 2)
            Win_Click(Win_GetDlgItem(dialog, ticks == 1 ? IDOK : ID_END));
        if (message == WM_COMMAND && LOWORD(wParam) == ID_END)
            Win_EndDialog(dialog, 42);
        return message == WM_INITDIALOG;
    };
    messages.clear();
    EXPECT_EQ(Win_DialogBox(DIALOG, main, dialogProc, 9), 42);
    EXPECT_EQ(std::tuple(received(WM_INITDIALOG)[0].lParam, received(WM_COMMAND).size(), received(WM_DESTROY).size()),
              std::tuple(LPARAM(9), 2u, 1u));
    EXPECT_TRUE(std::ranges::any_of(received(WM_TIMER), [main](const Message& m) { return m.window == main; }));
    // A dialog ended while it starts returns at once.
    dialogHook = [](HWND dialog, uint32_t message, WPARAM, LPARAM) -> intptr_t {
        if (message == WM_INITDIALOG)
            Win_EndDialog(dialog, 3);
        return 0;
    };
    EXPECT_EQ(Win_DialogBox(DIALOG, main, dialogProc, 0), 3);

    // The end of the session closes the open dialog first.
    Win_ListenForEndSession(main);
    dialogHook = [&](HWND dialog, uint32_t message, WPARAM wParam, LPARAM) -> intptr_t {
        if (message == WM_INITDIALOG)
            Win_SetTimer(dialog, 5, 10);
        // The session ends as each system ends it: Windows tells the window, Linux signals the process.
        if (message == WM_TIMER) {
            Win_KillTimer(dialog, 5);
#ifdef _WIN32
            PostMessageW(main, WM_ENDSESSION, 1, 0);
#else
            ::raise(SIGTERM);
#endif
        }
        // Closed as the person closes it.
        if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL)
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
    const size_t whileDestroying = messages.size();
    std::vector<HWND> destroyed;
    for (const Message& m : received(WM_DESTROY))
        destroyed.push_back(m.window);
    // Each once, the window before the strip inside it (an owned dialog's turn is the system's).
    EXPECT_TRUE(std::ranges::is_permutation(destroyed, std::vector<HWND>{main, strip, progress}));
    EXPECT_LT(std::ranges::find(destroyed, main), std::ranges::find(destroyed, strip));
    Win_ProcessEvents(30);
    EXPECT_EQ(messages.size(), whileDestroying);
}

// A list as the program describes it for readers.
struct TestList final : WinAccessibleList {
    std::vector<std::string> names;
    std::string selected;   // '1' for each selected row
    int focused = -1;
    std::string description;
    int RowCount() override { return int(names.size()); }
    std::string RowName(int row) override { return names[size_t(row)]; }
    bool RowSelected(int row) override { return selected[size_t(row)] == '1'; }
    int FocusedRow() override { return focused; }
    std::string Description() override { return description; }
};

TEST_F(WindowTest, ReadersReadTheDescribedListRowByRowUntilItIsUnset)
{
    HWND main = showMain();
    Win_SetFocus(main);
    TestList list;
    Win_SetAccessibleList(main, &list);
    // What a reader reads: the description, then each row's name, selection and focus.
    const struct { std::vector<std::string> names; const char* selected; int focused; const char *description, *read; }
        states[] = {
        {{}, "", -1, "Moonfetch V1.2\nDrag and Drop links", "Moonfetch V1.2\nDrag and Drop links"},
        {{"#1, h/a", "#2, h/b", "#3, h/c"}, "011", 1, "", "|#1, h/a|#2, h/b selected focused|#3, h/c selected"},
        {{"#1, h/a", "#2, h/b"}, "01", 0, "", "|#1, h/a focused|#2, h/b selected"},
    };
    for (const auto& [names, selected, focused, description, expected] : states) {
        std::tie(list.names, list.selected, list.focused, list.description) =
            std::tuple(names, selected, focused, description);
        Win_NotifyAccessibleList(main);
        const WinReadList read = Win_ReadAccessibleList(main);
        std::string heard = read.description;
        for (const WinReadRow& row : read.rows)
            heard += "|" + row.name + (row.selected ? " selected" : "") + (row.focused ? " focused" : "");
        EXPECT_EQ(std::tuple(read.found, heard, read.focusChild), std::tuple(true, std::string(expected), focused));
    }
#ifdef _WIN32
    // Readers hear of rows by child id; an object a reader keeps lets go of the unset list.
    static std::vector<std::tuple<DWORD, LONG, LONG>> told;
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_SELECTIONWITHIN, nullptr,
        [](HWINEVENTHOOK, DWORD event, HWND, LONG object, LONG child, DWORD, DWORD) {
            told.emplace_back(event, object, child);
        }, GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    Win_NotifyAccessibleList(main);
    Win_ProcessEvents(0);
    UnhookWinEvent(hook);
    EXPECT_EQ(told, (decltype(told){{EVENT_OBJECT_SELECTION, OBJID_CLIENT, 2}, {EVENT_OBJECT_FOCUS, OBJID_CLIENT, 1}}));
    IAccessible* kept = nullptr;
    ASSERT_EQ(AccessibleObjectFromWindow(main, DWORD(OBJID_CLIENT), IID_PPV_ARGS(&kept)), S_OK);
#endif
    Win_SetAccessibleList(main, nullptr);
    EXPECT_FALSE(Win_ReadAccessibleList(main).found);
#ifdef _WIN32
    VARIANT self = {}, role = {};
    self.vt = VT_I4;   // CHILDID_SELF
    EXPECT_EQ(std::tuple(kept->get_accRole(self, &role), role.lVal), std::tuple(S_OK, LONG(ROLE_SYSTEM_CLIENT)));
    kept->Release();
#endif
}

}  // namespace

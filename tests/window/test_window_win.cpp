// The windowing on Win32 beyond what both systems share, looked at through the system's own calls
// (run under Wine on a display): the menu bar, the tooltip and the dialogs' controls.
#include "tests/window/window_fixture.h"

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace moontest;

TEST_F(WindowTest, TheMenuBarComesFirstSeenAndThePointerAsksForItsTooltip)
{
    HWND main = showMain();
    HMENU bar = GetMenu(main);
    std::vector<std::vector<UINT>> menus(size_t(GetMenuItemCount(bar)));
    for (size_t i = 0; i < menus.size(); ++i) {
        HMENU popup = GetSubMenu(bar, int(i));
        for (int j = 0; j < GetMenuItemCount(popup); ++j)
            menus[i].push_back(GetMenuItemID(popup, j));
    }
    EXPECT_EQ(menus, (std::vector<std::vector<UINT>>{{32774, 32773}, {105}, {104}}));
    SendMessageW(main, WM_MOUSEMOVE, 0, MAKELPARAM(5, 6));
    EXPECT_EQ(received(WM_GETTOOLTIP).size(), 1u);
}

// Tab goes through the controls in the system's order of them, which the template's must be.
TEST_F(WindowTest, ControlsComeInTemplateOrderAndTheProgramsPictureShows)
{
    HWND main = showMain();
    for (const WinDialogTemplate* tpl : {&DIALOG, &STRIP}) {
        HWND dialog = Win_CreateDialog(*tpl, main, dialogProc, 0);
        EXPECT_EQ((GetWindowLongW(dialog, GWL_STYLE) & WS_CHILD) != 0, tpl->child);
        HWND control = GetWindow(dialog, GW_CHILD);
        for (size_t i = 0; i < tpl->controlCount; ++i, control = GetWindow(control, GW_HWNDNEXT)) {
            ASSERT_NE(control, nullptr);
            EXPECT_EQ(GetDlgCtrlID(control), tpl->controls[i].id);
            if (tpl->controls[i].kind == WinControl::Icon) {
                EXPECT_NE(SendMessageW(control, STM_GETICON, 0, 0), 0);
            }
        }
    }
}

}  // namespace

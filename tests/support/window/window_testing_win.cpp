// The event loop and the person's input on Win32: the messages that the keyboard, the mouse and
// the menu bar make, handled by the program's own message loop. The list of a main window is read
// as a reader reads it, through the client area's accessible object.
#include "tests/support/window/window_testing.h"

#include "platform/wide_win.h"

#include <oleacc.h>
#include <windows.h>

#include <algorithm>
#include <vector>

namespace {

// Posts a key message to target and lets the loop handle it, with held down in the keyboard's
// state, which the loop reads.
void sendKey(HWND target, UINT message, UINT virtualKey, const std::vector<int>& held)
{
    BYTE keys[256] = {};
    for (int key : held)
        keys[key] = 0x80;
    SetKeyboardState(keys);
    PostMessageW(target, message, virtualKey, (message == WM_SYSKEYDOWN ? LPARAM(1) << 29 : 0) | 1);
    Win_ProcessEvents(0);
    BYTE none[256] = {};
    SetKeyboardState(none);
}

// What object answers for child through ask: a number (a role, a state; 0 for none) or a text.
LONG numberOf(IAccessible* object, LONG child, HRESULT (STDMETHODCALLTYPE IAccessible::*ask)(VARIANT, VARIANT*))
{
    VARIANT id = {}, answer = {};
    id.vt = VT_I4;
    id.lVal = child;
    const LONG number = (object->*ask)(id, &answer) == S_OK && answer.vt == VT_I4 ? answer.lVal : 0;
    VariantClear(&answer);
    return number;
}

std::string textOf(IAccessible* object, LONG child, HRESULT (STDMETHODCALLTYPE IAccessible::*ask)(VARIANT, BSTR*))
{
    VARIANT id = {};
    id.vt = VT_I4;
    id.lVal = child;
    BSTR text = nullptr;
    const std::string narrow = (object->*ask)(id, &text) == S_OK ? Plat_Narrow({text, SysStringLen(text)}) : "";
    SysFreeString(text);
    return narrow;
}

}  // namespace

void Win_ProcessEvents(int milliseconds)
{
    // The loop ends at a timer's tick, which comes only once nothing else waits.
    const UINT_PTR timer = SetTimer(nullptr, 0, UINT(std::max(milliseconds, 1)),
                                    [](HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); });
    Win_RunMessageLoop();
    KillTimer(nullptr, timer);
}

void Win_Click(HWND button)
{
    if (IsWindowEnabled(button))
        SendMessageW(button, BM_CLICK, 0, 0);
}

void Win_TypeText(HWND edit, const char* text)
{
    if (!IsWindowEnabled(edit))
        return;
    // The person selects what is there and types over it.
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, EM_REPLACESEL, TRUE, LPARAM(Plat_Widen(text).c_str()));
}

void Win_SendKey(HWND window, uint32_t virtualKey, bool control)
{
    HWND focus = GetFocus();
    HWND target = focus != nullptr && (focus == window || IsChild(window, focus)) ? focus : window;
    sendKey(target, WM_KEYDOWN, virtualKey, control ? std::vector<int>{VK_CONTROL} : std::vector<int>{});
}

void Win_SendAltChar(HWND window, char key)
{
    // The key that types the character on this keyboard, with Shift when it takes Shift.
    const SHORT scan = VkKeyScanW(WCHAR(static_cast<unsigned char>(key)));
    std::vector<int> held = {VK_MENU};
    if (scan & 0x100)
        held.push_back(VK_SHIFT);
    sendKey(window, WM_SYSKEYDOWN, UINT(scan & 0xFF), held);
}

bool Win_ChooseMenu(HWND window, int command)
{
    const UINT state = GetMenuState(GetMenu(window), UINT(command), MF_BYCOMMAND);
    if (state == UINT(-1) || (state & (MF_GRAYED | MF_DISABLED)) != 0)
        return false;
    SendMessageW(window, WM_COMMAND, WPARAM(command), 0);
    return true;
}

WinReadList Win_ReadAccessibleList(HWND window)
{
    WinReadList read{false, "", {}, -1};
    IAccessible* area = nullptr;
    if (AccessibleObjectFromWindow(window, DWORD(OBJID_CLIENT), IID_PPV_ARGS(&area)) != S_OK)
        return read;
    read.found = numberOf(area, CHILDID_SELF, &IAccessible::get_accRole) == ROLE_SYSTEM_LIST;
    read.description = textOf(area, CHILDID_SELF, &IAccessible::get_accDescription);
    LONG count = 0;
    area->get_accChildCount(&count);
    for (LONG id = 1; read.found && id <= count; ++id) {
        const LONG state = numberOf(area, id, &IAccessible::get_accState);
        if (numberOf(area, id, &IAccessible::get_accRole) == ROLE_SYSTEM_LISTITEM)
            read.rows.push_back({textOf(area, id, &IAccessible::get_accName), (state & STATE_SYSTEM_SELECTED) != 0,
                                 (state & STATE_SYSTEM_FOCUSED) != 0});
    }
    VARIANT focus = {};
    if (read.found && area->get_accFocus(&focus) == S_OK && focus.vt == VT_I4 && focus.lVal > 0)
        read.focusChild = int(focus.lVal - 1);
    VariantClear(&focus);
    area->Release();
    return read;
}

// The main window on Win32: its class and procedure, menu bar, accelerators, the message loop,
// geometry, timers, the scroll bar, the tooltip, text helpers and opening documents.
#include "window/window_win.h"

#include "platform/wide_win.h"

#include <commctrl.h>
#include <ole2.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace {

constexpr wchar_t MAIN_CLASS[] = L"Moonfetch";
constexpr wchar_t PROGRAM_ICON[] = L"MOONFETCH";
constexpr UINT TOOL_ID = 1;

bool started = false;
ATOM mainClass = 0;
int wheelRest = 0;              // a part of a notch, kept for the next turn
HACCEL accelerators = nullptr;   // of the main window, translated in the loop
HWND acceleratorWindow = nullptr;
HWND toolTip = nullptr;
HWND focusWhenInactive = nullptr;
std::wstring tipText;            // what the tooltip shows for the pointer's place

// The program's messages; everything else is the system's to handle.
constexpr UINT PROGRAM_MESSAGES[] = {WM_DESTROY, WM_SIZE, WM_PAINT, WM_CLOSE, WM_KEYDOWN, WM_COMMAND,
                                     WM_TIMER, WM_VSCROLL, WM_LBUTTONUP, WM_LBUTTONDBLCLK};

WndProc programProc(HWND window)
{
    return reinterpret_cast<WndProc>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

bool isProgramMessage(UINT message)
{
    return std::find(std::begin(PROGRAM_MESSAGES), std::end(PROGRAM_MESSAGES), message) != std::end(PROGRAM_MESSAGES);
}

// The text the program gives for point of window's client area; "" shows none.
std::wstring askToolTip(HWND window, POINT point)
{
    static WinToolTip tip;
    tip.text[0] = '\0';
    if (WndProc proc = programProc(window))
        proc(window, WM_GETTOOLTIP, WPARAM(&tip), LPARAM(MAKELONG(point.x, point.y)));
    tip.text[sizeof tip.text - 1] = '\0';
    return winw::Wide(tip.text);
}

void addToolTip(HWND window)
{
    toolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    if (toolTip == nullptr)
        return;
    TOOLINFOW tool = {};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = window;
    tool.uId = TOOL_ID;
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    GetClientRect(window, &tool.rect);
    SendMessageW(toolTip, TTM_ADDTOOLW, 0, LPARAM(&tool));
    SendMessageW(toolTip, TTM_SETMAXTIPWIDTH, 0, 600);
}

// The tooltip follows the pointer: a new text takes the old one's place at once.
void onMouseMove(HWND window, LPARAM lParam)
{
    if (toolTip == nullptr)
        return;
    std::wstring text = askToolTip(window, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
    if (text == tipText)
        return;
    tipText = std::move(text);
    SendMessageW(toolTip, TTM_POP, 0, 0);
    SendMessageW(toolTip, TTM_UPDATE, 0, 0);
}

// The wheel scrolls as the scroll bar's arrows do, the system's number of lines a notch.
void onMouseWheel(HWND window, int delta)
{
    WndProc proc = programProc(window);
    SCROLLINFO range = {};
    range.cbSize = sizeof range;
    range.fMask = SIF_RANGE;
    if (proc == nullptr || !GetScrollInfo(window, SB_VERT, &range) || range.nMax <= range.nMin)
        return;
    UINT lines = 3;
    SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
    wheelRest += delta;
    for (; wheelRest >= WHEEL_DELTA; wheelRest -= WHEEL_DELTA)
        for (UINT i = 0; i < lines; ++i)
            proc(window, WM_VSCROLL, SB_LINEUP, 0);
    for (; wheelRest <= -WHEEL_DELTA; wheelRest += WHEEL_DELTA)
        for (UINT i = 0; i < lines; ++i)
            proc(window, WM_VSCROLL, SB_LINEDOWN, 0);
}

void onNotify(const NMHDR* header)
{
    if (header->hwndFrom != toolTip || header->code != TTN_GETDISPINFOW)
        return;
    auto* info = reinterpret_cast<NMTTDISPINFOW*>(const_cast<NMHDR*>(header));
    info->lpszText = const_cast<wchar_t*>(tipText.c_str());
}

void resizeToolTip(HWND window)
{
    if (toolTip == nullptr)
        return;
    TOOLINFOW tool = {};
    tool.cbSize = sizeof tool;
    tool.hwnd = window;
    tool.uId = TOOL_ID;
    GetClientRect(window, &tool.rect);
    SendMessageW(toolTip, TTM_NEWTOOLRECTW, 0, LPARAM(&tool));
}

// The focus stays with the control that had it while the window was inactive.
bool onActivate(HWND window, WPARAM wParam)
{
    if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        focusWhenInactive = focus == window || IsChild(window, focus) ? focus : nullptr;
        return false;
    }
    if (focusWhenInactive == nullptr || !IsWindow(focusWhenInactive))
        return false;
    SetFocus(focusWhenInactive);
    return true;
}

void onDestroy(HWND window)
{
    RevokeDragDrop(window);
    Win_SetAccessibleList(window, nullptr);
    winw::DesktopWindowGone(window);
    winw::ForgetEndSession(window);
    if (window == acceleratorWindow) {
        DestroyAcceleratorTable(accelerators);
        accelerators = nullptr;
        acceleratorWindow = nullptr;
    }
    toolTip = nullptr;
}

LRESULT CALLBACK mainProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WndProc proc = programProc(window);
    switch (message) {
    case WM_NCCREATE: {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, LONG_PTR(create->lpCreateParams));
        break;
    }
    case WM_MOUSEWHEEL:
        onMouseWheel(window, GET_WHEEL_DELTA_WPARAM(wParam));
        return 0;
    case WM_MOUSEMOVE:
        onMouseMove(window, lParam);
        return 0;
    case WM_NOTIFY:
        onNotify(reinterpret_cast<const NMHDR*>(lParam));
        return 0;
    case WM_ACTIVATE:
        if (onActivate(window, wParam))
            return 0;
        break;
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
    case winw::WM_END_SIGNAL:
    case winw::WM_END_DELIVER:
        return winw::EndSessionMessage(window, message, wParam);
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMRESUMEAUTOMATIC && window == winw::WakeListener() && proc != nullptr)
            proc(window, message, wParam, lParam);
        return TRUE;
    case winw::WM_TRAY_CALLBACK:
        winw::TrayCallback(window, lParam);
        return 0;
    case WM_SIZE:
        resizeToolTip(window);
        break;
    case WM_GETOBJECT:
        if (LRESULT object = winw::AccessibleObject(window, wParam, lParam))
            return object;
        break;
    default:
        break;
    }
    if (proc != nullptr && isProgramMessage(message)) {
        LRESULT result = proc(window, message, wParam, lParam);
        // A procedure that painted nothing must not be asked again and again.
        if (message == WM_PAINT)
            ValidateRect(window, nullptr);
        if (message == WM_DESTROY)
            onDestroy(window);
        return result;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool registerMainClass()
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = mainProcedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = HBRUSH(COLOR_WINDOW + 1);
    wc.lpszClassName = MAIN_CLASS;
    mainClass = RegisterClassExW(&wc);
    return mainClass != 0;
}

// The menu bar: each menu once, in the order its first item names it.
HMENU buildMenu(const WinMainTemplate& tpl)
{
    if (tpl.menuCount == 0)
        return nullptr;
    HMENU bar = CreateMenu();
    std::vector<std::pair<std::string, HMENU>> popups;
    for (size_t i = 0; i < tpl.menuCount; ++i) {
        const WinMenuItem& item = tpl.menu[i];
        const std::string name = item.menu ? item.menu : "";
        auto found = std::find_if(popups.begin(), popups.end(), [&](const auto& p) { return p.first == name; });
        if (found == popups.end()) {
            popups.emplace_back(name, CreatePopupMenu());
            AppendMenuW(bar, MF_POPUP | MF_STRING, UINT_PTR(popups.back().second), winw::Wide(item.menu).c_str());
            found = popups.end() - 1;
        }
        AppendMenuW(found->second, MF_STRING, UINT_PTR(item.command), winw::Wide(item.text).c_str());
    }
    return bar;
}

HACCEL buildAccelerators(const WinMainTemplate& tpl)
{
    std::vector<ACCEL> table;
    for (size_t i = 0; i < tpl.acceleratorCount; ++i) {
        const WinAccelerator& a = tpl.accelerators[i];
        // A letter or digit is its key, whichever the keyboard; other marks ("?", "/") are the
        // character typed, which no key code names alike on every layout.
        const auto key = static_cast<unsigned char>(a.key);
        table.push_back(std::isalnum(key) ? ACCEL{FALT | FVIRTKEY, WORD(std::toupper(key)), WORD(a.command)}
                                          : ACCEL{FALT, WORD(key), WORD(a.command)});
    }
    return table.empty() ? nullptr : CreateAcceleratorTableW(table.data(), int(table.size()));
}

// The dialog that handles the keys of a message to target: the nearest dialog around it.
HWND dialogAround(HWND target)
{
    constexpr ULONG_PTR DIALOG_ATOM = 32770;
    for (HWND at = target; at != nullptr; at = GetParent(at)) {
        if (GetClassLongPtrW(at, GCW_ATOM) == DIALOG_ATOM)
            return at;
        if (!(GetWindowLongPtrW(at, GWL_STYLE) & WS_CHILD))
            break;
    }
    return nullptr;
}

bool translated(MSG& msg)
{
    if (accelerators != nullptr && IsWindow(acceleratorWindow) &&
        (msg.hwnd == acceleratorWindow || IsChild(acceleratorWindow, msg.hwnd)) &&
        TranslateAcceleratorW(acceleratorWindow, accelerators, &msg))
        return true;
    HWND dialog = dialogAround(msg.hwnd);
    return dialog != nullptr && IsDialogMessageW(dialog, &msg);
}

}  // namespace

namespace winw {

std::wstring Wide(const char* text)
{
    return Plat_Widen(text != nullptr ? text : "");
}

std::string Narrow(const wchar_t* text, int length)
{
    if (text == nullptr)
        return {};
    return Plat_Narrow(length < 0 ? std::wstring_view(text) : std::wstring_view(text, size_t(length)));
}

size_t CopyText(const std::string& text, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    size_t length = std::min(text.size(), size - 1);
    // Back to the start of a character: continuation bytes are 10xxxxxx.
    while (length < text.size() && length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
}

HICON LoadIconFor(const char* path, int size)
{
    if (path == nullptr || path[0] == '\0')
        return nullptr;
    const char* slash = std::max(std::strrchr(path, '/'), std::strrchr(path, '\\'));
    std::string name = slash ? slash + 1 : path;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (name.find("moonfetch") != std::string::npos)
        return HICON(LoadImageW(GetModuleHandleW(nullptr), PROGRAM_ICON, IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    return HICON(LoadImageW(nullptr, Wide(path).c_str(), IMAGE_ICON, size, size, LR_LOADFROMFILE));
}

}  // namespace winw

bool Win_Init(int*, char**)
{
    if (started)
        return true;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    const HRESULT ole = OleInitialize(nullptr);
    started = SUCCEEDED(ole) && registerMainClass();
    return started;
}

HWND Win_CreateMainWindow(const WinMainTemplate& tpl)
{
    if (!started)
        return nullptr;
    HMENU menu = buildMenu(tpl);
    HWND window = CreateWindowExW(0, MAIN_CLASS, winw::Wide(tpl.title).c_str(), WS_OVERLAPPEDWINDOW | WS_VSCROLL | WS_CLIPCHILDREN,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 640, 480, nullptr, menu, GetModuleHandleW(nullptr),
                                  reinterpret_cast<void*>(tpl.procedure));
    if (window == nullptr) {
        if (menu != nullptr)
            DestroyMenu(menu);
        return nullptr;
    }
    if (HICON large = winw::LoadIconFor(tpl.iconLarge, GetSystemMetrics(SM_CXICON)))
        SendMessageW(window, WM_SETICON, ICON_BIG, LPARAM(large));
    if (HICON small = winw::LoadIconFor(tpl.iconSmall, GetSystemMetrics(SM_CXSMICON)))
        SendMessageW(window, WM_SETICON, ICON_SMALL, LPARAM(small));
    if (HACCEL table = buildAccelerators(tpl)) {
        DestroyAcceleratorTable(accelerators);
        accelerators = table;
        acceleratorWindow = window;
    }
    ShowScrollBar(window, SB_VERT, FALSE);
    addToolTip(window);
    return window;
}

void Win_EnableMenuItem(HWND window, int command, bool enable)
{
    if (HMENU menu = window ? GetMenu(window) : nullptr) {
        EnableMenuItem(menu, UINT(command), MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
        DrawMenuBar(window);
    }
}

void Win_ShowWindow(HWND window)
{
    if (window == nullptr)
        return;
    ShowWindow(window, SW_SHOW);
    if (GetClassLongPtrW(window, GCW_ATOM) == mainClass) {
        SetForegroundWindow(window);
        UpdateWindow(window);
    }
}

void Win_HideWindow(HWND window)
{
    if (window != nullptr)
        ShowWindow(window, SW_HIDE);
}

void Win_DestroyWindow(HWND window)
{
    if (window != nullptr && IsWindow(window))
        DestroyWindow(window);
}

int Win_RunMessageLoop()
{
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (translated(msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return int(msg.wParam);
}

void Win_PostQuitMessage(int exitCode)
{
    PostQuitMessage(exitCode);
}

WinRect Win_GetClientRect(HWND window)
{
    RECT r = {};
    if (window != nullptr)
        GetClientRect(window, &r);
    return WinRect{r.left, r.top, r.right, r.bottom};
}

WinRect Win_GetWindowRect(HWND window)
{
    RECT r = {};
    if (window != nullptr)
        GetWindowRect(window, &r);
    return WinRect{r.left, r.top, r.right, r.bottom};
}

void Win_MoveWindow(HWND window, int x, int y, int width, int height)
{
    if (window != nullptr)
        MoveWindow(window, x, y, width, height, TRUE);
}

void Win_Invalidate(HWND window, bool now)
{
    if (window == nullptr)
        return;
    InvalidateRect(window, nullptr, TRUE);
    if (now)
        UpdateWindow(window);
}

void Win_SetFocus(HWND window)
{
    if (window != nullptr)
        SetFocus(window);
}

bool Win_FocusWithin(HWND window)
{
    if (window == nullptr)
        return false;
    HWND focus = GetFocus();
    if (focus == nullptr)
        focus = focusWhenInactive;
    return focus != nullptr && (focus == window || IsChild(window, focus));
}

bool Win_ControlKeyDown()
{
    return GetKeyState(VK_CONTROL) < 0;
}

uint32_t Win_SetTimer(HWND window, uint32_t id, uint32_t milliseconds)
{
    if (window == nullptr)
        return 0;
    return SetTimer(window, id, milliseconds, nullptr) != 0 ? id : 0;
}

void Win_KillTimer(HWND window, uint32_t id)
{
    if (window != nullptr)
        KillTimer(window, id);
}

void Win_SetScrollRange(HWND window, int maximum)
{
    if (window == nullptr)
        return;
    SCROLLINFO info = {};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE;
    info.nMax = std::max(maximum, 0);
    SetScrollInfo(window, SB_VERT, &info, TRUE);
    ShowScrollBar(window, SB_VERT, maximum > 0);
}

void Win_SetScrollPos(HWND window, int position)
{
    if (window == nullptr)
        return;
    SCROLLINFO info = {};
    info.cbSize = sizeof info;
    info.fMask = SIF_POS;
    info.nPos = position;
    SetScrollInfo(window, SB_VERT, &info, TRUE);
}

void Win_SetWindowText(HWND window, const char* text)
{
    if (window == nullptr)
        return;
    winw::settingText = true;
    SetWindowTextW(window, winw::Wide(text).c_str());
    winw::settingText = false;
}

size_t Win_GetWindowText(HWND window, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    buffer[0] = '\0';
    if (window == nullptr)
        return 0;
    std::wstring text(size_t(GetWindowTextLengthW(window)) + 1, L'\0');
    const int length = GetWindowTextW(window, text.data(), int(text.size()));
    return winw::CopyText(winw::Narrow(text.data(), length), buffer, size);
}

void Win_EnableWindow(HWND window, bool enable)
{
    if (window != nullptr)
        EnableWindow(window, enable);
}

void Win_OpenDocument(const char* path)
{
    if (path != nullptr)
        ShellExecuteW(nullptr, L"open", winw::Wide(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// The desktop on Win32: staying awake through the thread's execution state, notifications as the
// tray icon's balloons, waking from sleep as Windows' own WM_POWERBROADCAST, and the tray.
#include "window/desktop.h"
#include "window/window_win.h"

#include <shellapi.h>

#include <cwchar>
#include <set>

namespace {

constexpr UINT TRAY_ID = 1;
constexpr UINT BALLOON_ID = 2;       // a notification's own icon while no tray icon is shown
constexpr UINT BALLOON_MS = 10000;
constexpr UINT_PTR BALLOON_TIMER = 1;
constexpr wchar_t BALLOON_CLASS[] = L"Moonfetch.Notification";

std::set<int> holds;
int nextHold = 1;
HWND wakeListener = nullptr;

HWND trayWindow = nullptr;          // the window the tray icon was shown for
HMENU trayMenu = nullptr;
HWND balloonWindow = nullptr;       // owns a notification's icon while no tray icon is shown

template <size_t N>
void copyWide(wchar_t (&field)[N], const std::wstring& text)
{
    std::wcsncpy(field, text.c_str(), N - 1);
    field[N - 1] = L'\0';
}

NOTIFYICONDATAW iconData(HWND window, UINT id)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = id;
    return data;
}

void removeBalloonIcon()
{
    NOTIFYICONDATAW data = iconData(balloonWindow, BALLOON_ID);
    Shell_NotifyIconW(NIM_DELETE, &data);
    KillTimer(balloonWindow, BALLOON_TIMER);
}

// The notification's own icon goes when its balloon does, or after a while at the latest.
LRESULT CALLBACK balloonProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const bool balloonGone = message == winw::WM_TRAY_CALLBACK &&
                             (lParam == NIN_BALLOONTIMEOUT || lParam == NIN_BALLOONUSERCLICK || lParam == NIN_BALLOONHIDE);
    if (balloonGone || (message == WM_TIMER && wParam == BALLOON_TIMER)) {
        removeBalloonIcon();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND ensureBalloonWindow()
{
    if (balloonWindow != nullptr)
        return balloonWindow;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = balloonProcedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = BALLOON_CLASS;
    RegisterClassExW(&wc);
    balloonWindow = CreateWindowExW(0, BALLOON_CLASS, L"", 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    return balloonWindow;
}

}  // namespace

namespace winw {

HWND WakeListener()
{
    return wakeListener;
}

void TrayCallback(HWND window, LPARAM lParam)
{
    if (window != trayWindow || trayMenu == nullptr || (lParam != WM_RBUTTONUP && lParam != WM_CONTEXTMENU))
        return;
    POINT at;
    GetCursorPos(&at);
    // The menu closes when the person clicks elsewhere only if its window is in front.
    SetForegroundWindow(window);
    TrackPopupMenu(trayMenu, TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    PostMessageW(window, WM_NULL, 0, 0);
}

void DesktopWindowGone(HWND window)
{
    if (window == wakeListener)
        wakeListener = nullptr;
    if (window != trayWindow)
        return;
    NOTIFYICONDATAW data = iconData(trayWindow, TRAY_ID);
    Shell_NotifyIconW(NIM_DELETE, &data);
    DestroyMenu(trayMenu);
    trayMenu = nullptr;
    trayWindow = nullptr;
}

}  // namespace winw

// Windows lets no program refuse a suspend the person asks for: a hold for IdleAndSleep keeps
// the computer from idling into sleep, as one for Idle does.
int Win_HoldAwake(WinAwake, const char*, const char*)
{
    if (holds.empty())
        SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    const int hold = nextHold++;
    holds.insert(hold);
    return hold;
}

void Win_ReleaseAwake(int hold)
{
    if (holds.erase(hold) != 0 && holds.empty())
        SetThreadExecutionState(ES_CONTINUOUS);
}

void Win_Notify(const char* app, const char* summary, const char* body)
{
    const bool onTray = trayWindow != nullptr;
    HWND window = onTray ? trayWindow : ensureBalloonWindow();
    if (window == nullptr)
        return;
    NOTIFYICONDATAW data = iconData(window, onTray ? TRAY_ID : BALLOON_ID);
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_INFO;
    copyWide(data.szInfoTitle, winw::Wide(summary && summary[0] ? summary : app));
    copyWide(data.szInfo, winw::Wide(body && body[0] ? body : " "));
    if (onTray) {
        Shell_NotifyIconW(NIM_MODIFY, &data);
        return;
    }
    removeBalloonIcon();
    data.uFlags |= NIF_ICON | NIF_MESSAGE | NIF_TIP;
    data.uCallbackMessage = winw::WM_TRAY_CALLBACK;
    data.hIcon = winw::LoadIconFor("moonfetch.ico", GetSystemMetrics(SM_CXSMICON));
    if (data.hIcon == nullptr)
        data.hIcon = LoadIconW(nullptr, IDI_INFORMATION);
    copyWide(data.szTip, winw::Wide(app));
    if (Shell_NotifyIconW(NIM_ADD, &data))
        SetTimer(window, BALLOON_TIMER, BALLOON_MS, nullptr);
}

void Win_ListenForWake(HWND window)
{
    wakeListener = window;
}

bool Win_TrayAvailable()
{
    return FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr;
}

void Win_TrayShow(HWND window, const char* icon, const char* tip, const WinMenuItem* items, size_t count)
{
    if (window == nullptr || !Win_TrayAvailable())
        return;
    if (trayWindow != nullptr)
        winw::DesktopWindowGone(trayWindow);
    trayMenu = CreatePopupMenu();
    for (size_t i = 0; i < count; ++i)
        AppendMenuW(trayMenu, MF_STRING, UINT_PTR(items[i].command), winw::Wide(items[i].text).c_str());
    NOTIFYICONDATAW data = iconData(window, TRAY_ID);
    data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    data.uCallbackMessage = winw::WM_TRAY_CALLBACK;
    data.hIcon = winw::LoadIconFor(icon, GetSystemMetrics(SM_CXSMICON));
    copyWide(data.szTip, winw::Wide(tip));
    trayWindow = window;
    if (!Shell_NotifyIconW(NIM_ADD, &data))
        winw::DesktopWindowGone(window);
}

void Win_TraySetTip(const char* tip)
{
    if (trayWindow == nullptr)
        return;
    NOTIFYICONDATAW data = iconData(trayWindow, TRAY_ID);
    data.uFlags = NIF_TIP;
    copyWide(data.szTip, winw::Wide(tip));
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

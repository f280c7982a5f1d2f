// The end of the session on Win32: Windows' own WM_ENDSESSION, and the console's Ctrl+C, Ctrl+Break
// and closing, which the console's handler (on a thread of its own) turns into a posted message.
// Modal windows are closed as the person closes them; the program hears WM_ENDSESSION once the
// last modal call has returned, from its own message loop.
#include "window/window_win.h"

#include <atomic>

namespace {

constexpr ULONG_PTR DIALOG_ATOM = 32770;
constexpr DWORD CLOSE_WAIT_MS = 4500;   // Windows ends a closed console's process after 5 s

std::atomic<HWND> listener{nullptr};
std::atomic<int> signals{0};
HANDLE finished = nullptr;               // set once the listening window is gone
bool endPending = false;

BOOL CALLBACK closeModal(HWND window, LPARAM)
{
    // Not only the visible: a modal dialog shows once its loop first waits.
    if (GetClassLongPtrW(window, GCW_ATOM) == DIALOG_ATOM && GetPropW(window, winw::MODELESS_PROPERTY) == nullptr)
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

// Template dialogs, message boxes and file dialogs alike; the program's modeless dialogs stay.
void closeModals()
{
    EnumThreadWindows(GetCurrentThreadId(), closeModal, 0);
}

void deliver(HWND window)
{
    if (!endPending || winw::ModalRunning() || window != listener.load())
        return;
    endPending = false;
    auto proc = reinterpret_cast<WndProc>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (proc != nullptr)
        proc(window, WM_ENDSESSION, 1, 0);
}

// The console's handler: a second signal, or one nobody listens for, ends the process as usual.
BOOL WINAPI onConsoleSignal(DWORD type)
{
    HWND window = listener.load();
    if (window == nullptr || signals.fetch_add(1) > 0 || !PostMessageW(window, winw::WM_END_SIGNAL, 0, 0))
        return FALSE;
    // Closing the console, logging off and shutting down end the process when this returns.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(finished, CLOSE_WAIT_MS);
    return TRUE;
}

}  // namespace

namespace winw {

LRESULT EndSessionMessage(HWND window, UINT message, WPARAM wParam)
{
    const bool listening = window == listener.load();
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // Windows ends the process once this returns: the program hears it now unless a modal
        // call is under way, which is closed first and then hands it on.
        if (!listening || wParam == 0)
            return 0;
        endPending = true;
        closeModals();
        deliver(window);
        return 0;
    case WM_END_SIGNAL:
        endPending = true;
        closeModals();
        ModalsEnded();
        return 0;
    default:
        deliver(window);
        return 0;
    }
}

void ModalsEnded()
{
    if (HWND window = listener.load(); endPending && window != nullptr && !ModalRunning())
        PostMessageW(window, WM_END_DELIVER, 0, 0);
}

void ForgetEndSession(HWND window)
{
    if (window != listener.load())
        return;
    listener.store(nullptr);
    endPending = false;
    SetEvent(finished);
}

}  // namespace winw

void Win_ListenForEndSession(HWND window)
{
    if (window == nullptr)
        return;
    if (finished == nullptr) {
        finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(onConsoleSignal, TRUE);
    }
    ResetEvent(finished);
    signals.store(0);
    listener.store(window);
}

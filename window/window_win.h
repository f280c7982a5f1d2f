// Inside the windowing on Win32: what its files share. The handles are the system's own; what the
// windowing keeps beside them lives in window properties and window longs, so that a destroyed
// window takes it along.
//
// Ownership: the program's procedure of a main window is its GWLP_USERDATA, a dialog's is its
// DWLP_USER; nothing here outlives the window it was made for. Everything runs on the thread
// that called Win_Init, except the console's handler, which only posts to it.
#pragma once

#include "window/window.h"

#include <windows.h>

#include <atomic>
#include <string>

namespace winw {

// Messages of the windowing to its own windows, never seen by the program.
constexpr UINT WM_TRAY_CALLBACK = WM_APP + 1;   // the tray icon's mouse messages
constexpr UINT WM_END_SIGNAL = WM_APP + 2;      // the console asked the process to end
constexpr UINT WM_END_DELIVER = WM_APP + 3;     // hand the end of the session to the program

// UTF-8 to UTF-16 and back; null is empty.
std::wstring Wide(const char* text);
std::string Narrow(const wchar_t* text, int length = -1);
// Copies text into buffer (size bytes, NUL included) without cutting a character in two;
// returns the length copied.
size_t CopyText(const std::string& text, char* buffer, size_t size);

// The program's icon, from the resources, when path's file name names the program (its pictures
// are moonfetch-16.png and moonfetch-32.png), else the .ico file at path; null when neither
// loads. size is the side in pixels.
HICON LoadIconFor(const char* path, int size);

// Modal calls under way (template dialogs, message boxes, file dialogs); the end of the session
// waits for them. A scope marks one.
class ModalScope {
public:
    ModalScope();
    ~ModalScope();
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;
};
bool ModalRunning();
// The last modal call has returned: a pending end of the session may go to the program.
void ModalsEnded();
// What the trampoline marks a template dialog with, while it lives.
constexpr wchar_t MODAL_PROPERTY[] = L"Moonfetch.Modal";
constexpr wchar_t MODELESS_PROPERTY[] = L"Moonfetch.Modeless";

// The end of the session for the main window's procedure: a console signal or Windows' own
// WM_ENDSESSION. Returns what the procedure answers.
LRESULT EndSessionMessage(HWND window, UINT message, WPARAM wParam);
// The listening window is being destroyed.
void ForgetEndSession(HWND window);

// WM_GETOBJECT for window: the program's list as accessibility's object of the client area, or 0
// when the system's own answer stands (another object asked for, or no list described).
LRESULT AccessibleObject(HWND window, WPARAM wParam, LPARAM lParam);

// The tray icon's callback message for window.
void TrayCallback(HWND window, LPARAM lParam);
// window is being destroyed: its tray icon goes with it, and it hears of no more wake-ups.
void DesktopWindowGone(HWND window);
// The window that listens for wake-ups, or null.
HWND WakeListener();

// Whether the program's text, not the person, is changing an edit box (no EN_CHANGE then).
extern bool settingText;

// A COM object made here, with one reference at birth; the last Release deletes it.
template <typename Interface>
class Counted : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = IsEqualIID(iid, IID_IUnknown) || answers(iid) ? static_cast<Interface*>(this) : nullptr;
        if (*out == nullptr)
            return E_NOINTERFACE;
        this->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    virtual ~Counted() = default;
    // Whether the object offers iid besides IUnknown.
    virtual bool answers(REFIID iid) const = 0;

private:
    std::atomic<ULONG> references_{1};
};

}  // namespace winw

// Windowing: the main window, dialogs built from templates, painting, timers, the vertical
// scroll bar, message boxes, file dialogs, opening documents and dropped text.
//
// Contract:
// - The program's own window procedures and dialog procedures receive Win32-style messages
//   (WM_*, with wParam and lParam packed as Win32 packs them) and call back only through the
//   functions here; nothing of the toolkit shows through, so the same code could stand on Win32.
// - Every call here runs on the user-interface thread (the thread that called Win_Init).
// - A handle (HWND) names a main window, a dialog or a control; it stays valid until the window
//   is destroyed. Calls on a null handle do nothing and return 0/false/null.
// - Modal calls (Win_DialogBox, Win_MessageBox, the file dialogs) run a nested event loop, in
//   which timers keep firing.
// - What tests need beyond this (input in the person's place, answers to modal calls, what a
//   paint drew, what the program sets and never reads back) is in the test support library,
//   tests/support/window/window_testing.h; the program records nothing of what it shows.
// - Sizes and positions in templates are dialog units, converted to pixels from the dialog
//   font's average character size (x * cx / 4, y * cy / 8).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// On Windows a handle and a colour are the system's own types, declared as <windows.h> declares
// them, so that the windows' files may include that header after this one.
#ifdef _WIN32
struct HWND__;
using HWND = HWND__*;
using COLORREF = unsigned long;
#else
struct WinWindow;
using HWND = WinWindow*;
using COLORREF = uint32_t;
#endif
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

// The window and dialog procedures of the program.
using WndProc = LRESULT (*)(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam);
using DlgProc = intptr_t (*)(HWND dialog, uint32_t message, WPARAM wParam, LPARAM lParam);

constexpr COLORREF RGB(int r, int g, int b)
{
    return COLORREF(r) | COLORREF(g) << 8 | COLORREF(b) << 16;
}

// The halves of a packed wParam or lParam: its low 16 bits and the 16 bits above them.
constexpr uint16_t LOWORD(uintptr_t value)
{
    return uint16_t(value & 0xFFFF);
}

constexpr uint16_t HIWORD(uintptr_t value)
{
    return uint16_t(value >> 16 & 0xFFFF);
}

// Messages, with Win32's numbers and packing.
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_SIZE = 0x0005;         // lParam: width low 16 bits, height high 16 bits
constexpr uint32_t WM_ENDSESSION = 0x0016;   // wParam 1: the session ends, the process with it
// With WM_ENDSESSION: the end cannot wait, the process ends as soon as the procedure returns.
constexpr LPARAM ENDSESSION_CRITICAL = 0x40000000;
constexpr uint32_t WM_PAINT = 0x000F;
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_KEYDOWN = 0x0100;      // wParam: the virtual key
constexpr uint32_t WM_INITDIALOG = 0x0110;
constexpr uint32_t WM_COMMAND = 0x0111;      // wParam: id low 16 bits, notification high 16
constexpr uint32_t WM_TIMER = 0x0113;        // wParam: the timer id
constexpr uint32_t WM_VSCROLL = 0x0115;      // wParam: request low 16 bits, position high 16
constexpr uint32_t WM_LBUTTONUP = 0x0202;    // lParam: x low 16 bits, y high 16 bits
constexpr uint32_t WM_LBUTTONDBLCLK = 0x0203;
// The person rests the pointer on a main window's client area: lParam packs x and y as a mouse
// message does, wParam points to a WinToolTip whose text the procedure fills ("" shows none).
constexpr uint32_t WM_GETTOOLTIP = 0x0401;
constexpr uint32_t WM_POWERBROADCAST = 0x0218;   // wParam: what happened, e.g. PBT_APMRESUMEAUTOMATIC

constexpr uint32_t PBT_APMRESUMEAUTOMATIC = 0x0012;   // the computer woke from sleep

constexpr uint32_t EN_CHANGE = 0x0300;       // edit box text changed by the person
constexpr uint32_t BN_CLICKED = 0;

constexpr uint32_t VK_DELETE = 0x2E;
constexpr uint32_t VK_CONTROL = 0x11;
constexpr uint32_t VK_RETURN = 0x0D;
constexpr uint32_t VK_ESCAPE = 0x1B;
constexpr uint32_t VK_HOME = 0x24, VK_END = 0x23, VK_UP = 0x26, VK_DOWN = 0x28;

constexpr uint32_t SB_LINEUP = 0, SB_LINEDOWN = 1, SB_PAGEUP = 2, SB_PAGEDOWN = 3;
constexpr uint32_t SB_THUMBPOSITION = 4, SB_THUMBTRACK = 5;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Message box styles.
constexpr uint32_t MB_OK = 0x0, MB_OKCANCEL = 0x1, MB_ICONEXCLAMATION = 0x30;

// Control kinds of a dialog template.
enum class WinControl { PushButton, DefPushButton, CheckBox, RadioButton, Edit, Static, ListBox,
                        Icon, GroupBox };

// Control styles that the templates use.
constexpr uint32_t WS_DISABLED = 0x08000000;
constexpr uint32_t WS_TABSTOP = 0x00010000;
constexpr uint32_t WS_GROUP = 0x00020000;

struct WinControlTemplate {
    int id;               // -1 for a static without id
    WinControl kind;
    const char* text;     // for an icon: the icon's resource name
    uint32_t style;
    int x, y, cx, cy;     // dialog units
};

struct WinDialogTemplate {
    int id;
    const char* caption;   // null or "" for none
    bool child;            // a child strip of its parent (the toolbar) rather than a top-level window
    int x, y, cx, cy;      // dialog units
    const char* fontName;
    int pointSize;
    const WinControlTemplate* controls;
    size_t controlCount;
};

struct WinMenuItem {
    const char* menu;      // the menu it belongs to, e.g. "&File"
    const char* text;      // e.g. "E&xit"
    int command;
};

struct WinAccelerator {
    char key;              // a plain character typed with Alt held
    int command;
};

struct WinMainTemplate {
    const char* title;
    const char* iconLarge;   // resource paths of the icons
    const char* iconSmall;
    const WinMenuItem* menu;
    size_t menuCount;
    const WinAccelerator* accelerators;
    size_t acceleratorCount;
    WndProc procedure;
};

struct WinRect {
    int left, top, right, bottom;
};

constexpr size_t TOOLTIP_CAPACITY = 4096;
struct WinToolTip {
    char text[TOOLTIP_CAPACITY];
};

// Starts the toolkit for this process; false when there is nothing to show windows on (none of
// DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM is set; the last may name "offscreen") or when
// another toolkit application already runs in it. Windows always has a desktop to show them on.
bool Win_Init(int* argc, char** argv);

HWND Win_CreateMainWindow(const WinMainTemplate& main);
// Greys out, or makes available again, the item of window's menu bar that sends command.
void Win_EnableMenuItem(HWND window, int command, bool enable);
// Shows window; a main window also comes to the front, as the person's choice to see it.
void Win_ShowWindow(HWND window);
// Hides window until it is shown again; it keeps its state, timers and messages meanwhile.
void Win_HideWindow(HWND window);
// Destroys window (its procedure receives WM_DESTROY) and its children.
void Win_DestroyWindow(HWND window);
// From now until window is destroyed, SIGTERM (log-out, kill), SIGINT (Ctrl+C) and SIGHUP no
// longer end the process: each reaches window's procedure as WM_ENDSESSION with wParam 1, from
// the event loop once no procedure and no modal call runs. Modal windows open at that moment
// are closed first, as the person would close them. A second such signal ends the process.
// When the display goes away nothing more can be shown and the toolkit would end the process:
// window's procedure hears WM_ENDSESSION with wParam 1 and lParam ENDSESSION_CRITICAL at once,
// even under a procedure or a modal call, and the process ends with status 1 when it returns.
void Win_ListenForEndSession(HWND window);
// Runs the event loop until Win_PostQuitMessage; returns its exit code.
int Win_RunMessageLoop();
void Win_PostQuitMessage(int exitCode);

WinRect Win_GetClientRect(HWND window);
WinRect Win_GetWindowRect(HWND window);   // in screen pixels
void Win_MoveWindow(HWND window, int x, int y, int width, int height);
// Asks for a repaint of the client area; with now, the WM_PAINT is delivered before returning.
void Win_Invalidate(HWND window, bool now);
void Win_SetFocus(HWND window);
// Whether the keys typed into window's top-level window go to window or one of its controls
// (the toolkit keeps that focus while the window is not active).
bool Win_FocusWithin(HWND window);
bool Win_ControlKeyDown();

// Timers deliver WM_TIMER with their id to the window's procedure; returns the id, 0 on failure.
uint32_t Win_SetTimer(HWND window, uint32_t id, uint32_t milliseconds);
void Win_KillTimer(HWND window, uint32_t id);

// The vertical scroll bar: range 0..maximum (hidden while maximum is 0) and position.
void Win_SetScrollRange(HWND window, int maximum);
void Win_SetScrollPos(HWND window, int position);

// Painting, only inside WM_PAINT: text uses the window's default font, left- and top-aligned,
// with an opaque background in the current background colour.
struct WinDC;
WinDC* Win_BeginPaint(HWND window);
void Win_EndPaint(HWND window, WinDC* dc);
// A one-pixel frame in the window text colour filled with the window colour.
void Win_Rectangle(WinDC* dc, const WinRect& rect);
void Win_FillRect(WinDC* dc, const WinRect& rect, COLORREF colour);
void Win_SetBkColor(WinDC* dc, COLORREF colour);
void Win_SetTextColor(WinDC* dc, COLORREF colour);
void Win_TextOut(WinDC* dc, int x, int y, const char* text);
// Text at box's top left that paints nothing outside box: a text wider than box ends in "…"
// where it is cut. Returns the right edge of what was drawn.
int Win_TextOutClipped(WinDC* dc, const WinRect& box, const char* text);
// A raised-and-sunken "bump" edge on all four sides of rect.
void Win_DrawBumpEdge(WinDC* dc, const WinRect& rect);
// The dotted frame that shows where the keyboard's focus is, just inside rect.
void Win_DrawFocusRect(WinDC* dc, const WinRect& rect);

// The desktop's colours, which follow its light, dark or high-contrast theme: read them at
// each paint rather than keeping them.
enum class WinColour { Window, WindowText, Highlight, HighlightText };
COLORREF Win_SystemColour(WinColour colour);

// A main window whose client area is a list of rows, as accessibility (screen readers) sees it.
// The program answers from its own record; the windowing asks whenever a reader does.
struct WinAccessibleList {
    virtual ~WinAccessibleList() = default;
    virtual int RowCount() = 0;
    // What a reader speaks for the row: its texts, in the order the row shows them.
    virtual std::string RowName(int row) = 0;
    virtual bool RowSelected(int row) = 0;
    // The row the keyboard moves from; -1 when there is none.
    virtual int FocusedRow() = 0;
    // What the list shows besides its rows (a summary, a hint); "" for nothing.
    virtual std::string Description() = 0;
};
// Makes window's client area that list for accessibility (null: a plain area again). The list
// outlives the window or is unset first.
void Win_SetAccessibleList(HWND window, WinAccessibleList* list);
// Tells accessibility that the rows, the selection or the focused row of window's list changed.
void Win_NotifyAccessibleList(HWND window);

// Dialogs. A modeless dialog lives until Win_DestroyWindow; a modal one until Win_EndDialog,
// and Win_DialogBox returns the result given there. Both receive WM_INITDIALOG with lParam.
HWND Win_CreateDialog(const WinDialogTemplate& dialog, HWND parent, DlgProc procedure, LPARAM lParam);
intptr_t Win_DialogBox(const WinDialogTemplate& dialog, HWND owner, DlgProc procedure, LPARAM lParam);
void Win_EndDialog(HWND dialog, intptr_t result);
// Whether a modal call (dialog, message box, file dialog) waits for the person now.
bool Win_ModalShowing();
HWND Win_GetDlgItem(HWND dialog, int id);
void Win_SetWindowText(HWND window, const char* text);
// Copies at most size - 1 characters and a NUL; returns the length copied.
size_t Win_GetWindowText(HWND window, char* buffer, size_t size);
void Win_EnableWindow(HWND window, bool enable);
bool Win_IsChecked(HWND button);
void Win_SetChecked(HWND button, bool checked);
// Limits what the person can type into an edit box.
void Win_LimitText(HWND edit, int characters);
// Makes the button with id the dialog's default (Enter presses it).
void Win_SetDefaultButton(HWND dialog, int id);

// List boxes (one column of texts).
int Win_ListAddString(HWND list, const char* text);
// Removes every row.
void Win_ListResetContent(HWND list);
void Win_ListSetTopIndex(HWND list, int index);
int Win_ListGetTopIndex(HWND list);
int Win_ListCount(HWND list);
std::string Win_ListText(HWND list, int index);

// A message box owned by owner (null: none) with the style's buttons and icon; IDOK or IDCANCEL.
int Win_MessageBox(HWND owner, const char* text, const char* caption, uint32_t style);
// The save-file dialog: path holds the initial name and receives the chosen one; false on cancel.
bool Win_SaveFileName(HWND owner, char* path, size_t size);
// The open-file dialog, starting in the folder of path; false on cancel.
bool Win_OpenFileName(HWND owner, char* path, size_t size);
// Opens a document with the desktop's default handler; the result is not reported.
void Win_OpenDocument(const char* path);

// Dropped text: the target answers each drag with the effects it accepts.
constexpr uint32_t DROPEFFECT_NONE = 0, DROPEFFECT_COPY = 1, DROPEFFECT_MOVE = 2, DROPEFFECT_LINK = 4;
struct WinDropTarget {
    virtual ~WinDropTarget() = default;
    // text is null when the drag carries no text; returns the effects to show.
    virtual uint32_t DragEnter(const char* text, uint32_t allowed) = 0;
    virtual uint32_t DragOver() = 0;
    virtual void DragLeave() = 0;
    virtual uint32_t Drop(const char* text) = 0;
};
bool Win_RegisterDropTarget(HWND window, WinDropTarget* target);

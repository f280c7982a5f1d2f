// Test support for the windowing: stands in for the person (clicks, keys, drags, menus, answers
// to modal calls), runs the event loop, and tells what the windows showed (the texts and fills
// of the last paint, the documents opened, screenshots). Linked by tests only, never by the
// program.
//
// Contract:
// - The same thread rules as window.h: the user-interface thread only.
// - Linking this library installs its observer into the windowing before main runs: from then
//   on every paint is recorded, and modal calls go to the installed script when there is one.
//   Without a script a modal call waits for the person, as in the program.
// - Input is delivered through the same Qt events and handlers as the person's, before the call
//   returns.
// - On Win32 (window_testing_win.cpp, linked into the Windows suite) only the event loop, the
//   person's clicks, typing, keys and menu choices (as the system's messages, handled by the
//   program's own message loop) and the reading of the accessible list exist.
#pragma once

#include "window/window.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

// Runs the event loop for milliseconds (timers fire meanwhile), then handles what is still
// waiting; 0 handles only what is waiting now. Tests drive the loop with it.
void Win_ProcessEvents(int milliseconds);

// The text of window as the program reads it (Win_GetWindowText), up to 4 KiB.
std::string Win_TextOf(HWND window);
// Presses a button as the person would: a check box toggles, then WM_COMMAND reaches the dialog.
void Win_Click(HWND button);
// Types text into an edit box as the person would: the dialog receives EN_CHANGE.
void Win_TypeText(HWND edit, const char* text);

// What a modal call meets: its kind, the dialog (for a template dialog) and the texts it shows.
// The script answers by acting on the dialog (Win_Click, Win_TypeText, ...) or, for the boxes
// and file dialogs, by returning the result: IDOK/IDCANCEL for a message box, the chosen path
// ("" = cancel) for a file dialog.
enum class WinModalKind { Dialog, MessageBox, SaveFile, OpenFile };
struct WinModal {
    WinModalKind kind;
    HWND dialog;            // Dialog only
    int templateId;         // Dialog only
    std::string caption;
    std::string text;       // message box text, or the file dialog's initial path
    HWND owner = nullptr;   // MessageBox only: the window it stands over (null: none)
};
struct WinModalAnswer {
    int button = IDCANCEL;  // MessageBox
    std::string path;       // SaveFile/OpenFile; empty means cancel
};
using WinAnswer = std::function<WinModalAnswer(const WinModal&)>;
// Installs a script that answers every modal call until it is replaced or cleared (null).
void Win_SetModalScript(WinAnswer script);
// The answers tests line up: for a box, button; for a file dialog, path ("" = cancel); for a
// dialog, its controls ids pressed in order as the person would.
WinAnswer Win_Answer(int button, std::string path = "");
WinAnswer Win_Press(std::vector<int> ids);
// While it lives, the modal script: each call takes the next answer of the queue and is recorded
// in seen as "dialog <template id> <caption>" or "<box|save|open> <caption>: <text>". A call
// with the queue empty fails the test (a dialog is then ended with IDCANCEL).
struct WinModalQueue {
    WinModalQueue();
    ~WinModalQueue();
    WinModalQueue(const WinModalQueue&) = delete;
    WinModalQueue& operator=(const WinModalQueue&) = delete;
    std::deque<WinAnswer> answers;
    std::vector<std::string> seen;
};
// With recording on, Win_OpenDocument only appends the path to Win_OpenedDocuments();
// switching it on empties that list.
void Win_RecordOpenedDocuments(bool record);
const std::vector<std::string>& Win_OpenedDocuments();

// What the program set and never reads back: the main window's scroll position, whether window
// itself is enabled (whatever its parent's state), and the period of a running timer (0: stopped).
int Win_GetScrollPos(HWND window);
bool Win_IsWindowEnabled(HWND window);
uint32_t Win_TimerPeriod(HWND window, uint32_t id);

// Whether window is shown now (a hidden main window still lives and works).
bool Win_IsWindowVisible(HWND window);
// With offered, the program believes the desktop has a tray (the offscreen platform has none).
void Win_FakeTray(bool offered);
// Chooses the item text of the tray icon's menu as the person would; false when there is none.
bool Win_ChooseTrayItem(const char* text);

// Writes a PNG of the window as it is shown now; false on failure.
bool Win_SaveScreenshot(HWND window, const char* path);
// The family that painted text uses; "" when no installed font has letters (text shows boxes).
std::string Win_DefaultFontFamily();

// A click goes to whatever lies at (x, y) of window's client area (a control, the toolbar, the
// scroll bar right of the client area) and gives the focus as a real click does; a double click
// is press, release, double click, release, so the procedure hears WM_LBUTTONUP,
// WM_LBUTTONDBLCLK, WM_LBUTTONUP.
void Win_SendClick(HWND window, int x, int y, bool control, bool doubleClick);
// Keys go to the focused control when the focus lies inside window, else to window itself.
void Win_SendKey(HWND window, uint32_t virtualKey, bool control);
// Types key with Alt held (an accelerator or a menu's mnemonic) into window, made active first.
void Win_SendAltChar(HWND window, char key);
// Chooses the item of the main window's menu bar that sends command; false when there is none.
bool Win_ChooseMenu(HWND window, int command);
// Drags text (null: no text) over window and drops it when drop is set; the effects the target
// answered the drop with (without drop: the effects it showed while over the window).
uint32_t Win_SendDrag(HWND window, const char* text, uint32_t allowed, bool drop);

// The text drawn at (x, y) by the last paint of window, with its colours and the rectangle it
// painted (for list tests).
struct WinDrawnText {
    int x, y;
    std::string text;
    COLORREF textColour, backColour;
    WinRect rect;
};
const std::vector<WinDrawnText>& Win_LastPaintTexts(HWND window);
// The fills of the last paint (rectangles and their colours).
struct WinDrawnFill {
    WinRect rect;
    COLORREF colour;
};
const std::vector<WinDrawnFill>& Win_LastPaintFills(HWND window);
// The tooltip that the person resting the pointer at (x, y) of window's client area would see.
std::string Win_ToolTipAt(HWND window, int x, int y);

// Paints with a dark palette (true) or the desktop's own again (false).
void Win_SetDarkPalette(bool dark);

// The list of a main window as a reader reads it back: Qt's interfaces, Win32's client area object.
struct WinReadRow {
    std::string name;
    bool selected, focused;
};
struct WinReadList {
    bool found;                    // the client area (Win32) or a child of it (Qt) has the list's role
    std::string description;
    std::vector<WinReadRow> rows;
    int focusChild;                // the row the client area names as its focus, -1 for none
};
WinReadList Win_ReadAccessibleList(HWND window);

// Inside the windowing layer: what a handle holds and the widgets that turn Qt events into the
// program's messages. Only the windowing's own files and its test support include this header.
//
// Ownership: every WinWindow is a QObject child of its widget and dies with it; it is also the
// context of every signal connection made for it, so no connection outlives it. Destroying a
// window marks it (and its children) dead at once, so no message reaches a procedure after
// WM_DESTROY, and deletes the widgets later, from the event loop, because the destruction is
// often asked for from inside one of the window's own event handlers.
#pragma once

#include "window/window.h"

#include <QEventLoop>
#include <QPainter>
#include <QPointer>
#include <QWidget>

#include <map>
#include <span>
#include <string>
#include <vector>

class QButtonGroup;
class QMenuBar;
class QScrollBar;
class QSystemTrayIcon;
class QTimer;

enum class WinKind { Main, Dialog, Control };

struct WinWindow final : QObject {
    explicit WinWindow(QWidget* widget, WinKind kind) : QObject(widget), kind(kind), top(widget), client(widget) {}

    WinKind kind;
    QPointer<QWidget> top;       // what moves, shows and hides: the frame of a main window
    QPointer<QWidget> client;    // where painting, input and child windows go
    WinWindow* parent = nullptr;
    std::vector<WinWindow*> children;
    int id = 0;                  // control id, or a dialog's template id
    WndProc wndProc = nullptr;
    DlgProc dlgProc = nullptr;
    bool dying = false;          // WM_DESTROY is on its way
    bool dead = false;           // no more messages

    std::map<uint32_t, QTimer*> timers;

    // Main window.
    QMenuBar* menuBar = nullptr;
    QScrollBar* scrollBar = nullptr;
    int scrollPos = 0;
    bool settingScroll = false;   // the program, not the person, is moving the scroll bar
    WinDropTarget* dropTarget = nullptr;
    WinAccessibleList* accessibleList = nullptr;
    uint32_t dragEffect = DROPEFFECT_NONE;

    // Painting: the DC of the paint under way.
    WinDC* paintDC = nullptr;

    // Dialogs.
    int defaultId = 0;
    QEventLoop* modalLoop = nullptr;
    bool ended = false;
    intptr_t result = 0;

    // Controls.
    WinControl control = WinControl::Static;
    uint32_t style = 0;
    QButtonGroup* radioGroup = nullptr;
};

struct WinDC {
    WinDC(WinWindow* window, QWidget* widget) : window(window), painter(widget) {}
    WinWindow* window;
    QPainter painter;
    COLORREF back = Win_SystemColour(WinColour::Window);
    COLORREF text = Win_SystemColour(WinColour::WindowText);
};

// The client area of a main window, or a whole dialog: paints through the procedure and turns
// the person's input into messages.
class WinSurface final : public QWidget {
public:
    WinSurface(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}
    WinWindow* win = nullptr;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};

// The top-level frame of a main window: menu bar, client area and scroll bar.
class WinFrame final : public QWidget {
public:
    WinWindow* win = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
};

namespace winqt {

// Turns login1's PrepareForSleep(false) into WM_POWERBROADCAST for the window it belongs to; the
// bus finds its slot by name, as D-Bus signals reach Qt.
class WakeListener final : public QObject {
    Q_OBJECT
public:
    explicit WakeListener(WinWindow* window) : QObject(window), window_(window) {}

public slots:
    void prepareForSleep(bool sleeping);

private:
    WinWindow* window_;
};

// Watches what the windows show and may stand in for the person at modal calls. The program
// installs none, so nothing is recorded or answered; the test support library installs one.
struct Observer {
    virtual ~Observer() = default;
    // A paint of window begins, draws texts and fills, and ends.
    virtual void PaintBegins(WinWindow* window) = 0;
    virtual void TextDrawn(WinWindow* window, const WinRect& rect, const char* text, COLORREF textColour,
                           COLORREF backColour) = 0;
    virtual void FillDrawn(WinWindow* window, const WinRect& rect, COLORREF colour) = 0;
    virtual void PaintEnds(WinWindow* window) = 0;
    // A modal template dialog has been shown and waits for the person.
    virtual void DialogWaits(WinWindow* dialog, int templateId, const char* caption) = 0;
    // Each answers in the person's place and returns true, or returns false to let the person
    // answer: the button of a message box (over owner, null for none), the path chosen in a file
    // dialog ("" = cancel).
    virtual bool AnswerMessageBox(WinWindow* owner, const char* text, const char* caption, int* button) = 0;
    virtual bool AnswerFileDialog(bool save, const char* caption, const char* initialPath,
                                  std::string* chosen) = 0;
    // true when it took the document instead of the desktop's handler.
    virtual bool TakeDocument(const char* path) = 0;
    // true to have the program believe the desktop offers a tray where it offers none.
    virtual bool OffersTray() = 0;
};
extern Observer* observer;

// Makes the client areas of main windows known to accessibility as the windowing describes them.
void InstallAccessibility();

// The program's icon in the tray, or null while none is shown.
QSystemTrayIcon* TrayIcon();

// Virtual keys that differ from Qt's key codes; letters, digits and F1..F24 are computed.
struct KeyName {
    uint32_t virtualKey;
    Qt::Key key;
};
extern const std::span<const KeyName> KEY_NAMES;
constexpr uint32_t VK_F1 = 0x70;
// Letters and digits have the same code as virtual keys and as Qt keys.
bool SharesCode(int key);
// The drop actions of Qt for a set of drop effects.
Qt::DropActions ActionsOf(uint32_t effects);

// The tooltip text the procedure of a main window gives for point of its client area.
QString ToolTipAt(WinWindow* window, const QPoint& point);

// A usable window: not null, not destroyed, its widget still there.
bool Alive(HWND window);
// Hands a message to the window's procedure; 0 when there is none or the window is dead.
LRESULT Send(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam);
// Places the menu bar, client area and scroll bar of a main window inside its frame.
void LayoutFrame(WinWindow* main);

QString FromText(const char* text);
// Copies text into buffer (size bytes, NUL included) without cutting a character in two.
size_t CopyText(const QByteArray& text, char* buffer, size_t size);
uint32_t MakeLong(int low, int high);
QColor ToColour(COLORREF colour);

// Shows a top-level window and waits (briefly, running no timers) until it can be painted, so
// that an immediate repaint right after showing reaches the procedure.
void ShowAndExpose(QWidget* widget);

// The keyboard modifiers of the input event being handled; outside one, the keyboard's own.
class InputScope {
public:
    explicit InputScope(Qt::KeyboardModifiers modifiers);
    ~InputScope();
    InputScope(const InputScope&) = delete;
    InputScope& operator=(const InputScope&) = delete;

private:
    bool hadOuter_;
    Qt::KeyboardModifiers outer_;
};
bool ControlHeld();

// Program code under way: a procedure that runs, or a modal call (modal: its window). The end
// of the session reaches the program only while none is; open modal windows are closed for it.
class ProgramScope {
public:
    explicit ProgramScope(QWidget* modal = nullptr);
    ~ProgramScope();
    ProgramScope(const ProgramScope&) = delete;
    ProgramScope& operator=(const ProgramScope&) = delete;

private:
    bool modal_;
};
// window is being destroyed: the end of the session no longer reaches it.
void ForgetEndSession(WinWindow* window);

// Dialog keys: Enter presses the default button, Escape sends IDCANCEL.
void DialogKey(WinWindow* dialog, QKeyEvent* event);

}  // namespace winqt

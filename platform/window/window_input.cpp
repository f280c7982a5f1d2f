// Input: the person's mouse, keys and drags become the program's messages, and the test calls
// that stand in for the person send the same Qt events through the same handlers.
#include "window_qt.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <optional>

namespace {

constexpr WPARAM MK_LBUTTON = 0x1, MK_SHIFT = 0x4, MK_CONTROL = 0x8;
constexpr uint32_t VK_F1 = 0x70;

std::optional<Qt::KeyboardModifiers> inputModifiers;

// Virtual keys that differ from Qt's key codes; letters and digits share their codes.
struct KeyName {
    uint32_t virtualKey;
    Qt::Key key;
};
constexpr KeyName KEYS[] = {
    {0x08, Qt::Key_Backspace}, {0x09, Qt::Key_Tab},      {VK_RETURN, Qt::Key_Return},
    {VK_RETURN, Qt::Key_Enter}, {0x10, Qt::Key_Shift},    {VK_CONTROL, Qt::Key_Control},
    {0x12, Qt::Key_Alt},       {VK_ESCAPE, Qt::Key_Escape}, {0x20, Qt::Key_Space},
    {0x21, Qt::Key_PageUp},    {0x22, Qt::Key_PageDown},  {0x23, Qt::Key_End},
    {0x24, Qt::Key_Home},      {0x25, Qt::Key_Left},      {0x26, Qt::Key_Up},
    {0x27, Qt::Key_Right},     {0x28, Qt::Key_Down},      {0x2D, Qt::Key_Insert},
    {VK_DELETE, Qt::Key_Delete},
};

bool SharesCode(int key)
{
    return (key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9);
}

uint32_t VirtualKeyOf(int key)
{
    if (SharesCode(key))
        return uint32_t(key);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return VK_F1 + uint32_t(key - Qt::Key_F1);
    for (const KeyName& name : KEYS) {
        if (name.key == key)
            return name.virtualKey;
    }
    return 0;
}

int QtKeyOf(uint32_t virtualKey)
{
    if (SharesCode(int(virtualKey)))
        return int(virtualKey);
    if (virtualKey >= VK_F1 && virtualKey < VK_F1 + 24)
        return Qt::Key_F1 + int(virtualKey - VK_F1);
    for (const KeyName& name : KEYS) {
        if (name.virtualKey == virtualKey)
            return name.key;
    }
    return 0;
}

// The text a key types: letters in lower case (control characters with Control), digits, space.
QString KeyText(int key, bool control)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return QString(QChar(control ? key - Qt::Key_A + 1 : key - Qt::Key_A + 'a'));
    if ((key >= Qt::Key_0 && key <= Qt::Key_9) || key == Qt::Key_Space)
        return control ? QString() : QString(QChar(key));
    return {};
}

WPARAM MouseKeys(const QMouseEvent* event)
{
    WPARAM keys = 0;
    if (event->buttons() & Qt::LeftButton)
        keys |= MK_LBUTTON;
    if (event->modifiers() & Qt::ShiftModifier)
        keys |= MK_SHIFT;
    if (event->modifiers() & Qt::ControlModifier)
        keys |= MK_CONTROL;
    return keys;
}

void SendMouse(WinWindow* window, uint32_t message, QMouseEvent* event)
{
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    winqt::InputScope scope(event->modifiers());
    QPoint at = event->position().toPoint();
    winqt::Send(window, message, MouseKeys(event), LPARAM(winqt::MakeLong(at.x(), at.y())));
}

// Drop effects and Qt's drop actions, bit by bit.
struct EffectName {
    uint32_t effect;
    Qt::DropAction action;
};
constexpr EffectName EFFECTS[] = {
    {DROPEFFECT_COPY, Qt::CopyAction}, {DROPEFFECT_MOVE, Qt::MoveAction}, {DROPEFFECT_LINK, Qt::LinkAction}};

uint32_t EffectsOf(Qt::DropActions actions)
{
    uint32_t effects = DROPEFFECT_NONE;
    for (const EffectName& name : EFFECTS) {
        if (actions & name.action)
            effects |= name.effect;
    }
    return effects;
}

Qt::DropActions ActionsOf(uint32_t effects)
{
    Qt::DropActions actions = Qt::IgnoreAction;
    for (const EffectName& name : EFFECTS) {
        if (effects & name.effect)
            actions |= name.action;
    }
    return actions;
}

// A drag's text: plain text, else the first link of a link list exactly as the source wrote it.
std::optional<std::string> DraggedText(const QMimeData* data)
{
    if (data == nullptr)
        return std::nullopt;
    if (data->hasText())
        return data->text().toStdString();
    for (const QByteArray& line : data->data("text/uri-list").split('\n')) {
        QByteArray link = line.trimmed();
        if (!link.isEmpty() && !link.startsWith('#'))
            return link.toStdString();
    }
    return std::nullopt;
}

// Accepts the drag with the proposed action when the target's effects allow it, else with one
// they allow; refuses it when they allow none.
void Answer(QDropEvent* event, uint32_t effects)
{
    Qt::DropActions allowed = ActionsOf(effects) & event->possibleActions();
    if (!allowed) {
        event->ignore();
        return;
    }
    if (allowed & event->proposedAction()) {
        event->acceptProposedAction();
        return;
    }
    for (const EffectName& name : EFFECTS) {
        if (allowed & name.action) {
            event->setDropAction(name.action);
            break;
        }
    }
    event->accept();
}

WinDropTarget* TargetOf(WinWindow* window)
{
    return window != nullptr && !window->dead ? window->dropTarget : nullptr;
}

// Where input for window goes: its focus widget when that lies inside it, else its client.
QWidget* KeyTarget(WinWindow* window)
{
    return Win_FocusWithin(window) ? window->client->window()->focusWidget() : window->client.data();
}

// What a press does to the focus before the widget sees it: the first widget from the one
// pressed outwards that takes the focus by clicking gets it.
void GiveClickFocus(QWidget* pressed)
{
    for (QWidget* widget = pressed; widget != nullptr; widget = widget->parentWidget()) {
        if (widget->isEnabled() && (widget->focusPolicy() & Qt::ClickFocus) == Qt::ClickFocus) {
            widget->setFocus(Qt::MouseFocusReason);
            return;
        }
        if (widget->isWindow())
            return;
    }
}

void SendKeyPair(QWidget* target, int key, Qt::KeyboardModifiers modifiers, const QString& text)
{
    QPointer<QWidget> receiver(target);
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(receiver, &press);
    if (!receiver)
        return;
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(receiver, &release);
}

// The widget under a point given in window's client coordinates, and the point in its own.
QWidget* WidgetAt(WinWindow* window, int x, int y, QPoint* local)
{
    QWidget* top = window->top;
    QPoint inTop = window->client->mapTo(top, QPoint(x, y));
    QWidget* target = top->childAt(inTop);
    if (target == nullptr)
        target = window->client->rect().contains(x, y) ? window->client.data() : top;
    *local = target->mapFrom(top, inTop);
    return target;
}

}  // namespace

namespace winqt {

InputScope::InputScope(Qt::KeyboardModifiers modifiers)
    : hadOuter_(inputModifiers.has_value()), outer_(inputModifiers.value_or(Qt::NoModifier))
{
    inputModifiers = modifiers;
}

InputScope::~InputScope()
{
    if (hadOuter_)
        inputModifiers = outer_;
    else
        inputModifiers.reset();
}

bool ControlHeld()
{
    Qt::KeyboardModifiers modifiers =
        inputModifiers ? *inputModifiers : QGuiApplication::queryKeyboardModifiers();
    return modifiers.testFlag(Qt::ControlModifier);
}

}  // namespace winqt

void WinSurface::resizeEvent(QResizeEvent*)
{
    winqt::Send(win, WM_SIZE, 0, LPARAM(winqt::MakeLong(width(), height())));
}

// Every click stays with the window that it landed on, as it does on Windows.
void WinSurface::mousePressEvent(QMouseEvent* event)
{
    event->accept();
}

void WinSurface::mouseReleaseEvent(QMouseEvent* event)
{
    SendMouse(win, WM_LBUTTONUP, event);
}

void WinSurface::mouseDoubleClickEvent(QMouseEvent* event)
{
    SendMouse(win, WM_LBUTTONDBLCLK, event);
}

// The wheel moves the main window's scroll bar, which asks the procedure as the person would.
void WinSurface::wheelEvent(QWheelEvent* event)
{
    if (win != nullptr && win->kind == WinKind::Main && !win->scrollBar->isHidden())
        QApplication::sendEvent(win->scrollBar, event);
    else
        event->ignore();
}

void WinSurface::keyPressEvent(QKeyEvent* event)
{
    if (win == nullptr || win->dead)
        return;
    if (win->kind == WinKind::Dialog) {
        winqt::DialogKey(win, event);
        return;
    }
    uint32_t virtualKey = VirtualKeyOf(event->key());
    // Keys with Alt are system keys on Windows: menus and accelerators, not WM_KEYDOWN.
    if (virtualKey == 0 || event->modifiers().testFlag(Qt::AltModifier)) {
        event->ignore();
        return;
    }
    winqt::InputScope scope(event->modifiers());
    winqt::Send(win, WM_KEYDOWN, virtualKey, 1);
}

// Closing a dialog from its frame is its Cancel, as on Windows.
void WinSurface::closeEvent(QCloseEvent* event)
{
    event->ignore();
    if (win != nullptr && win->kind == WinKind::Dialog)
        winqt::Send(win, WM_COMMAND, IDCANCEL, LPARAM(Win_GetDlgItem(win, IDCANCEL)));
}

void WinSurface::dragEnterEvent(QDragEnterEvent* event)
{
    WinDropTarget* target = TargetOf(win);
    if (target == nullptr) {
        event->ignore();
        return;
    }
    std::optional<std::string> text = DraggedText(event->mimeData());
    win->dragEffect = target->DragEnter(text ? text->c_str() : nullptr, EffectsOf(event->possibleActions()));
    Answer(event, win->dragEffect);
}

void WinSurface::dragMoveEvent(QDragMoveEvent* event)
{
    WinDropTarget* target = TargetOf(win);
    if (target == nullptr) {
        event->ignore();
        return;
    }
    win->dragEffect = target->DragOver();
    Answer(event, win->dragEffect);
}

void WinSurface::dragLeaveEvent(QDragLeaveEvent*)
{
    if (WinDropTarget* target = TargetOf(win))
        target->DragLeave();
}

void WinSurface::dropEvent(QDropEvent* event)
{
    WinDropTarget* target = TargetOf(win);
    if (target == nullptr) {
        event->ignore();
        return;
    }
    std::optional<std::string> text = DraggedText(event->mimeData());
    win->dragEffect = target->Drop(text ? text->c_str() : nullptr);
    Answer(event, win->dragEffect);
}

bool Win_ControlKeyDown()
{
    return winqt::ControlHeld();
}

bool Win_FocusWithin(HWND window)
{
    if (!winqt::Alive(window))
        return false;
    QWidget* focus = window->client->window()->focusWidget();
    return focus != nullptr && (focus == window->client || window->client->isAncestorOf(focus));
}

bool Win_RegisterDropTarget(HWND window, WinDropTarget* target)
{
    if (!winqt::Alive(window) || target == nullptr || window->dropTarget != nullptr)
        return false;
    window->dropTarget = target;
    window->client->setAcceptDrops(true);
    return true;
}

void Win_SendClick(HWND window, int x, int y, bool control, bool doubleClick)
{
    if (!winqt::Alive(window))
        return;
    QPoint local;
    QPointer<QWidget> target = WidgetAt(window, x, y, &local);
    Qt::KeyboardModifiers modifiers = control ? Qt::ControlModifier : Qt::NoModifier;
    // Qt's order for a double click: press, release, double click, release.
    const QEvent::Type sequence[] = {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                     QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease};
    for (size_t i = 0; i < (doubleClick ? 4u : 2u) && target; ++i) {
        bool down = sequence[i] != QEvent::MouseButtonRelease;
        if (sequence[i] == QEvent::MouseButtonPress)
            GiveClickFocus(target);
        QMouseEvent event(sequence[i], local, target->mapToGlobal(local), Qt::LeftButton,
                          down ? Qt::LeftButton : Qt::NoButton, modifiers);
        QApplication::sendEvent(target, &event);
    }
}

void Win_SendKey(HWND window, uint32_t virtualKey, bool control)
{
    int key = QtKeyOf(virtualKey);
    if (!winqt::Alive(window) || key == 0)
        return;
    SendKeyPair(KeyTarget(window), key, control ? Qt::ControlModifier : Qt::NoModifier, KeyText(key, control));
}

void Win_SendAltChar(HWND window, char key)
{
    if (!winqt::Alive(window))
        return;
    // Window shortcuts answer only in the active window, as the person's keys reach only that.
    QWidget* top = window->top->window();
    top->activateWindow();
    QElapsedTimer waited;
    waited.start();
    while (!top->isActiveWindow() && waited.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers, 5);
    int code = std::toupper(static_cast<unsigned char>(key));
    SendKeyPair(KeyTarget(window), code, Qt::AltModifier, QString(QChar(key)));
}

uint32_t Win_SendDrag(HWND window, const char* text, uint32_t allowed, bool drop)
{
    if (!winqt::Alive(window) || window->dropTarget == nullptr)
        return DROPEFFECT_NONE;
    QWidget* client = window->client;
    QMimeData data;
    if (text != nullptr)
        data.setText(QString::fromUtf8(text));
    QPoint at = client->rect().center();
    Qt::DropActions actions = ActionsOf(allowed);
    QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(client, &enter);
    // Qt, like OLE, neither moves nor drops on a window that refused the drag at its entry.
    if (!enter.isAccepted())
        return DROPEFFECT_NONE;
    QDragMoveEvent move(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(client, &move);
    if (!drop || !move.isAccepted()) {
        QDragLeaveEvent leave;
        QApplication::sendEvent(client, &leave);
        return drop ? DROPEFFECT_NONE : window->dragEffect;
    }
    QDropEvent dropped(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(client, &dropped);
    return dropped.isAccepted() ? window->dragEffect : DROPEFFECT_NONE;
}

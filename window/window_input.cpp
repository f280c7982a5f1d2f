// Input: the person's mouse, keys and drags become the program's messages.
#include "window/window_qt.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QToolTip>
#include <QWheelEvent>

#include <optional>

namespace {

using winqt::VK_F1;

constexpr WPARAM MK_LBUTTON = 0x1, MK_SHIFT = 0x4, MK_CONTROL = 0x8;

std::optional<Qt::KeyboardModifiers> inputModifiers;

// The keys behind KEY_NAMES.
constexpr winqt::KeyName KEYS[] = {
    {0x08, Qt::Key_Backspace}, {0x09, Qt::Key_Tab},      {VK_RETURN, Qt::Key_Return},
    {VK_RETURN, Qt::Key_Enter}, {0x10, Qt::Key_Shift},    {VK_CONTROL, Qt::Key_Control},
    {0x12, Qt::Key_Alt},       {VK_ESCAPE, Qt::Key_Escape}, {0x20, Qt::Key_Space},
    {0x21, Qt::Key_PageUp},    {0x22, Qt::Key_PageDown},  {0x23, Qt::Key_End},
    {0x24, Qt::Key_Home},      {0x25, Qt::Key_Left},      {0x26, Qt::Key_Up},
    {0x27, Qt::Key_Right},     {0x28, Qt::Key_Down},      {0x2D, Qt::Key_Insert},
    {VK_DELETE, Qt::Key_Delete},
};

uint32_t virtualKeyOf(int key)
{
    if (winqt::SharesCode(key))
        return uint32_t(key);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return VK_F1 + uint32_t(key - Qt::Key_F1);
    for (const winqt::KeyName& name : KEYS) {
        if (name.key == key)
            return name.virtualKey;
    }
    return 0;
}

WPARAM mouseKeys(const QMouseEvent* event)
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

void sendMouse(WinWindow* window, uint32_t message, QMouseEvent* event)
{
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    winqt::InputScope scope(event->modifiers());
    QPoint at = event->position().toPoint();
    winqt::Send(window, message, mouseKeys(event), LPARAM(winqt::MakeLong(at.x(), at.y())));
}

// Drop effects and Qt's drop actions, bit by bit.
struct EffectName {
    uint32_t effect;
    Qt::DropAction action;
};
constexpr EffectName EFFECTS[] = {
    {DROPEFFECT_COPY, Qt::CopyAction}, {DROPEFFECT_MOVE, Qt::MoveAction}, {DROPEFFECT_LINK, Qt::LinkAction}};

uint32_t effectsOf(Qt::DropActions actions)
{
    uint32_t effects = DROPEFFECT_NONE;
    for (const EffectName& name : EFFECTS) {
        if (actions & name.action)
            effects |= name.effect;
    }
    return effects;
}

// A drag's text: plain text, else the first link of a link list exactly as the source wrote it.
std::optional<std::string> draggedText(const QMimeData* data)
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
void answer(QDropEvent* event, uint32_t effects)
{
    Qt::DropActions allowed = winqt::ActionsOf(effects) & event->possibleActions();
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

WinDropTarget* targetOf(WinWindow* window)
{
    return window != nullptr && !window->dead ? window->dropTarget : nullptr;
}

}  // namespace

namespace winqt {

const std::span<const KeyName> KEY_NAMES(KEYS);

bool SharesCode(int key)
{
    return (key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9);
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

// A main window's procedure tells what the pointer rests on.
bool WinSurface::event(QEvent* event)
{
    if (event->type() != QEvent::ToolTip || win == nullptr || win->kind != WinKind::Main)
        return QWidget::event(event);
    auto* help = static_cast<QHelpEvent*>(event);
    const QString text = winqt::ToolTipAt(win, help->pos());
    if (text.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), text, this);
    return true;
}

QString winqt::ToolTipAt(WinWindow* window, const QPoint& point)
{
    static WinToolTip tip;   // large, and only the user-interface thread asks
    tip.text[0] = '\0';
    winqt::Send(window, WM_GETTOOLTIP, WPARAM(&tip), LPARAM(winqt::MakeLong(point.x(), point.y())));
    tip.text[sizeof tip.text - 1] = '\0';
    return QString::fromUtf8(tip.text);
}

void WinSurface::mouseReleaseEvent(QMouseEvent* event)
{
    sendMouse(win, WM_LBUTTONUP, event);
}

void WinSurface::mouseDoubleClickEvent(QMouseEvent* event)
{
    sendMouse(win, WM_LBUTTONDBLCLK, event);
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
    uint32_t virtualKey = virtualKeyOf(event->key());
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
    WinDropTarget* target = targetOf(win);
    if (target == nullptr) {
        event->ignore();
        return;
    }
    std::optional<std::string> text = draggedText(event->mimeData());
    win->dragEffect = target->DragEnter(text ? text->c_str() : nullptr, effectsOf(event->possibleActions()));
    answer(event, win->dragEffect);
}

void WinSurface::dragMoveEvent(QDragMoveEvent* event)
{
    WinDropTarget* target = targetOf(win);
    if (target == nullptr) {
        event->ignore();
        return;
    }
    win->dragEffect = target->DragOver();
    answer(event, win->dragEffect);
}

void WinSurface::dragLeaveEvent(QDragLeaveEvent*)
{
    if (WinDropTarget* target = targetOf(win))
        target->DragLeave();
}

void WinSurface::dropEvent(QDropEvent* event)
{
    WinDropTarget* target = targetOf(win);
    if (target == nullptr) {
        event->ignore();
        return;
    }
    std::optional<std::string> text = draggedText(event->mimeData());
    win->dragEffect = target->Drop(text ? text->c_str() : nullptr);
    answer(event, win->dragEffect);
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

// Input in the person's place: the same Qt events the person's mouse, keys and drags make, sent
// through the same handlers.
#include "tests/support/window/window_testing.h"

#include "window/window_qt.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>

namespace {

using winqt::VK_F1;

int qtKeyOf(uint32_t virtualKey)
{
    if (winqt::SharesCode(int(virtualKey)))
        return int(virtualKey);
    if (virtualKey >= VK_F1 && virtualKey < VK_F1 + 24)
        return Qt::Key_F1 + int(virtualKey - VK_F1);
    for (const winqt::KeyName& name : winqt::KEY_NAMES) {
        if (name.virtualKey == virtualKey)
            return name.key;
    }
    return 0;
}

// The text a key types: letters in lower case (control characters with Control), digits, space.
QString keyText(int key, bool control)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return QString(QChar(control ? key - Qt::Key_A + 1 : key - Qt::Key_A + 'a'));
    if ((key >= Qt::Key_0 && key <= Qt::Key_9) || key == Qt::Key_Space)
        return control ? QString() : QString(QChar(key));
    return {};
}

// Where input for window goes: its focus widget when that lies inside it, else its client.
QWidget* keyTarget(WinWindow* window)
{
    return Win_FocusWithin(window) ? window->client->window()->focusWidget() : window->client.data();
}

// What a press does to the focus before the widget sees it: the first widget from the one
// pressed outwards that takes the focus by clicking gets it.
void giveClickFocus(QWidget* pressed)
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

void sendKeyPair(QWidget* target, int key, Qt::KeyboardModifiers modifiers, const QString& text)
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
QWidget* widgetAt(WinWindow* window, int x, int y, QPoint* local)
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

void Win_SendClick(HWND window, int x, int y, bool control, bool doubleClick)
{
    if (!winqt::Alive(window))
        return;
    QPoint local;
    QPointer<QWidget> target = widgetAt(window, x, y, &local);
    Qt::KeyboardModifiers modifiers = control ? Qt::ControlModifier : Qt::NoModifier;
    // Qt's order for a double click: press, release, double click, release.
    const QEvent::Type sequence[] = {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                     QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease};
    for (size_t i = 0; i < (doubleClick ? 4u : 2u) && target; ++i) {
        bool down = sequence[i] != QEvent::MouseButtonRelease;
        if (sequence[i] == QEvent::MouseButtonPress)
            giveClickFocus(target);
        QMouseEvent event(sequence[i], local, target->mapToGlobal(local), Qt::LeftButton,
                          down ? Qt::LeftButton : Qt::NoButton, modifiers);
        QApplication::sendEvent(target, &event);
    }
}

void Win_SendKey(HWND window, uint32_t virtualKey, bool control)
{
    int key = qtKeyOf(virtualKey);
    if (!winqt::Alive(window) || key == 0)
        return;
    sendKeyPair(keyTarget(window), key, control ? Qt::ControlModifier : Qt::NoModifier, keyText(key, control));
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
    sendKeyPair(keyTarget(window), code, Qt::AltModifier, QString(QChar(key)));
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
    Qt::DropActions actions = winqt::ActionsOf(allowed);
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

// The tray on Qt: one QSystemTrayIcon, a child of the window it was shown for, whose menu's
// actions send that window WM_COMMAND from the event loop, as a menu bar's items do.
#include "window/desktop.h"

#include "window/window_qt.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

namespace {

QPointer<QSystemTrayIcon> tray;

}  // namespace

QSystemTrayIcon* winqt::TrayIcon()
{
    return tray;
}

bool Win_TrayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable() || (winqt::observer != nullptr && winqt::observer->OffersTray());
}

void Win_TrayShow(HWND window, const char* icon, const char* tip, const WinMenuItem* items, size_t count)
{
    if (!winqt::Alive(window) || !Win_TrayAvailable())
        return;
    delete tray;
    tray = new QSystemTrayIcon(QIcon(winqt::FromText(icon)), window);
    // A menu is a widget and needs a widget for a parent; it goes with the window's frame.
    auto* menu = new QMenu(window->top);
    QObject::connect(tray, &QObject::destroyed, menu, &QObject::deleteLater);
    for (size_t i = 0; i < count; ++i) {
        const int command = items[i].command;
        QObject::connect(menu->addAction(winqt::FromText(items[i].text)), &QAction::triggered, window,
                         [window, command] { winqt::Send(window, WM_COMMAND, WPARAM(command), 0); });
    }
    tray->setContextMenu(menu);
    tray->setToolTip(winqt::FromText(tip));
    tray->show();
}

void Win_TraySetTip(const char* tip)
{
    if (tray)
        tray->setToolTip(winqt::FromText(tip));
}

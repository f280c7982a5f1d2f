// The application object, the main window (menu, accelerators, scroll bar), timers, the event
// loops and the operations every kind of window shares.
#include "window/window_qt.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

QApplication* application = nullptr;
QEventLoop* mainLoop = nullptr;
bool quitPosted = false;
int quitCode = 0;

constexpr uint32_t SB_TOP = 6, SB_BOTTOM = 7;
// Win32 marks accelerator commands with 1 in the high word of wParam; menus with 0.
constexpr uint32_t FROM_ACCELERATOR = 1;

// The scroll requests of the person's actions on the scroll bar.
struct ScrollRequest {
    QAbstractSlider::SliderAction action;
    uint32_t request;
};
constexpr ScrollRequest SCROLL_REQUESTS[] = {
    {QAbstractSlider::SliderSingleStepSub, SB_LINEUP},
    {QAbstractSlider::SliderSingleStepAdd, SB_LINEDOWN},
    {QAbstractSlider::SliderPageStepSub, SB_PAGEUP},
    {QAbstractSlider::SliderPageStepAdd, SB_PAGEDOWN},
    {QAbstractSlider::SliderMove, SB_THUMBTRACK},
    {QAbstractSlider::SliderToMinimum, SB_TOP},
    {QAbstractSlider::SliderToMaximum, SB_BOTTOM},
};

bool unset(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr || *value == '\0';
}

// Where a main window opens when the program does not say: as Windows does, three quarters of
// the screen, but never smaller than a usual small screen.
QSize defaultMainSize()
{
    QSize size(800, 600);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        size = size.expandedTo(screen->availableSize() * 3 / 4);
    return size;
}

// The program keeps the scroll position: after any request the bar shows what it last set.
void sendScroll(WinWindow* main, uint32_t request, int position)
{
    winqt::Send(main, WM_VSCROLL, winqt::MakeLong(int(request), position), 0);
    if (winqt::Alive(main) && main->scrollBar->sliderPosition() != main->scrollPos) {
        main->settingScroll = true;
        main->scrollBar->setSliderPosition(main->scrollPos);
        main->settingScroll = false;
    }
}

void onScrollAction(WinWindow* main, int action)
{
    if (main->settingScroll)
        return;
    for (const ScrollRequest& entry : SCROLL_REQUESTS) {
        if (entry.action == action) {
            bool thumb = entry.request == SB_THUMBTRACK;
            sendScroll(main, entry.request, thumb ? main->scrollBar->sliderPosition() : 0);
            return;
        }
    }
}

void addScrollBar(WinWindow* main, QWidget* frame)
{
    main->scrollBar = new QScrollBar(Qt::Vertical, frame);
    main->scrollBar->setRange(0, 0);
    main->scrollBar->hide();
    QObject::connect(main->scrollBar, &QAbstractSlider::actionTriggered, main,
                     [main](int action) { onScrollAction(main, action); });
    QObject::connect(main->scrollBar, &QAbstractSlider::sliderReleased, main, [main] {
        if (!main->settingScroll)
            sendScroll(main, SB_THUMBPOSITION, main->scrollBar->sliderPosition());
    });
}

QMenu* menuNamed(QMenuBar* bar, const QString& title)
{
    for (QAction* action : bar->actions()) {
        if (action->menu() && action->text() == title)
            return action->menu();
    }
    return bar->addMenu(title);
}

void addMenu(WinWindow* main, QWidget* frame, const WinMainTemplate& tpl)
{
    main->menuBar = new QMenuBar(frame);
    main->menuBar->setNativeMenuBar(false);
    for (size_t i = 0; i < tpl.menuCount; ++i) {
        const WinMenuItem& item = tpl.menu[i];
        QAction* action = menuNamed(main->menuBar, winqt::FromText(item.menu))->addAction(winqt::FromText(item.text));
        action->setData(item.command);
        QObject::connect(action, &QAction::triggered, main,
                         [main, command = item.command] { winqt::Send(main, WM_COMMAND, WPARAM(command), 0); });
    }
    // A window without a menu has no menu bar either.
    main->menuBar->setHidden(tpl.menuCount == 0);
}

void addAccelerators(WinWindow* main, QWidget* frame, const WinMainTemplate& tpl)
{
    for (size_t i = 0; i < tpl.acceleratorCount; ++i) {
        const WinAccelerator& accelerator = tpl.accelerators[i];
        auto* action = new QAction(frame);
        int key = std::toupper(static_cast<unsigned char>(accelerator.key));
        action->setShortcut(QKeySequence(Qt::ALT | Qt::Key(key)));
        action->setShortcutContext(Qt::WindowShortcut);
        frame->addAction(action);
        QObject::connect(action, &QAction::triggered, main, [main, command = accelerator.command] {
            winqt::Send(main, WM_COMMAND, winqt::MakeLong(command, FROM_ACCELERATOR), 0);
        });
    }
}

void setIcons(QWidget* frame, const WinMainTemplate& tpl)
{
    QIcon icon;
    for (const char* path : {tpl.iconLarge, tpl.iconSmall}) {
        if (path != nullptr && QFileInfo::exists(winqt::FromText(path)))
            icon.addFile(winqt::FromText(path));
    }
    if (!icon.isNull())
        frame->setWindowIcon(icon);
}

// Sends WM_DESTROY to window and then to its children, and silences them all.
void destroyTree(WinWindow* window)
{
    if (window->dying)
        return;
    window->dying = true;
    winqt::ForgetEndSession(window);
    winqt::Send(window, WM_DESTROY, 0, 0);
    std::vector<WinWindow*> children = window->children;
    for (WinWindow* child : children)
        destroyTree(child);
    window->dead = true;
    for (auto& [id, timer] : window->timers)
        timer->stop();
    if (window->modalLoop != nullptr) {
        window->ended = true;
        window->modalLoop->quit();
    }
    if (window->top && window->top->isWindow())
        window->top->hide();
}

QString widgetText(QWidget* widget)
{
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    if (auto* edit = qobject_cast<QLineEdit*>(widget))
        return edit->text();
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget))
        return group->title();
    return widget->windowTitle();
}

void setWidgetText(QWidget* widget, const QString& text)
{
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        button->setText(text);
    else if (auto* edit = qobject_cast<QLineEdit*>(widget))
        edit->setText(text);
    else if (auto* label = qobject_cast<QLabel*>(widget))
        label->setText(text);
    else if (auto* group = qobject_cast<QGroupBox*>(widget))
        group->setTitle(text);
    else
        widget->setWindowTitle(text);
}

}  // namespace

namespace winqt {

Observer* observer = nullptr;

bool Alive(HWND window)
{
    return window != nullptr && !window->dead && window->top && window->client;
}

LRESULT Send(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam)
{
    if (window == nullptr || window->dead)
        return 0;
    ProgramScope running;
    if (window->wndProc != nullptr)
        return window->wndProc(window, message, wParam, lParam);
    if (window->dlgProc != nullptr)
        return window->dlgProc(window, message, wParam, lParam);
    return 0;
}

void LayoutFrame(WinWindow* main)
{
    QWidget* frame = main->top;
    int width = frame->width();
    int height = frame->height();
    int menuHeight = main->menuBar->isHidden() ? 0 : main->menuBar->sizeHint().height();
    int barWidth = main->scrollBar->isHidden() ? 0 : main->scrollBar->sizeHint().width();
    main->menuBar->setGeometry(0, 0, width, menuHeight);
    main->client->setGeometry(0, menuHeight, std::max(0, width - barWidth), std::max(0, height - menuHeight));
    main->scrollBar->setGeometry(width - barWidth, menuHeight, barWidth, std::max(0, height - menuHeight));
}

QString FromText(const char* text)
{
    return text == nullptr ? QString() : QString::fromUtf8(text);
}

size_t CopyText(const QByteArray& text, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    size_t length = std::min(size_t(text.size()), size - 1);
    // Back off to the start of a character rather than leave half of one.
    while (length > 0 && length < size_t(text.size()) && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    std::copy_n(text.constData(), length, buffer);
    buffer[length] = '\0';
    return length;
}

uint32_t MakeLong(int low, int high)
{
    return uint32_t(uint16_t(low)) | uint32_t(uint16_t(high)) << 16;
}

QColor ToColour(COLORREF colour)
{
    return QColor(int(colour & 0xFF), int(colour >> 8 & 0xFF), int(colour >> 16 & 0xFF));
}

void ShowAndExpose(QWidget* widget)
{
    widget->show();
    widget->activateWindow();
    QElapsedTimer waited;
    waited.start();
    constexpr auto flags = QEventLoop::ExcludeUserInputEvents | QEventLoop::X11ExcludeTimers;
    while (widget->isVisible() && !(widget->windowHandle() && widget->windowHandle()->isExposed())
           && waited.elapsed() < 2000) {
        QCoreApplication::processEvents(flags);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace winqt

void WinFrame::resizeEvent(QResizeEvent*)
{
    if (win != nullptr)
        winqt::LayoutFrame(win);
}

// The procedure decides: the window closes only when it destroys itself.
void WinFrame::closeEvent(QCloseEvent* event)
{
    event->ignore();
    winqt::Send(win, WM_CLOSE, 0, 0);
}

bool Win_Init(int* argc, char** argv)
{
    if (application != nullptr)
        return true;
    if (QCoreApplication::instance() != nullptr)
        return false;
    // Without a display Qt would abort.
    if (unset("DISPLAY") && unset("WAYLAND_DISPLAY") && unset("QT_QPA_PLATFORM"))
        return false;
    static char name[] = "moonfetch";
    static int count = 0;
    static std::vector<char*> arguments;
    if (argc != nullptr && argv != nullptr && *argc > 0)
        arguments.assign(argv, argv + *argc);
    else
        arguments.assign(1, name);
    count = int(arguments.size());
    arguments.push_back(nullptr);
    // Before any window: Wayland knows a window's program, its menu entry and icon, by this id.
    QGuiApplication::setDesktopFileName(QStringLiteral(MOON_APP_ID));
    application = new QApplication(count, arguments.data());
    application->setQuitOnLastWindowClosed(false);
    winqt::InstallAccessibility();
    return true;
}

HWND Win_CreateMainWindow(const WinMainTemplate& tpl)
{
    if (application == nullptr)
        return nullptr;
    auto* frame = new WinFrame;
    auto* main = new WinWindow(frame, WinKind::Main);
    main->wndProc = tpl.procedure;
    frame->setWindowTitle(winqt::FromText(tpl.title));
    setIcons(frame, tpl);
    addMenu(main, frame, tpl);
    addAccelerators(main, frame, tpl);

    auto* client = new WinSurface(frame, Qt::Widget);
    client->win = main;
    client->setFocusPolicy(Qt::StrongFocus);   // Tab reaches the list as a click does
    main->client = client;
    addScrollBar(main, frame);

    frame->win = main;
    frame->resize(defaultMainSize());
    winqt::LayoutFrame(main);
    return main;
}

void Win_EnableMenuItem(HWND window, int command, bool enable)
{
    if (!winqt::Alive(window) || window->menuBar == nullptr)
        return;
    for (QAction* menu : window->menuBar->actions())
        for (QAction* item : menu->menu() ? menu->menu()->actions() : QList<QAction*>())
            if (item->data().toInt() == command)
                item->setEnabled(enable);
}

void Win_ShowWindow(HWND window)
{
    if (!winqt::Alive(window))
        return;
    if (window->top->isWindow())
        winqt::ShowAndExpose(window->top);
    else
        window->top->show();
    if (window->kind == WinKind::Main) {
        window->top->raise();
        window->top->activateWindow();
    }
}

void Win_HideWindow(HWND window)
{
    if (winqt::Alive(window))
        window->top->hide();
}

void Win_DestroyWindow(HWND window)
{
    if (window == nullptr || window->dying)
        return;
    destroyTree(window);
    if (window->parent != nullptr)
        std::erase(window->parent->children, window);
    if (window->top) {
        window->top->hide();
        window->top->deleteLater();
    }
}

int Win_RunMessageLoop()
{
    if (!quitPosted && application != nullptr) {
        QEventLoop loop;
        mainLoop = &loop;
        loop.exec();
        mainLoop = nullptr;
    }
    quitPosted = false;
    return quitCode;
}

void Win_PostQuitMessage(int exitCode)
{
    quitPosted = true;
    quitCode = exitCode;
    if (mainLoop != nullptr)
        mainLoop->exit(exitCode);
}

WinRect Win_GetClientRect(HWND window)
{
    if (!winqt::Alive(window))
        return WinRect{0, 0, 0, 0};
    return WinRect{0, 0, window->client->width(), window->client->height()};
}

WinRect Win_GetWindowRect(HWND window)
{
    if (!winqt::Alive(window))
        return WinRect{0, 0, 0, 0};
    QWidget* widget = window->top;
    QRect rect = widget->isWindow() ? widget->frameGeometry()
                                    : QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    return WinRect{rect.left(), rect.top(), rect.left() + rect.width(), rect.top() + rect.height()};
}

void Win_MoveWindow(HWND window, int x, int y, int width, int height)
{
    if (winqt::Alive(window))
        window->top->setGeometry(x, y, std::max(0, width), std::max(0, height));
}

void Win_Invalidate(HWND window, bool now)
{
    if (!winqt::Alive(window))
        return;
    if (now)
        window->client->repaint();
    else
        window->client->update();
}

void Win_SetFocus(HWND window)
{
    if (winqt::Alive(window))
        window->client->setFocus(Qt::OtherFocusReason);
}

uint32_t Win_SetTimer(HWND window, uint32_t id, uint32_t milliseconds)
{
    if (!winqt::Alive(window) || id == 0)
        return 0;
    QTimer*& timer = window->timers[id];
    if (timer == nullptr) {
        timer = new QTimer(window);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, window, [window, id] { winqt::Send(window, WM_TIMER, id, 0); });
    }
    timer->start(int(std::min<uint32_t>(milliseconds, INT32_MAX)));
    return id;
}

void Win_KillTimer(HWND window, uint32_t id)
{
    if (window == nullptr)
        return;
    auto found = window->timers.find(id);
    if (found != window->timers.end())
        found->second->stop();
}

void Win_SetScrollRange(HWND window, int maximum)
{
    if (!winqt::Alive(window) || window->scrollBar == nullptr)
        return;
    QScrollBar* bar = window->scrollBar;
    maximum = std::max(0, maximum);
    window->settingScroll = true;
    bar->setRange(0, maximum);
    window->scrollPos = bar->value();
    window->settingScroll = false;
    // Showing or hiding the bar changes the client width, which the procedure hears of at once.
    if (bar->isHidden() == (maximum > 0)) {
        bar->setHidden(maximum == 0);
        winqt::LayoutFrame(window);
    }
}

void Win_SetScrollPos(HWND window, int position)
{
    if (!winqt::Alive(window) || window->scrollBar == nullptr)
        return;
    window->settingScroll = true;
    window->scrollBar->setValue(position);
    window->scrollPos = window->scrollBar->value();
    window->settingScroll = false;
}

void Win_SetWindowText(HWND window, const char* text)
{
    if (winqt::Alive(window))
        setWidgetText(window->top, winqt::FromText(text));
}

size_t Win_GetWindowText(HWND window, char* buffer, size_t size)
{
    if (!winqt::Alive(window))
        return winqt::CopyText(QByteArray(), buffer, size);
    return winqt::CopyText(widgetText(window->top).toUtf8(), buffer, size);
}

void Win_EnableWindow(HWND window, bool enable)
{
    if (winqt::Alive(window))
        window->top->setEnabled(enable);
}

void Win_OpenDocument(const char* path)
{
    if (path == nullptr)
        return;
    if (winqt::observer != nullptr && winqt::observer->TakeDocument(path))
        return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(winqt::FromText(path)).absoluteFilePath()));
}

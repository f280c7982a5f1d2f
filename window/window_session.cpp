// The end of the session: SIGTERM (log-out, kill), SIGINT (Ctrl+C) and SIGHUP become the main
// window's WM_ENDSESSION. The handler only writes a byte into a pipe; the event loop reads it
// and hands the message to the procedure once no program code runs, so the program closes from
// its own message loop, never from inside a dialog or a procedure it interrupted.
//
// The display going away (the X server or the Wayland compositor) is the end of the session too,
// but one that cannot wait: the toolkit ends the process (exit status 1) as soon as it notices,
// telling it first on its message output, and nothing could be shown any more. That message is
// the program's one chance: on the user-interface thread (Wayland's reading thread hands it
// there and waits) the main window hears WM_ENDSESSION at once, whatever runs, and the process
// ends when it returns, with the status the toolkit would have given it.
#include "window/window_qt.h"

#include <QAbstractEventDispatcher>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <xcb/xcb.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

constexpr int END_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

int signalPipe[2] = {-1, -1};
int programDepth = 0;          // procedures and modal calls under way
bool endPending = false;       // a signal came and the message has not been handed on yet
bool deliveryQueued = false;
std::vector<QPointer<QWidget>> openModals;

// The signal handler: a write is all that is safe there.
void onEndSignal(int number)
{
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(number);
    bool written = ::write(signalPipe[1], &byte, 1) == 1;   // a full pipe already says it
    static_cast<void>(written);
    errno = saved;
}

// Listens while its window lives; gives the signals back their earlier actions when it ends.
class SessionListener final : public QObject {
public:
    explicit SessionListener(WinWindow* window);
    ~SessionListener() override { Restore(); }
    void Restore();
    WinWindow* const window;

private:
    struct sigaction earlier_[std::size(END_SIGNALS)] = {};
    bool installed_ = false;
};

QPointer<SessionListener> listener;

void deliver()
{
    deliveryQueued = false;
    if (!endPending || programDepth > 0 || !listener)
        return;
    endPending = false;
    winqt::Send(listener->window, WM_ENDSESSION, 1, 0);
}

// The message goes out from the event loop, once nothing of the program is under way.
void tryDeliver()
{
    if (!endPending || programDepth > 0 || !listener || deliveryQueued)
        return;
    deliveryQueued = true;
    QTimer::singleShot(0, listener, deliver);
}

void drainPipe()
{
    unsigned char bytes[16];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
}

// Modal windows are closed as the person closes them; the program decides what that means.
void onSignalByte()
{
    drainPipe();
    endPending = true;
    std::vector<QPointer<QWidget>> modals = openModals;
    for (const QPointer<QWidget>& modal : modals) {
        if (modal)
            modal->close();
    }
    tryDeliver();
}

SessionListener::SessionListener(WinWindow* window) : QObject(window), window(window)
{
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    QObject::connect(notifier, &QSocketNotifier::activated, this, onSignalByte);
    struct sigaction action = {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    // Once: a second signal ends the process at once, for the person who will not wait.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (size_t i = 0; i < std::size(END_SIGNALS); ++i)
        ::sigaction(END_SIGNALS[i], &action, &earlier_[i]);
    installed_ = true;
}

void SessionListener::Restore()
{
    if (!installed_)
        return;
    for (size_t i = 0; i < std::size(END_SIGNALS); ++i)
        ::sigaction(END_SIGNALS[i], &earlier_[i], nullptr);
    installed_ = false;
}

QtMessageHandler toolkitOutput = nullptr;
bool displayLost = false;

// Whether the X display's connection has broken, which it never recovers from.
bool xDisplayGone()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr && x11->connection() != nullptr && xcb_connection_has_error(x11->connection()) != 0;
}

// Whether text is the Wayland client's last word: nothing else tells that the compositor went.
bool waylandGone(const QString& text)
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland")) &&
           text.startsWith(QLatin1String("The Wayland connection "));
}

// On the user-interface thread.
void endForLostDisplay()
{
    if (displayLost)
        return;
    displayLost = true;
    // The dispatcher's signals have the toolkit read the broken connection again, which would end
    // the process in the middle of the end.
    QAbstractEventDispatcher::instance()->blockSignals(true);
    if (listener)
        winqt::Send(listener->window, WM_ENDSESSION, 1, ENDSESSION_CRITICAL);
    std::exit(EXIT_FAILURE);
}

void onToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    toolkitOutput(type, context, text);
    if (qGuiApp == nullptr || !listener)
        return;
    const bool onUiThread = QThread::currentThread() == qGuiApp->thread();
    if (onUiThread && (xDisplayGone() || waylandGone(text))) {
        endForLostDisplay();
        return;
    }
    // The Wayland client notices on a thread of its own and ends the process once this returns:
    // that thread waits here for good while the user-interface thread ends the program.
    if (!onUiThread && waylandGone(text)) {
        QMetaObject::invokeMethod(qGuiApp, endForLostDisplay, Qt::QueuedConnection);
        for (;;)
            ::pause();
    }
}

bool openPipe()
{
    if (signalPipe[0] >= 0)
        return true;
    return ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

}  // namespace

namespace winqt {

ProgramScope::ProgramScope(QWidget* modal) : modal_(modal != nullptr)
{
    ++programDepth;
    if (modal == nullptr)
        return;
    openModals.push_back(modal);
    // Opened after the end came: closed as soon as its loop runs.
    if (endPending)
        QTimer::singleShot(0, modal, [modal] { modal->close(); });
}

ProgramScope::~ProgramScope()
{
    if (modal_)
        openModals.pop_back();
    if (--programDepth == 0)
        tryDeliver();
}

void ForgetEndSession(WinWindow* window)
{
    if (!listener || listener->window != window)
        return;
    listener->Restore();
    listener->deleteLater();
    listener = nullptr;
}

}  // namespace winqt

void Win_ListenForEndSession(HWND window)
{
    if (!winqt::Alive(window) || !openPipe())
        return;
    if (toolkitOutput == nullptr)
        toolkitOutput = qInstallMessageHandler(onToolkitMessage);
    delete listener.data();
    drainPipe();   // signals of an earlier listener's time
    endPending = deliveryQueued = false;
    listener = new SessionListener(window);
}

bool Win_ModalShowing()
{
    return !openModals.empty();
}

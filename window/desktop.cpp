// The desktop's services over D-Bus. Every bus connection is named after its address, so a bus
// that the environment names anew (a test's private one) gets a connection of its own.
#include "window/desktop.h"

#include "diag/trace.h"
#include "window/window_qt.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* LOGIN_SERVICE = "org.freedesktop.login1";
constexpr const char* LOGIN_PATH = "/org/freedesktop/login1";
constexpr const char* LOGIN_MANAGER = "org.freedesktop.login1.Manager";
constexpr const char* NOTICE_SERVICE = "org.freedesktop.Notifications";
constexpr const char* NOTICE_PATH = "/org/freedesktop/Notifications";
// A service that does not answer within this time is taken as missing.
constexpr int CALL_TIMEOUT_MS = 3000;
// The notification's own expiry is the notification service's choice.
constexpr int DEFAULT_EXPIRY = -1;

// The inhibitor kinds of login1, by WinAwake.
constexpr const char* INHIBIT_WHAT[] = {"idle", "sleep:idle"};

// The bus of type at the address that its variable names, or else at the usual one.
QDBusConnection busAt(QDBusConnection::BusType type)
{
    const bool system = type == QDBusConnection::SystemBus;
    const char* variable = system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS";
    const char* address = std::getenv(variable);
    if (address == nullptr || *address == '\0')
        return system ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    const QString text = QString::fromLocal8Bit(address);
    return QDBusConnection::connectToBus(text, QStringLiteral("moonfetch ") + text);
}

// One trace line for a call that found no bus or no service: what failed and why.
void traceFailure(const char* what, const QString& why)
{
    Trace_PrintString(TRACE_ALL, what, why.toLocal8Bit().constData());
}

// Whether bus is connected; when it is not, one trace line says what failed.
bool connected(const QDBusConnection& bus, const char* what)
{
    if (!bus.isConnected())
        traceFailure(what, bus.lastError().message());
    return bus.isConnected();
}

// Sends call and waits for its answer; an error answer is traced with what.
QDBusMessage callOn(QDBusConnection::BusType type, const QDBusMessage& call, const char* what)
{
    QDBusConnection bus = busAt(type);
    if (!connected(bus, what))
        return QDBusMessage::createError(bus.lastError());
    QDBusMessage answer = bus.call(call, QDBus::Block, CALL_TIMEOUT_MS);
    if (answer.type() == QDBusMessage::ErrorMessage)
        traceFailure(what, answer.errorMessage());
    return answer;
}

// Sends call without waiting: a slow service never holds up the windows. An error answer is
// traced with what when it comes.
void postOn(QDBusConnection::BusType type, const QDBusMessage& call, const char* what)
{
    QDBusConnection bus = busAt(type);
    if (!connected(bus, what))
        return;
    // Owned by the application until the answer comes, so none is lost at exit.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, CALL_TIMEOUT_MS), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [what](QDBusPendingCallWatcher* done) {
        if (done->isError())
            traceFailure(what, done->error().message());
        done->deleteLater();
    });
}

}  // namespace

void winqt::WakeListener::prepareForSleep(bool sleeping)
{
    if (sleeping)
        return;
    Trace_Print(TRACE_ALL, "The computer woke from sleep");
    Send(window_, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
}

int Win_HoldAwake(WinAwake what, const char* who, const char* why)
{
    QDBusMessage call = QDBusMessage::createMethodCall(LOGIN_SERVICE, LOGIN_PATH, LOGIN_MANAGER, "Inhibit");
    call << QString(INHIBIT_WHAT[int(what)]) << winqt::FromText(who) << winqt::FromText(why) << QStringLiteral("block");
    const QDBusReply<QDBusUnixFileDescriptor> reply =
        callOn(QDBusConnection::SystemBus, call, "The computer may sleep: no inhibitor from login1 (%s)\n");
    if (!reply.isValid() || !reply.value().isValid())
        return -1;
    // The reply's descriptor closes with it; the hold is a copy of its own.
    const int hold = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (hold >= 0)
        Trace_PrintString(TRACE_ALL, "Holding off sleep: %s\n", why);
    return hold;
}

void Win_ReleaseAwake(int hold)
{
    if (hold < 0)
        return;
    ::close(hold);
    Trace_Print(TRACE_ALL, "Sleep no longer held off");
}

void Win_Notify(const char* app, const char* summary, const char* body)
{
    QDBusMessage call = QDBusMessage::createMethodCall(NOTICE_SERVICE, NOTICE_PATH, NOTICE_SERVICE, "Notify");
    call << winqt::FromText(app) << 0u << QString() << winqt::FromText(summary) << winqt::FromText(body)
         << QStringList() << QVariantMap() << DEFAULT_EXPIRY;
    postOn(QDBusConnection::SessionBus, call, "No notification shown: no notification service (%s)\n");
}

void Win_ListenForWake(HWND window)
{
    if (!winqt::Alive(window))
        return;
    QDBusConnection bus = busAt(QDBusConnection::SystemBus);
    auto* listener = new winqt::WakeListener(window);
    const char* slot = SLOT(prepareForSleep(bool));
    if (!bus.connect(LOGIN_SERVICE, LOGIN_PATH, LOGIN_MANAGER, "PrepareForSleep", listener, slot)) {
        traceFailure("A wake from sleep goes unheard: no login1 signals (%s)\n", bus.lastError().message());
        delete listener;
    }
}

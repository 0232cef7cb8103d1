// Controls of the daemon proxy that go to other services of the desktop rather than to the
// domain client daemon: power actions through logind, the desktop shell's application
// switcher, the agent's own notices and automatic log-in through AccountsService.

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusReply>

#include "accounts.h"
#include "dbuscall.h"
#include "domaindbusinterface.h"
#include "logind.h"
#include "logging.h"
#include "utils.h"

namespace {
const char *const DesktopService = "org.freedesktop.Desktop";
const char *const DesktopPath = "/org/freedesktop/Desktop";
const char *const DesktopInterface = "org.freedesktop.Desktop";

const char *const AgentService = "com.kiv.domain.session";
const char *const AgentPath = "/com/domain/agent";
const char *const AgentInterface = "com.kiv.domain.agent";

enum PowerMode { PowerOff = 0, Reboot = 1 };

}  // namespace

QCoro::Task<> dbus::system_control(int mode)
{
    // The power action ends the session: give the desktop its shortcuts and task view back first.
    Utils::handleForceFullScreen(true, false);
    TAGGED_INFO(DBUS) << "control model " << mode;

    if (mode != PowerOff && mode != Reboot)
        co_return;
    // logind may ask the user to authorise the action, which takes as long as the user does.
    const QDBusPendingCall call = mode == PowerOff ? Logind::powerOff(QDBusConnection::systemBus(), true)
                                                   : Logind::reboot(QDBusConnection::systemBus(), true);
    const QDBusMessage reply = co_await awaitPending(call);
    if (reply.type() == QDBusMessage::ErrorMessage)
        TAGGED_WARNING(DBUS) << "call " << (mode == PowerOff ? "PowerOff" : "Reboot") << " error:" << QDBusError(reply);
}

QCoro::Task<> dbus::setTaskViewVisible(bool visible)
{
    TAGGED_INFO(DBUS) << (visible ? "true" : "false");
    QDBusMessage call = QDBusMessage::createMethodCall(DesktopService, DesktopPath, DesktopInterface, "AppSwitcherSetEnable");
    call << visible;
    const QDBusMessage reply = co_await awaitCall(QDBusConnection::sessionBus(), call);
    // A reply without the boolean counts as a failure too (QDBusReply reports the wrong signature).
    const QDBusReply<bool> answer(reply);
    if (!answer.isValid())
        TAGGED_WARNING(DBUS) << "call AppSwitcherSetEnable error:" << answer.error();
}

QCoro::Task<> dbus::showNotify(QString text, int time)
{
    TAGGED_INFO(DBUS) << "showNotify";
    QDBusMessage call = QDBusMessage::createMethodCall(AgentService, AgentPath, AgentInterface, "showNotify");
    call << text << time;
    const QDBusMessage reply = co_await awaitCall(QDBusConnection::sessionBus(), call);
    if (reply.type() == QDBusMessage::ErrorMessage)
        TAGGED_WARNING(DBUS) << "call showNotify error:" << QDBusError(reply);
}

QCoro::Task<> dbus::cancelAutoLogin()
{
    QList<QDBusObjectPath> paths;
    co_await Accounts::cachedUsers(QDBusConnection::systemBus(), paths);
    TAGGED_INFO(DBUS) << paths.size();

    for (const QDBusObjectPath &path : paths) {
        // A user whose call fails keeps automatic log-in; the others are still handled.
        co_await Accounts::setAutomaticLogin(QDBusConnection::systemBus(), path.path(), false);
        TAGGED_INFO(DBUS) << path.path() << " call SetAutomaticLogin";
    }
}

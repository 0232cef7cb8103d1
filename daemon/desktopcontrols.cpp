// Controls of the daemon proxy that go to other services of the desktop rather than to the
// domain client daemon: power actions through logind, the desktop shell's application
// switcher, the agent's own notices and automatic log-in through AccountsService.

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>

#include "accounts.h"
#include "domaindbusinterface.h"
#include "logging.h"
#include "utils.h"

namespace {
const char *const LogindService = "org.freedesktop.login1";
const char *const LogindPath = "/org/freedesktop/login1";
const char *const LogindInterface = "org.freedesktop.login1.Manager";

const char *const DesktopService = "org.freedesktop.Desktop";
const char *const DesktopPath = "/org/freedesktop/Desktop";
const char *const DesktopInterface = "org.freedesktop.Desktop";

const char *const AgentService = "com.kiv.domain.session";
const char *const AgentPath = "/com/domain/agent";
const char *const AgentInterface = "com.kiv.domain.agent";

enum PowerMode { PowerOff = 0, Reboot = 1 };

// One blocking call on a proxy made for it alone. The message is addressed directly, so no
// introspection round trip is made and an absent service fails at once.
QDBusMessage callOnce(const QDBusConnection &bus, const QString &service, const QString &path,
                      const QString &interface, const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block);
}
}  // namespace

void dbus::system_control(int mode)
{
    // The power action ends the session: give the desktop its shortcuts and task view back first.
    Utils::handleForceFullScreen(true, false);
    TAGGED_INFO(DBUS) << "control model " << mode;

    QString method;
    if (mode == PowerOff)
        method = "PowerOff";
    else if (mode == Reboot)
        method = "Reboot";
    else
        return;

    const QDBusMessage reply =
        callOnce(QDBusConnection::systemBus(), LogindService, LogindPath, LogindInterface, method, {true});
    if (reply.type() == QDBusMessage::ErrorMessage)
        TAGGED_WARNING(DBUS) << "call " << method << " error:" << QDBusError(reply);
}

void dbus::setTaskViewVisible(bool visible)
{
    TAGGED_INFO(DBUS) << (visible ? "true" : "false");
    const QDBusReply<bool> reply = callOnce(QDBusConnection::sessionBus(), DesktopService, DesktopPath,
                                            DesktopInterface, "AppSwitcherSetEnable", {visible});
    // A reply without the boolean counts as a failure too (QDBusReply reports the wrong signature).
    if (!reply.isValid())
        TAGGED_WARNING(DBUS) << "call AppSwitcherSetEnable error:" << reply.error();
}

void dbus::showNotify(const QString &text, const int &time)
{
    TAGGED_INFO(DBUS) << "showNotify";
    const QDBusMessage reply =
        callOnce(QDBusConnection::sessionBus(), AgentService, AgentPath, AgentInterface, "showNotify", {text, time});
    if (reply.type() == QDBusMessage::ErrorMessage)
        TAGGED_WARNING(DBUS) << "call showNotify error:" << QDBusError(reply);
}

void dbus::cancelAutoLogin()
{
    QList<QDBusObjectPath> paths;
    Accounts::cachedUsers(QDBusConnection::systemBus(), paths);
    TAGGED_INFO(DBUS) << paths.size();

    for (const QDBusObjectPath &path : paths) {
        // A user whose call fails keeps automatic log-in; the others are still handled.
        Accounts::setAutomaticLogin(QDBusConnection::systemBus(), path.path(), false);
        TAGGED_INFO(DBUS) << path.path() << " call SetAutomaticLogin";
    }
}

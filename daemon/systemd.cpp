#include "systemd.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>

namespace {
const char *const Service = "org.freedesktop.systemd1";
const char *const ManagerPath = "/org/freedesktop/systemd1";
const char *const ManagerInterface = "org.freedesktop.systemd1.Manager";
}  // namespace

namespace Systemd {

bool startUnit(const QDBusConnection &bus, const QString &unit)
{
    QDBusMessage start = QDBusMessage::createMethodCall(Service, ManagerPath, ManagerInterface, "StartUnit");
    start << unit << QString("replace");
    return bus.call(start).type() == QDBusMessage::ReplyMessage;
}

bool activeState(const QDBusConnection &bus, const QString &unitPath, int timeoutMs, QString &state, QString *error)
{
    QDBusMessage get = QDBusMessage::createMethodCall(Service, unitPath, "org.freedesktop.DBus.Properties", "Get");
    get << QString("org.freedesktop.systemd1.Unit") << QString("ActiveState");
    const QDBusMessage reply = bus.call(get, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        state = reply.arguments().first().value<QDBusVariant>().variant().toString();
        return true;
    }
    if (error)
        *error = reply.errorMessage();
    return false;
}

bool watchJobRemoved(const QDBusConnection &bus, QObject *receiver, const char *slot, QString *error)
{
    QDBusConnection connection(bus);
    if (!connection.connect(Service, ManagerPath, ManagerInterface, "JobRemoved", receiver, slot)) {
        if (error)
            *error = connection.lastError().message();
        return false;
    }
    connection.send(QDBusMessage::createMethodCall(Service, ManagerPath, ManagerInterface, "Subscribe"));
    return true;
}

}  // namespace Systemd

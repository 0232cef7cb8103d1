#include "systemd.h"

#include "dbuscall.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>

namespace {
const char *const Service = "org.freedesktop.systemd1";
const char *const ManagerPath = "/org/freedesktop/systemd1";
const char *const ManagerInterface = "org.freedesktop.systemd1.Manager";
}  // namespace

namespace Systemd {

QCoro::Task<bool> startUnit(QDBusConnection bus, QString unit)
{
    QDBusMessage start = QDBusMessage::createMethodCall(Service, ManagerPath, ManagerInterface, "StartUnit");
    start << unit << QString("replace");
    const QDBusMessage reply = co_await awaitCall(bus, start);
    co_return reply.type() == QDBusMessage::ReplyMessage;
}

QCoro::Task<UnitState> activeState(QDBusConnection bus, QString unitPath, int timeoutMs)
{
    QDBusMessage get = QDBusMessage::createMethodCall(Service, unitPath, "org.freedesktop.DBus.Properties", "Get");
    get << QString("org.freedesktop.systemd1.Unit") << QString("ActiveState");
    const QDBusMessage reply = co_await awaitCall(bus, get, timeoutMs);
    UnitState result;
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        result.ok = true;
        result.state = reply.arguments().first().value<QDBusVariant>().variant().toString();
    } else {
        result.error = reply.errorMessage();
    }
    co_return result;
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

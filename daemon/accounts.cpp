#include "accounts.h"

#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>

namespace {
const char *const Service = "org.freedesktop.Accounts";
const char *const UserInterface = "org.freedesktop.Accounts.User";
}  // namespace

namespace Accounts {

bool cachedUsers(const QDBusConnection &bus, QList<QDBusObjectPath> &users, QString *error)
{
    const QDBusMessage list =
        QDBusMessage::createMethodCall(Service, "/org/freedesktop/Accounts", "org.freedesktop.Accounts", "ListCachedUsers");
    const QDBusReply<QList<QDBusObjectPath>> reply = bus.call(list, QDBus::Block);
    users = reply.isValid() ? reply.value() : QList<QDBusObjectPath>();
    if (!reply.isValid() && error)
        *error = reply.error().message();
    return reply.isValid();
}

QVariant userProperty(const QDBusConnection &bus, const QString &userPath, const QString &name, QString *error)
{
    QDBusMessage get = QDBusMessage::createMethodCall(Service, userPath, "org.freedesktop.DBus.Properties", "Get");
    get << QString(UserInterface) << name;
    const QDBusMessage reply = bus.call(get, QDBus::Block);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        return reply.arguments().first().value<QDBusVariant>().variant();
    if (error)
        *error = reply.errorMessage();
    return {};
}

bool setAutomaticLogin(const QDBusConnection &bus, const QString &userPath, bool enabled)
{
    QDBusMessage set = QDBusMessage::createMethodCall(Service, userPath, UserInterface, "SetAutomaticLogin");
    set << enabled;
    return bus.call(set, QDBus::Block).type() == QDBusMessage::ReplyMessage;
}

}  // namespace Accounts

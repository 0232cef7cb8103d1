#include "accounts.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>

#include "dbuscall.h"

namespace {
const char *const Service = "org.freedesktop.Accounts";
const char *const UserInterface = "org.freedesktop.Accounts.User";
}  // namespace

namespace Accounts {

QCoro::Task<bool> cachedUsers(QDBusConnection bus, QList<QDBusObjectPath> &users, QString *error)
{
    const QDBusMessage list =
        QDBusMessage::createMethodCall(Service, "/org/freedesktop/Accounts", "org.freedesktop.Accounts", "ListCachedUsers");
    const QDBusMessage reply = co_await awaitCall(bus, list);
    users.clear();
    const bool valid = reply.type() == QDBusMessage::ReplyMessage && reply.signature() == "ao";
    if (valid)
        users = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().first());
    else if (error)
        *error = reply.type() == QDBusMessage::ErrorMessage ? reply.errorMessage()
                                                            : "unexpected reply signature " + reply.signature();
    co_return valid;
}

QCoro::Task<QVariant> userProperty(QDBusConnection bus, QString userPath, QString name, QString *error)
{
    QDBusMessage get = QDBusMessage::createMethodCall(Service, userPath, "org.freedesktop.DBus.Properties", "Get");
    get << QString(UserInterface) << name;
    const QDBusMessage reply = co_await awaitCall(bus, get);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        co_return reply.arguments().first().value<QDBusVariant>().variant();
    if (error)
        *error = reply.errorMessage();
    co_return QVariant();
}

QCoro::Task<bool> setAutomaticLogin(QDBusConnection bus, QString userPath, bool enabled)
{
    QDBusMessage set = QDBusMessage::createMethodCall(Service, userPath, UserInterface, "SetAutomaticLogin");
    set << enabled;
    const QDBusMessage reply = co_await awaitCall(bus, set);
    co_return reply.type() == QDBusMessage::ReplyMessage;
}

}  // namespace Accounts

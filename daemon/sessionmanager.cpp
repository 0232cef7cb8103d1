#include "sessionmanager.h"

#include <QVariant>

#include "dbuscall.h"

namespace {
QDBusMessage managerCall(const char *method, const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall("org.gnome.SessionManager", "/org/gnome/SessionManager",
                                                       "org.gnome.SessionManager", method);
    call.setArguments(arguments);
    return call;
}
}  // namespace

namespace SessionManager {

QCoro::Task<QDBusMessage> logout(QDBusConnection bus, uint mode)
{
    const QVariantList arguments{mode};
    const QDBusMessage call = managerCall("Logout", arguments);
    const QDBusMessage reply = co_await awaitCall(bus, call);
    co_return reply;
}

QCoro::Task<QDBusMessage> reboot(QDBusConnection bus)
{
    const QDBusMessage call = managerCall("Reboot", QVariantList());
    const QDBusMessage reply = co_await awaitCall(bus, call);
    co_return reply;
}

}  // namespace SessionManager

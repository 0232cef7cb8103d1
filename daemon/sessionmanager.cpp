#include "sessionmanager.h"

#include <QVariant>

namespace {
QDBusMessage callManager(const QDBusConnection &bus, const char *method, const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall("org.gnome.SessionManager", "/org/gnome/SessionManager",
                                                       "org.gnome.SessionManager", method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block);
}
}  // namespace

namespace SessionManager {

QDBusMessage logout(const QDBusConnection &bus, uint mode) { return callManager(bus, "Logout", {mode}); }

QDBusMessage reboot(const QDBusConnection &bus) { return callManager(bus, "Reboot", {}); }

}  // namespace SessionManager

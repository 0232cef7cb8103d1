#pragma once

#include <QDBusConnection>
#include <QDBusMessage>

// The desktop's session manager ("org.gnome.SessionManager" on the session bus), on the
// connection the caller gives. Each call waits for the answer and returns it (an error message
// when the manager refused or is absent).
namespace SessionManager {

QDBusMessage logout(const QDBusConnection &bus, uint mode);
QDBusMessage reboot(const QDBusConnection &bus);

}  // namespace SessionManager

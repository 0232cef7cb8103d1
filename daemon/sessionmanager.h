#pragma once

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>

// The desktop's session manager ("org.gnome.SessionManager" on the session bus), on the
// connection the caller gives. Each call is awaited and answers the reply (an error message
// when the manager refused, is absent or did not answer in time).
namespace SessionManager {

QCoro::Task<QDBusMessage> logout(QDBusConnection bus, uint mode);
QCoro::Task<QDBusMessage> reboot(QDBusConnection bus);

}  // namespace SessionManager

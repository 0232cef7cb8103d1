#include "logind.h"

#include <QDBusMessage>

namespace Logind {

namespace {
const char *const Service = "org.freedesktop.login1";
const char *const Path = "/org/freedesktop/login1";
const char *const Interface = "org.freedesktop.login1.Manager";

// logind answers a non-interactive request after its own authorisation check; an interactive one
// waits for the user at the authorisation dialog.
const int NonInteractiveLimitMs = 10000;
const int InteractiveLimitMs = 120000;

QDBusPendingCall powerAction(const QDBusConnection &bus, const char *method, bool interactive)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, method);
    call << interactive;
    return bus.asyncCall(call, interactive ? InteractiveLimitMs : NonInteractiveLimitMs);
}
}  // namespace

QDBusPendingCall reboot(const QDBusConnection &bus, bool interactive)
{
    return powerAction(bus, "Reboot", interactive);
}

QDBusPendingCall powerOff(const QDBusConnection &bus, bool interactive)
{
    return powerAction(bus, "PowerOff", interactive);
}

}  // namespace Logind

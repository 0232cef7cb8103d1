#pragma once

#include <QDBusConnection>
#include <QDBusPendingCall>

// logind's power actions, asked without waiting: each call returns at once with the pending
// answer, which ends with logind's reply, its refusal, or an error when the answer does not come
// within the call's bound. The caller names the bus, so that another connection (a private one
// in a test) can stand for the system bus.
namespace Logind {

// interactive: whether logind may ask the user to authorise the action (polkit), which can take
// as long as the user does; the bound is longer then.
QDBusPendingCall reboot(const QDBusConnection &bus, bool interactive);
QDBusPendingCall powerOff(const QDBusConnection &bus, bool interactive);

}  // namespace Logind

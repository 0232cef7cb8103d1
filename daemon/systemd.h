#pragma once

#include <QDBusConnection>
#include <QString>

class QObject;

// systemd's manager ("org.freedesktop.systemd1" on the system bus), on the connection the caller
// gives.
namespace Systemd {

// Starts a unit in mode "replace"; false when systemd refused or did not answer.
bool startUnit(const QDBusConnection &bus, const QString &unit);
// Reads the "ActiveState" of the unit object at unitPath ("active", "failed", ...), waiting at
// most timeoutMs; false, with the reason in error, when it cannot be read.
bool activeState(const QDBusConnection &bus, const QString &unitPath, int timeoutMs, QString &state,
                 QString *error = nullptr);
// Connects the manager's "JobRemoved" (u id, o job, s unit, s result), as sent by systemd itself,
// to slot of receiver, and asks systemd to send its job signals (it sends them only to
// subscribers); the subscription is not waited for. False, with the reason in error, when the
// connection cannot be made.
bool watchJobRemoved(const QDBusConnection &bus, QObject *receiver, const char *slot, QString *error = nullptr);

}  // namespace Systemd

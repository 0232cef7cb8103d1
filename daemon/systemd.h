#pragma once

#include <QCoroTask>
#include <QDBusConnection>
#include <QString>

class QObject;

// systemd's manager ("org.freedesktop.systemd1" on the system bus), on the connection the caller
// gives. Calls are awaited.
namespace Systemd {

// Starts a unit in mode "replace"; false when systemd refused or did not answer.
QCoro::Task<bool> startUnit(QDBusConnection bus, QString unit);

// The "ActiveState" of a unit ("active", "failed", ...); ok false, with the reason in error, when
// it cannot be read within the limit.
struct UnitState {
    bool ok = false;
    QString state;
    QString error;
};
QCoro::Task<UnitState> activeState(QDBusConnection bus, QString unitPath, int timeoutMs);

// Connects the manager's "JobRemoved" (u id, o job, s unit, s result), as sent by systemd itself,
// to slot of receiver, and asks systemd to send its job signals (it sends them only to
// subscribers); the subscription is not waited for. False, with the reason in error, when the
// connection cannot be made.
bool watchJobRemoved(const QDBusConnection &bus, QObject *receiver, const char *slot, QString *error = nullptr);

}  // namespace Systemd

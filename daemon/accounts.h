#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QList>
#include <QString>
#include <QVariant>

// AccountsService ("org.freedesktop.Accounts" on the system bus), on the connection the caller
// gives. Each call waits for its answer; an absent service fails at once.
namespace Accounts {

// The users the log-in screen lists; false, with the reason in error, when the call fails.
bool cachedUsers(const QDBusConnection &bus, QList<QDBusObjectPath> &users, QString *error = nullptr);
// One property of a user ("UserName", "Uid", ...); invalid, with the reason in error, on failure.
QVariant userProperty(const QDBusConnection &bus, const QString &userPath, const QString &name,
                      QString *error = nullptr);
// Switches the user's automatic log-in; false when the service refused.
bool setAutomaticLogin(const QDBusConnection &bus, const QString &userPath, bool enabled);

}  // namespace Accounts

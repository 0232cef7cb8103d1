#pragma once

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QList>
#include <QString>
#include <QVariant>

// AccountsService ("org.freedesktop.Accounts" on the system bus), on the connection the caller
// gives. Each call is awaited; an absent service fails at once. Out-parameters are written when
// the call ends: await the call before reading them.
namespace Accounts {

// The users the log-in screen lists; false, with the reason in error, when the call fails.
QCoro::Task<bool> cachedUsers(QDBusConnection bus, QList<QDBusObjectPath> &users, QString *error = nullptr);
// One property of a user ("UserName", "Uid", ...); invalid, with the reason in error, on failure.
QCoro::Task<QVariant> userProperty(QDBusConnection bus, QString userPath, QString name, QString *error = nullptr);
// Switches the user's automatic log-in; false when the service refused.
QCoro::Task<bool> setAutomaticLogin(QDBusConnection bus, QString userPath, bool enabled);

}  // namespace Accounts

#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QVariant>

#include <functional>

#include "correctionguard.h"

class HttpProxy;
struct HttpResult;
class QGSettings;
class QTimer;

// Keeps the guarded desktop settings and system services at the values the domain server
// prescribes: every reported change is checked against the server's policy and, when the policy
// is on and differs, put back (desktop settings directly, SSH and firewall through the daemon).
class SyncPolicy : public QObject
{
    Q_OBJECT

public:
    static SyncPolicy *instance();

    void monitor();
    void monitorDbusSignal();

    void doSettingsSyncInt(const QString &name, int local, int server);
    void doSettingsSyncStr(const QString &name, const QString &local, const QString &server);

    HttpProxy *policyClient() const { return httpProxy; }

    // The limit of the read of the SSH unit's state from systemd.
    static constexpr int UnitStateLimitMs = 5000;

public slots:
    void onSettingsChanged(const QString &key);
    void onSSHStatusChanged(uint jobId, QDBusObjectPath path, QString unitName, QString result);
    void onFirewallStatusChanged(bool enable);
    void onFirewallLevelChanged(int level);

private:
    explicit SyncPolicy(QObject *parent = nullptr);

    friend class HandlingInTurn;
    bool deferWhileHandling(std::function<void()> handler);
    void runDeferred();

    // The handlers proper: each holds the turn until it ends.
    QCoro::Task<> settingsChanged(QString key);
    QCoro::Task<> sshStatusChanged();
    QCoro::Task<> firewallStatusChanged(bool enable);
    QCoro::Task<> firewallLevelChanged(int level);

    QGSettings *watch(const QByteArray &schemaId);
    bool readKey(QGSettings *settings, const QString &key, QVariant &value) const;
    bool switchedOn(const QString &item, const HttpResult &answer);
    bool correctionDue(const char *operation, const QString &item, CorrectionGuard::Kind kind,
                       CorrectionGuard::Report report, const QString &local, const QString &server);
    void writeBack(QGSettings *settings, const QString &key, const QString &item, const QVariant &server);
    QCoro::Task<> syncService(const char *operation, QString name, int server);
    // An item whose breaker opened is looked at again once the breaker's window has passed.
    CorrectionGuard::Report reportedChange(const QString &item);
    void lookAgainLater(const QString &item);
    void lookAgain(const QString &item);
    void lookAgainAtFirewall(const QString &item);
    QCoro::Task<int> sshUnitState() const;

    QGSettings *deviceControlSettings = nullptr;
    QGSettings *backgroundSettings = nullptr;
    QGSettings *sessionSettings = nullptr;
    HttpProxy *httpProxy;

    QSet<QByteArray> m_missingSchemas;  // reported once each
    bool m_handling = false;
    QQueue<std::function<void()>> m_deferred;
    bool m_signalsWatched = false;
    CorrectionGuard m_guard;
    QElapsedTimer m_clock;  // the guard's time
    QHash<QString, QTimer *> m_lookAgain;  // one single-shot timer per item whose breaker is open
};

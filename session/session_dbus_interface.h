#pragma once

#include <QCoroTask>
#include <QDBusContext>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>

#include "reportinflight.h"
#include "reportretry.h"

// The agent's own session-bus service ("com.kiv.domain.session", "/com/domain/agent"): log-in
// announcements and notice requests. Its start-up work records the log-in time and starts the
// self-update or automatic add-domain check.
class session_dbus_interface : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.kiv.domain.agent")

public:
    explicit session_dbus_interface(QObject *parent = nullptr);

    // The service's start-up work: the log-in time, the subscription to the daemon's server
    // status, then the update or add-domain check. The object is exported and its name claimed
    // before this runs, so that no caller finds the name without the object; a call that arrives
    // before the log-in time is recorded is held and runs from the event loop afterwards.
    QCoro::Task<> start();

    QCoro::Task<> updateLoginTime();
    QCoro::Task<> checkAddDomainSystem();
    QCoro::Task<> handleUserLogin();
    QCoro::Task<QString> requestLogin();

    // The log-in report waits at most this long for the domain server.
    static constexpr int LoginReplyLimitMs = 30000;
    // A caller of post_login has its answer within this time, whatever the daemon and the server
    // do: D-Bus callers give up after 25 s by default. The report goes on after the answer.
    static constexpr int CallerAnswerLimitMs = 20000;

signals:
    void user_login();
    void requestShowNotify(QString text, int time);

public slots:
    QString post_login();
    void showNotify(QString text, int time);

private slots:
    void onDomainServerStatus(bool status);
    void onReportDue();
    void runHeldCalls();

private:
    QString markerPath() const;
    // The file that says this log-in session's time is recorded; empty when the session is unknown.
    QString loginTimeMarker() const;
    QCoro::Task<QString> reportLogin();
    QCoro::Task<QVariant> loginAnswer();
    // Takes over the reply of the D-Bus call being delivered: work runs once the service has
    // started and its result is the answer; a valid fallback is the answer when the work has
    // not ended within CallerAnswerLimitMs.
    void answerLater(std::function<QCoro::Task<QVariant>()> work, QVariant fallback = QVariant());

    QNetworkRequest m_request;
    QString m_hostname;
    QString m_user_name;
    bool m_isConnectedWS = false;  // a report is sent or on its way; false again when one failed
    bool m_started = false;
    ReportInFlight m_report;                   // the report on its way, which later callers join
    ReportRetry m_retry;                       // the next attempt of a report owed after a failure
    QList<std::function<void()>> m_heldCalls;  // calls that arrived before start() recorded the log-in
};

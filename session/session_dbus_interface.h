#pragma once

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QString>

// The agent's own session-bus service ("com.kiv.domain.session", "/com/domain/agent"): log-in
// announcements and notice requests. Its construction also records the log-in time and starts
// the self-update or automatic add-domain check.
class session_dbus_interface : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.kiv.domain.agent")

public:
    explicit session_dbus_interface(QObject *parent = nullptr);

    void updateLoginTime();
    void checkAddDomainSystem();
    void handleUserLogin();
    QString requestLogin();

    // The log-in report waits at most this long for the domain server.
    static constexpr int LoginReplyLimitMs = 30000;

signals:
    void user_login();
    void requestShowNotify(QString text, int time);

public slots:
    QString post_login();
    void showNotify(QString text, int time);

private slots:
    void onDomainServerStatus(bool status);

private:
    QString markerPath() const;

    QNetworkRequest m_request;
    QNetworkAccessManager m_manager;
    QString m_hostname;
    QString m_user_name;
    bool m_isConnectedWS = false;  // a report is sent or on its way; false again when one failed
};

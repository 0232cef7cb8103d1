#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QDBusAbstractInterface>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "common.h"

// A proxy of one interface of the domain client daemon. Unlike QDBusInterface it does not
// introspect the daemon when it is made, so a slow or absent daemon never holds up the agent.
class DaemonInterface : public QDBusAbstractInterface
{
    Q_OBJECT

public:
    DaemonInterface(const QString &service, const QString &path, const char *interface,
                    const QDBusConnection &connection, QObject *parent);
};

// The one proxy of the domain client daemon "com.kiv.domain" on the system bus: one operation
// per daemon method, the daemon's signals relayed as Qt signals, and a few desktop and session
// controls that go to other services (implemented in desktopcontrols.cpp).
class dbus : public QObject
{
    Q_OBJECT

public:
    static dbus *instance()
    {
        static dbus agent(nullptr);
        return &agent;
    }
    ~dbus() override;

    // ---- daemon method catalogue
    // Every call is awaited: the agent's thread serves events while the daemon works. A caller
    // that does not need the answer may drop the task; the call is made all the same.
    QCoro::Task<> set_process_restart();
    QCoro::Task<> clear_rc();
    QCoro::Task<bool> is_domain_online();
    QCoro::Task<QString> get_domain_user_prefix();
    QCoro::Task<QStringList> GetAllEvents();
    void syncAll();
    QCoro::Task<> usbInit();
    QCoro::Task<bool> CheckUpdateCli();
    QCoro::Task<bool> recover_pam();
    QCoro::Task<> Init();
    QCoro::Task<> post_equipment_setting(QString deviceId, QString setting, QString value, int status, int type);
    QCoro::Task<> set_salt_minion(QString master, QString minionId);
    QCoro::Task<> sync(QString name, QString value);
    QCoro::Task<> sendWebSet(QString data);
    QCoro::Task<> addSystem(int type);
    QCoro::Task<> setHeartBeat(int timeout);
    QCoro::Task<> updateConfig(QString key, QString value);
    QCoro::Task<> RecordEvent(ActionType type, QString value);
    QCoro::Task<> getUserInfo(QString user);
    QCoro::Task<> InstallRequest(QString taskId, int when);
    QCoro::Task<bool> add_windows_domain(QString domain, QString user, QString password, QString ou);
    QCoro::Task<bool> execLogin(QString user, QString password);
    QCoro::Task<bool> modify_resolv_config(QString nameserver);
    QCoro::Task<QString> get_domain_info(QString domain, QString user);
    QCoro::Task<QString> add_domain(QString domain, QString user, QString password, QString ou);
    QCoro::Task<QString> add_domain3(QString domain, QString user, QString password, QString ou);
    QCoro::Task<QString> get_add_domain_status(QString domain, QString user);
    QCoro::Task<QString> get_hostname(QString ip);
    QCoro::Task<QString> modify_pwd(QString user, QString oldPassword, QString newPassword);
    QCoro::Task<> modify_lpwd(QString password);
    QCoro::Task<QString> GetEventRecord(QString id);
    QCoro::Task<QByteArray> policy_info(QString user, QString type, QString name);
    QCoro::Task<int> run_pre_add_domain(QString domain);

    // ---- desktop and session controls (desktopcontrols.cpp)
    QCoro::Task<> system_control(int mode);
    QCoro::Task<> setTaskViewVisible(bool visible);
    QCoro::Task<> showNotify(QString text, int time);
    QCoro::Task<> cancelAutoLogin();

signals:
    void addDomainStatus(bool added, QString reason);
    void requestShowNotify(const QString &text, const int &time);
    void smsStatus(QString user, QString tip);
    void InstallNotify(const QString &taskId, const QString &taskName, bool immediate, bool need_reboot,
                       int completeTime);
    void RebootNotify(const QString &taskId, const QString &taskName);
    void ShowProgress(const QString &taskId, const QString &taskName);
    void domainServerStatus(bool online);
    void userInfo(QString info);
    void joinDomainVerifyResult(QString userName, QString passwdResult, QString smsResult, QString message);
    void exitDomainStatus(bool exited, QString reason);

private slots:
    void handAddDomainStatus(bool successed, QString reason);
    void onShowNotify(QString text, int time);
    void onSMSStatus(QString user, QString tip);
    void onInstallNotify(const QString &taskId, const QString &taskName, bool immediate, bool need_reboot,
                         int completeTime);
    void onRebootNotify(const QString &taskId, const QString &taskName);
    void onShowProgress(const QString &taskId, const QString &taskName);
    void onDomainServerStatus(bool online);
    void onUserInfo(QString info);
    void onJoinDomainVerifyResult(QString userName, QString passwdResult, QString smsResult, QString message);
    void onExitDomainStatus(bool exited, QString reason);

private:
    explicit dbus(QObject *parent);

    // Refills m_args with args, calls method on proxy and answers the reply (an error message
    // when the daemon failed, is absent or did not answer within limitMs; -1: the proxy's limit).
    QCoro::Task<QDBusMessage> call(DaemonInterface *proxy, QString method, QList<QVariant> args = QList<QVariant>(),
                                   int limitMs = -1);
    // Refills m_args with args and sends the call without waiting for any answer.
    void send(DaemonInterface *proxy, const QString &method, const QList<QVariant> &args = QList<QVariant>());

    DaemonInterface *m_agentInterface;
    DaemonInterface *m_syncInterface;
    DaemonInterface *m_configInterface;
    DaemonInterface *m_taskInterface;
    DaemonInterface *m_eventsInterface;
    QList<QVariant> m_args;
};

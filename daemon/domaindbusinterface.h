#pragma once

#include <QByteArray>
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
    void set_process_restart();
    void clear_rc();
    bool is_domain_online();
    QString get_domain_user_prefix();
    QStringList GetAllEvents();
    void syncAll();
    void usbInit();
    bool CheckUpdateCli();
    bool recover_pam();
    void Init();
    void post_equipment_setting(const QString &deviceId, const QString &setting, const QString &value,
                                const int &status, const int &type);
    void set_salt_minion(const QString &master, const QString &minionId);
    void sync(QString name, QString value);
    void sendWebSet(QString data);
    void addSystem(int type);
    void setHeartBeat(int timeout);
    void updateConfig(QString key, QString value);
    void RecordEvent(ActionType type, QString value);
    void getUserInfo(QString user);
    void InstallRequest(QString taskId, int when);
    bool add_windows_domain(const QString &domain, const QString &user, const QString &password,
                            const QString &ou);
    bool execLogin(const QString &user, const QString &password);
    bool modify_resolv_config(const QString &nameserver);
    QString get_domain_info(const QString &domain, const QString &user);
    QString add_domain(const QString &domain, const QString &user, const QString &password, const QString &ou);
    QString add_domain3(const QString &domain, const QString &user, const QString &password, const QString &ou);
    QString get_add_domain_status(const QString &domain, const QString &user);
    QString get_hostname(const QString &ip);
    QString modify_pwd(const QString &user, const QString &oldPassword, const QString &newPassword);
    void modify_lpwd(const QString &password);
    QString GetEventRecord(QString id);
    QByteArray policy_info(const QString &user, const QString &type, const QString &name);
    int run_pre_add_domain(const QString &domain);

    // ---- desktop and session controls (desktopcontrols.cpp)
    void system_control(int mode);
    void setTaskViewVisible(bool visible);
    void showNotify(const QString &text, const int &time);
    void cancelAutoLogin();

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

    // Refills m_args with args, calls method on proxy in the given mode and returns the reply
    // (an error message when the daemon failed, is absent or did not answer in time).
    QDBusMessage call(DaemonInterface *proxy, QDBus::CallMode mode, const QString &method,
                      const QList<QVariant> &args = {});

    DaemonInterface *m_agentInterface;
    DaemonInterface *m_syncInterface;
    DaemonInterface *m_configInterface;
    DaemonInterface *m_taskInterface;
    DaemonInterface *m_eventsInterface;
    QList<QVariant> m_args;
};

#include "domaindbusinterface.h"

#include <QDBusArgument>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QtDebug>

#include "logging.h"

namespace {
const char *const DaemonService = "com.kiv.domain";
const char *const AgentPath = "/com/domain/agent";
const char *const AgentInterface = "com.kiv.domain.agent";
const char *const SyncPath = "/com/domain/sync";
const char *const SyncInterface = "com.domain.sync";
const char *const ConfigPath = "/com/domain/config";
const char *const ConfigInterface = "com.domain.config";
const char *const EventsPath = "/com/domain/events";
const char *const EventsInterface = "com.domain.events";
const char *const TaskPath = "/com/domain/taskmanager";
const char *const TaskInterface = "com.domain.taskmanager";

// The daemon answers general requests within a minute; the other interfaces keep the bus default.
const int AgentCallTimeoutMs = 60000;

bool failed(const QDBusMessage &reply) { return reply.type() != QDBusMessage::ReplyMessage; }

// Whether a reply carries a first argument of the expected D-Bus type: not an error reply
// (an absent daemon and a time-out included), not empty, not of another type.
bool carries(const QDBusMessage &reply, const char *signature)
{
    return !failed(reply) && !reply.arguments().isEmpty() && reply.signature().startsWith(QLatin1String(signature));
}

template <typename T>
T replyOr(const QDBusMessage &reply, const char *signature, const T &fallback)
{
    return carries(reply, signature) ? qdbus_cast<T>(reply.arguments().first()) : fallback;
}

const char *successedText(const QDBusMessage &reply) { return failed(reply) ? "failed" : "successed"; }
}  // namespace

DaemonInterface::DaemonInterface(const QString &service, const QString &path, const char *interface,
                                 const QDBusConnection &connection, QObject *parent)
    : QDBusAbstractInterface(service, path, interface, connection, parent)
{
}

dbus::dbus(QObject *parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    m_agentInterface = new DaemonInterface(DaemonService, AgentPath, AgentInterface, bus, this);
    m_syncInterface = new DaemonInterface(DaemonService, SyncPath, SyncInterface, bus, this);
    m_configInterface = new DaemonInterface(DaemonService, ConfigPath, ConfigInterface, bus, this);
    m_eventsInterface = new DaemonInterface(DaemonService, EventsPath, EventsInterface, bus, this);
    m_agentInterface->setTimeout(AgentCallTimeoutMs);

    // Only the owner of the daemon's name may speak for it: on the system bus any local process
    // could otherwise forge a domain status, an install task or a reboot request.
    bus.connect(DaemonService, AgentPath, AgentInterface, "addDomainStatus", "bs", this,
                SLOT(handAddDomainStatus(bool, QString)));
    bus.connect(DaemonService, AgentPath, AgentInterface, "smsStatus", "ss", this,
                SLOT(onSMSStatus(QString, QString)));
    bus.connect(DaemonService, AgentPath, AgentInterface, "domainServerStatus", "b", this,
                SLOT(onDomainServerStatus(bool)));
    bus.connect(DaemonService, AgentPath, AgentInterface, "exitDomainStatus", "bs", this,
                SLOT(onExitDomainStatus(bool, QString)));
    bus.connect(DaemonService, AgentPath, AgentInterface, "userInfo", "s", this, SLOT(onUserInfo(QString)));
    bus.connect(DaemonService, AgentPath, AgentInterface, "joinDomainVerifyResult", "ssss", this,
                SLOT(onJoinDomainVerifyResult(QString, QString, QString, QString)));

    m_taskInterface = new DaemonInterface(DaemonService, TaskPath, TaskInterface, bus, this);
    bus.connect(DaemonService, TaskPath, TaskInterface, "InstallNotify", "ssbbi", this,
                SLOT(onInstallNotify(QString, QString, bool, bool, int)));
    bus.connect(DaemonService, TaskPath, TaskInterface, "RebootNotify", "ss", this,
                SLOT(onRebootNotify(QString, QString)));
    bus.connect(DaemonService, TaskPath, TaskInterface, "ShowProgress", "ss", this,
                SLOT(onShowProgress(QString, QString)));
}

dbus::~dbus() = default;

QDBusMessage dbus::call(DaemonInterface *proxy, QDBus::CallMode mode, const QString &method,
                        const QList<QVariant> &args)
{
    m_args.clear();
    m_args += args;
    // The message is built from m_args before any wait, so a call nested in an event-loop wait
    // may refill m_args freely.
    if (mode != QDBus::BlockWithGui)
        return proxy->callWithArgumentList(mode, method, m_args);

    // Waiting while serving events. Qt's own block-with-GUI mode can miss a reply that arrives
    // just as its wait begins and then waits for ever (its time-out is gone with the reply); a
    // pending-call watcher reports a reply that came early, and the proxy's time-out still ends
    // a call the daemon never answers.
    QDBusPendingCallWatcher watcher(proxy->asyncCallWithArgumentList(method, m_args));
    QEventLoop loop;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    if (!watcher.isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return watcher.reply();
}

// ---- blocking calls on the agent interface

void dbus::set_process_restart() { call(m_agentInterface, QDBus::AutoDetect, "set_process_restart"); }

void dbus::clear_rc() { call(m_agentInterface, QDBus::AutoDetect, "clear_rc_deb"); }

bool dbus::is_domain_online()
{
    return replyOr(call(m_agentInterface, QDBus::AutoDetect, "is_domain_online"), "b", false);
}

QString dbus::get_domain_user_prefix()
{
    return replyOr(call(m_agentInterface, QDBus::AutoDetect, "get_domain_user_prefix"), "s", QString());
}

void dbus::usbInit() { call(m_agentInterface, QDBus::AutoDetect, "usbInit"); }

bool dbus::recover_pam() { return replyOr(call(m_agentInterface, QDBus::AutoDetect, "recover_pam"), "b", false); }

void dbus::post_equipment_setting(const QString &deviceId, const QString &setting, const QString &value,
                                  const int &status, const int &type)
{
    call(m_agentInterface, QDBus::AutoDetect, "post_equipment_setting", {deviceId, setting, value, status, type});
}

void dbus::set_salt_minion(const QString &master, const QString &minionId)
{
    const QDBusMessage reply = call(m_agentInterface, QDBus::AutoDetect, "set_salt_minion", {master, minionId});
    qInfo() << (failed(reply) ? "set_salt_minion failed!" : "set_salt_minion success!");
}

void dbus::sendWebSet(QString data) { call(m_agentInterface, QDBus::AutoDetect, "sendWebSet", {data}); }

void dbus::addSystem(int type) { call(m_agentInterface, QDBus::AutoDetect, "addSystem", {type}); }

QString dbus::get_domain_info(const QString &domain, const QString &user)
{
    return replyOr(call(m_agentInterface, QDBus::AutoDetect, "get_domain_info", {domain, user}), "s", QString());
}

QString dbus::add_domain(const QString &domain, const QString &user, const QString &password, const QString &ou)
{
    return replyOr(call(m_agentInterface, QDBus::AutoDetect, "add_domain", {domain, user, password, ou}), "s",
                   QString());
}

QString dbus::get_add_domain_status(const QString &domain, const QString &user)
{
    return replyOr(call(m_agentInterface, QDBus::AutoDetect, "get_add_domain_status", {domain, user}), "s",
                   QString());
}

QString dbus::get_hostname(const QString &ip)
{
    return replyOr(call(m_agentInterface, QDBus::AutoDetect, "get_hostname", {ip}), "s", QString());
}

QString dbus::modify_pwd(const QString &user, const QString &oldPassword, const QString &newPassword)
{
    return replyOr(call(m_agentInterface, QDBus::AutoDetect, "modify_password", {user, oldPassword, newPassword}),
                   "s", QString());
}

void dbus::modify_lpwd(const QString &password)
{
    const QDBusMessage reply = call(m_agentInterface, QDBus::AutoDetect, "modify_localpassword", {password});
    if (failed(reply))
        TAGGED_INFO(DBUS) << "control lpwd none";
    else
        TAGGED_INFO(DBUS) << "control lpwd success";
}

QByteArray dbus::policy_info(const QString &user, const QString &type, const QString &name)
{
    return replyOr(call(m_agentInterface, QDBus::AutoDetect, "policy_info", {user, type, name}), "ay",
                   QByteArray());
}

// ---- event-loop calls on the agent interface

void dbus::setHeartBeat(int timeout)
{
    const QDBusMessage reply = call(m_agentInterface, QDBus::BlockWithGui, "setHeartBeat", {timeout});
    qInfo() << QString("setHeartBeat timeout(%1) result(%2)!").arg(timeout).arg(successedText(reply));
}

void dbus::getUserInfo(QString user) { call(m_agentInterface, QDBus::BlockWithGui, "getUserInfo", {user}); }

bool dbus::add_windows_domain(const QString &domain, const QString &user, const QString &password,
                              const QString &ou)
{
    return replyOr(call(m_agentInterface, QDBus::BlockWithGui, "add_windows_domain", {domain, user, password, ou}),
                   "b", false);
}

bool dbus::execLogin(const QString &user, const QString &password)
{
    return replyOr(call(m_agentInterface, QDBus::BlockWithGui, "execLogin", {user, password}), "b", false);
}

bool dbus::modify_resolv_config(const QString &nameserver)
{
    return replyOr(call(m_agentInterface, QDBus::BlockWithGui, "modify_resolv_config", {nameserver}), "b", false);
}

QString dbus::add_domain3(const QString &domain, const QString &user, const QString &password, const QString &ou)
{
    return replyOr(call(m_agentInterface, QDBus::BlockWithGui, "add_domain3", {domain, user, password, ou}), "s",
                   QString());
}

int dbus::run_pre_add_domain(const QString &domain)
{
    return replyOr(call(m_agentInterface, QDBus::BlockWithGui, "run_pre_add_domain", {domain}), "i", 1);
}

// ---- system-service policies

void dbus::syncAll() { call(m_syncInterface, QDBus::NoBlock, "syncAll"); }

void dbus::sync(QString name, QString value) { call(m_syncInterface, QDBus::AutoDetect, "sync", {name, value}); }

// ---- configuration and event records

bool dbus::CheckUpdateCli()
{
    return replyOr(call(m_configInterface, QDBus::AutoDetect, "CheckUpdateCli"), "b", false);
}

void dbus::updateConfig(QString key, QString value)
{
    const QDBusMessage reply = call(m_configInterface, QDBus::BlockWithGui, "UpdateConfig", {key, value});
    qInfo() << QString("update config key(%1) value(%2) result(%3)!").arg(key, value, successedText(reply));
}

void dbus::RecordEvent(ActionType type, QString value)
{
    const int code = type;
    const QDBusMessage reply = call(m_configInterface, QDBus::BlockWithGui, "RecordEvent", {code, value});
    qInfo() << QString("RecordEvent actionType(%1) value(%2) result(%3)!").arg(code).arg(value, successedText(reply));
}

QStringList dbus::GetAllEvents()
{
    const QDBusMessage reply = call(m_eventsInterface, QDBus::AutoDetect, "GetAllEvents");
    if (!carries(reply, "as"))
        qWarning() << "failed to GetAllEvents";
    return replyOr(reply, "as", QStringList());
}

QString dbus::GetEventRecord(QString id)
{
    const QDBusMessage reply = call(m_eventsInterface, QDBus::BlockWithGui, "GetEventRecord", {id});
    if (!carries(reply, "s"))
        qWarning() << "failed to GetEventRecord";
    return replyOr(reply, "s", QString());
}

// ---- software-installation tasks

void dbus::Init()
{
    const QDBusMessage reply = call(m_taskInterface, QDBus::AutoDetect, "Init");
    qInfo() << "call Init result: " << (failed(reply) ? "failed!" : "success!");
}

void dbus::InstallRequest(QString taskId, int when)
{
    call(m_taskInterface, QDBus::BlockWithGui, "InstallRequest", {taskId, when});
}

// ---- relays of the daemon's signals

void dbus::handAddDomainStatus(bool successed, QString reason)
{
    qInfo() << "handAddDomainStatus: receive signal addDomainStatus";
    emit addDomainStatus(successed, reason);
}

void dbus::onShowNotify(QString text, int time)
{
    TAGGED_WARNING(DBUS) << "text: " << text << ", time: " << time;
    emit requestShowNotify(text, time);
}

void dbus::onSMSStatus(QString user, QString tip)
{
    qInfo() << "onSMSStatus: receive signal smsStatus";
    emit smsStatus(user, tip);
}

void dbus::onInstallNotify(const QString &taskId, const QString &taskName, bool immediate, bool need_reboot,
                           int completeTime)
{
    emit InstallNotify(taskId, taskName, immediate, need_reboot, completeTime);
}

void dbus::onRebootNotify(const QString &taskId, const QString &taskName) { emit RebootNotify(taskId, taskName); }

void dbus::onShowProgress(const QString &taskId, const QString &taskName) { emit ShowProgress(taskId, taskName); }

void dbus::onDomainServerStatus(bool online) { emit domainServerStatus(online); }

void dbus::onUserInfo(QString info) { emit userInfo(info); }

void dbus::onJoinDomainVerifyResult(QString userName, QString passwdResult, QString smsResult, QString message)
{
    emit joinDomainVerifyResult(userName, passwdResult, smsResult, message);
}

void dbus::onExitDomainStatus(bool exited, QString reason) { emit exitDomainStatus(exited, reason); }

#include "domaindbusinterface.h"

#include <QDBusArgument>
#include <QDBusPendingCall>
#include <QtDebug>

#include "dbuscall.h"
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
// Whether the server is online is asked on the log-in path, whose caller wants its answer within
// 20 s: the daemon has 10 s, and no answer counts as offline.
const int OnlineQueryLimitMs = 10000;

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

QCoro::Task<QDBusMessage> dbus::call(DaemonInterface *proxy, QString method, QList<QVariant> args, int limitMs)
{
    m_args.clear();
    m_args += args;
    // The message is built from m_args before the wait, so another call made meanwhile may
    // refill m_args freely.
    QDBusMessage message = QDBusMessage::createMethodCall(proxy->service(), proxy->path(), proxy->interface(), method);
    message.setArguments(m_args);
    // A call's own limit shortens the proxy's, never lengthens it.
    const int proxyLimit = proxy->timeout();
    const int limit = limitMs < 0 ? proxyLimit : proxyLimit < 0 ? limitMs : qMin(limitMs, proxyLimit);
    const QDBusMessage reply = co_await awaitCall(proxy->connection(), message, limit);
    co_return reply;
}

void dbus::send(DaemonInterface *proxy, const QString &method, const QList<QVariant> &args)
{
    m_args.clear();
    m_args += args;
    proxy->asyncCallWithArgumentList(method, m_args);
}

// ---- calls on the agent interface

QCoro::Task<> dbus::set_process_restart() { co_await call(m_agentInterface, "set_process_restart"); }

QCoro::Task<> dbus::clear_rc() { co_await call(m_agentInterface, "clear_rc_deb"); }

QCoro::Task<bool> dbus::is_domain_online()
{
    const QDBusMessage reply = co_await call(m_agentInterface, "is_domain_online", QVariantList(), OnlineQueryLimitMs);
    co_return replyOr(reply, "b", false);
}

QCoro::Task<QString> dbus::get_domain_user_prefix()
{
    const QDBusMessage reply = co_await call(m_agentInterface, "get_domain_user_prefix");
    co_return replyOr(reply, "s", QString());
}

QCoro::Task<> dbus::usbInit() { co_await call(m_agentInterface, "usbInit"); }

QCoro::Task<bool> dbus::recover_pam()
{
    const QDBusMessage reply = co_await call(m_agentInterface, "recover_pam");
    co_return replyOr(reply, "b", false);
}

QCoro::Task<> dbus::post_equipment_setting(QString deviceId, QString setting, QString value, int status, int type)
{
    const QVariantList args{deviceId, setting, value, status, type};
    co_await call(m_agentInterface, "post_equipment_setting", args);
}

QCoro::Task<> dbus::set_salt_minion(QString master, QString minionId)
{
    const QVariantList args{master, minionId};
    const QDBusMessage reply = co_await call(m_agentInterface, "set_salt_minion", args);
    qInfo() << (failed(reply) ? "set_salt_minion failed!" : "set_salt_minion success!");
}

QCoro::Task<> dbus::sendWebSet(QString data)
{
    const QVariantList args{data};
    co_await call(m_agentInterface, "sendWebSet", args);
}

QCoro::Task<> dbus::addSystem(int type)
{
    const QVariantList args{type};
    co_await call(m_agentInterface, "addSystem", args);
}

QCoro::Task<QString> dbus::get_domain_info(QString domain, QString user)
{
    const QVariantList args{domain, user};
    const QDBusMessage reply = co_await call(m_agentInterface, "get_domain_info", args);
    co_return replyOr(reply, "s", QString());
}

QCoro::Task<QString> dbus::add_domain(QString domain, QString user, QString password, QString ou)
{
    const QVariantList args{domain, user, password, ou};
    const QDBusMessage reply = co_await call(m_agentInterface, "add_domain", args);
    co_return replyOr(reply, "s", QString());
}

QCoro::Task<QString> dbus::get_add_domain_status(QString domain, QString user)
{
    const QVariantList args{domain, user};
    const QDBusMessage reply = co_await call(m_agentInterface, "get_add_domain_status", args);
    co_return replyOr(reply, "s", QString());
}

QCoro::Task<QString> dbus::get_hostname(QString ip)
{
    const QVariantList args{ip};
    const QDBusMessage reply = co_await call(m_agentInterface, "get_hostname", args);
    co_return replyOr(reply, "s", QString());
}

QCoro::Task<QString> dbus::modify_pwd(QString user, QString oldPassword, QString newPassword)
{
    const QVariantList args{user, oldPassword, newPassword};
    const QDBusMessage reply = co_await call(m_agentInterface, "modify_password", args);
    co_return replyOr(reply, "s", QString());
}

QCoro::Task<> dbus::modify_lpwd(QString password)
{
    const QVariantList args{password};
    const QDBusMessage reply = co_await call(m_agentInterface, "modify_localpassword", args);
    if (failed(reply))
        TAGGED_INFO(DBUS) << "control lpwd none";
    else
        TAGGED_INFO(DBUS) << "control lpwd success";
}

QCoro::Task<QByteArray> dbus::policy_info(QString user, QString type, QString name)
{
    const QVariantList args{user, type, name};
    const QDBusMessage reply = co_await call(m_agentInterface, "policy_info", args);
    co_return replyOr(reply, "ay", QByteArray());
}

QCoro::Task<> dbus::setHeartBeat(int timeout)
{
    const QVariantList args{timeout};
    const QDBusMessage reply = co_await call(m_agentInterface, "setHeartBeat", args);
    qInfo() << QString("setHeartBeat timeout(%1) result(%2)!").arg(timeout).arg(successedText(reply));
}

QCoro::Task<> dbus::getUserInfo(QString user)
{
    const QVariantList args{user};
    co_await call(m_agentInterface, "getUserInfo", args);
}

QCoro::Task<bool> dbus::add_windows_domain(QString domain, QString user, QString password, QString ou)
{
    const QVariantList args{domain, user, password, ou};
    const QDBusMessage reply = co_await call(m_agentInterface, "add_windows_domain", args);
    co_return replyOr(reply, "b", false);
}

QCoro::Task<bool> dbus::execLogin(QString user, QString password)
{
    const QVariantList args{user, password};
    const QDBusMessage reply = co_await call(m_agentInterface, "execLogin", args);
    co_return replyOr(reply, "b", false);
}

QCoro::Task<bool> dbus::modify_resolv_config(QString nameserver)
{
    const QVariantList args{nameserver};
    const QDBusMessage reply = co_await call(m_agentInterface, "modify_resolv_config", args);
    co_return replyOr(reply, "b", false);
}

QCoro::Task<QString> dbus::add_domain3(QString domain, QString user, QString password, QString ou)
{
    const QVariantList args{domain, user, password, ou};
    const QDBusMessage reply = co_await call(m_agentInterface, "add_domain3", args);
    co_return replyOr(reply, "s", QString());
}

QCoro::Task<int> dbus::run_pre_add_domain(QString domain)
{
    const QVariantList args{domain};
    const QDBusMessage reply = co_await call(m_agentInterface, "run_pre_add_domain", args);
    co_return replyOr(reply, "i", 1);
}

// ---- system-service policies

void dbus::syncAll() { send(m_syncInterface, "syncAll"); }

QCoro::Task<> dbus::sync(QString name, QString value)
{
    const QVariantList args{name, value};
    co_await call(m_syncInterface, "sync", args);
}

// ---- configuration and event records

QCoro::Task<bool> dbus::CheckUpdateCli()
{
    const QDBusMessage reply = co_await call(m_configInterface, "CheckUpdateCli");
    co_return replyOr(reply, "b", false);
}

QCoro::Task<> dbus::updateConfig(QString key, QString value)
{
    const QVariantList args{key, value};
    const QDBusMessage reply = co_await call(m_configInterface, "UpdateConfig", args);
    qInfo() << QString("update config key(%1) value(%2) result(%3)!").arg(key, value, successedText(reply));
}

QCoro::Task<> dbus::RecordEvent(ActionType type, QString value)
{
    const int code = type;
    const QVariantList args{code, value};
    const QDBusMessage reply = co_await call(m_configInterface, "RecordEvent", args);
    qInfo() << QString("RecordEvent actionType(%1) value(%2) result(%3)!").arg(code).arg(value, successedText(reply));
}

QCoro::Task<QStringList> dbus::GetAllEvents()
{
    const QDBusMessage reply = co_await call(m_eventsInterface, "GetAllEvents");
    if (!carries(reply, "as"))
        qWarning() << "failed to GetAllEvents";
    co_return replyOr(reply, "as", QStringList());
}

QCoro::Task<QString> dbus::GetEventRecord(QString id)
{
    const QVariantList args{id};
    const QDBusMessage reply = co_await call(m_eventsInterface, "GetEventRecord", args);
    if (!carries(reply, "s"))
        qWarning() << "failed to GetEventRecord";
    co_return replyOr(reply, "s", QString());
}

// ---- software-installation tasks

QCoro::Task<> dbus::Init()
{
    const QDBusMessage reply = co_await call(m_taskInterface, "Init");
    qInfo() << "call Init result: " << (failed(reply) ? "failed!" : "success!");
}

QCoro::Task<> dbus::InstallRequest(QString taskId, int when)
{
    const QVariantList args{taskId, when};
    co_await call(m_taskInterface, "InstallRequest", args);
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

#include "syncpolicy.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QGSettings>
#include <QTimer>
#include <QtDebug>

#include "domaindbusinterface.h"
#include "httpproxy.h"
#include "log.h"
#include "settingsguard.h"
#include "systemd.h"
#include "utils.h"

namespace {

const char *const BackgroundSchema = "org.qoro.desktop.background";
const char *const SessionSchema = "org.qoro.desktop.session";
const char *const DeviceControlSchema = "org.qoro.devicecontrol";

const char *const SecurityCenter = "com.kiv.securitycenter";
const char *const FirewallObject = "/SecuritySetting/firewall";
const char *const FirewallInterface = "com.kiv.securitycenter.firewallsetting";

// The server prescribes a value only when the policy is switched on for this terminal.
bool enforceable(const HttpResult &answer) { return answer.code == 200 && answer.switchStatus; }

QByteArray utf8(const QString &text) { return text.toUtf8(); }

}  // namespace

// Handlers take turns. Each one awaits the server while further changes and signals keep
// arriving; a handler reported during that wait is kept and run after the one in progress has
// finished, so that one change is settled before the next is looked at.
class HandlingInTurn
{
public:
    explicit HandlingInTurn(SyncPolicy *engine)
        : m_engine(engine)
    {
        m_engine->m_handling = true;
    }
    ~HandlingInTurn()
    {
        m_engine->m_handling = false;
        if (!m_engine->m_deferred.isEmpty())
            QTimer::singleShot(0, m_engine, &SyncPolicy::runDeferred);
    }

private:
    SyncPolicy *m_engine;
};

bool SyncPolicy::deferWhileHandling(std::function<void()> handler)
{
    if (!m_handling)
        return false;
    m_deferred.enqueue(std::move(handler));
    return true;
}

void SyncPolicy::runDeferred()
{
    if (!m_handling && !m_deferred.isEmpty())
        m_deferred.dequeue()();
}

SyncPolicy *SyncPolicy::instance()
{
    static SyncPolicy engine;
    return &engine;
}

SyncPolicy::SyncPolicy(QObject *parent)
    : QObject(parent)
    , httpProxy(new HttpProxy(this))
{
    m_clock.start();
}

void SyncPolicy::monitor()
{
    if (!backgroundSettings)
        backgroundSettings = watch(BackgroundSchema);
    if (!sessionSettings)
        sessionSettings = watch(SessionSchema);
    if (!Utils::use_security_center())
        return;
    if (!deviceControlSettings)
        deviceControlSettings = watch(DeviceControlSchema);
    monitorDbusSignal();
}

QGSettings *SyncPolicy::watch(const QByteArray &schemaId)
{
    // Opening a schema that is not installed would abort the whole agent.
    if (!SettingsGuard::schemaInstalled(schemaId)) {
        if (!m_missingSchemas.contains(schemaId)) {
            m_missingSchemas.insert(schemaId);
            Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: settings schema %s is not installed, its keys are not watched",
                                            "monitor", schemaId.constData());
        }
        return nullptr;
    }
    auto *settings = new QGSettings(schemaId, QByteArray(), this);
    connect(settings, &QGSettings::changed, this, &SyncPolicy::onSettingsChanged, Qt::QueuedConnection);
    return settings;
}

void SyncPolicy::monitorDbusSignal()
{
    if (m_signalsWatched)
        return;
    m_signalsWatched = true;
    QDBusConnection bus = QDBusConnection::systemBus();
    QString error;
    if (!Systemd::watchJobRemoved(bus, this, SLOT(onSSHStatusChanged(uint, QDBusObjectPath, QString, QString)), &error))
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: cannot watch %s of %s: %s", "monitorDbusSignal", "JobRemoved",
                                        "org.freedesktop.systemd1", utf8(error).constData());
    const struct {
        const char *service, *path, *interface, *name, *slot;
    } signalsWatched[] = {
        {SecurityCenter, FirewallObject, FirewallInterface, "FirewallStatusChanged",
         SLOT(onFirewallStatusChanged(bool))},
        {SecurityCenter, FirewallObject, FirewallInterface, "FirewallLevelChanged", SLOT(onFirewallLevelChanged(int))},
    };
    for (const auto &watched : signalsWatched) {
        if (!bus.connect(watched.service, watched.path, watched.interface, watched.name, this, watched.slot))
            Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: cannot watch %s of %s: %s", "monitorDbusSignal",
                                            watched.name, watched.service, utf8(bus.lastError().message()).constData());
    }
}

bool SyncPolicy::readKey(QGSettings *settings, const QString &key, QVariant &value) const
{
    // get() of a key the installed schema lacks would abort the agent.
    if (!SettingsGuard::hasKey(*settings, key)) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: the installed schema has no key %s", "onSettingsChanged",
                                        utf8(key).constData());
        return false;
    }
    value = settings->get(key);
    return true;
}

void SyncPolicy::onSettingsChanged(const QString &key)
{
    if (deferWhileHandling([this, key] { onSettingsChanged(key); }))
        return;
    settingsChanged(key);
}

QCoro::Task<> SyncPolicy::settingsChanged(QString key)
{
    const HandlingInTurn turn(this);
    Log::GetInstance()->SaveFileLog(LOG_INFO, "onSettingsChanged %s", utf8(key).constData());
    if (!Utils::get_policy_items().contains(key)) {
        Log::GetInstance()->SaveFileLog(LOG_INFO, "don't control policy %s", utf8(key).constData());
        co_return;
    }
    using Kind = CorrectionGuard::Kind;
    using Report = CorrectionGuard::Report;
    QVariant local;
    if (key == "usbstoragestatus" || key == "usbintfctrl") {
        if (!deviceControlSettings || !readKey(deviceControlSettings, key, local))
            co_return;
        const QString item = key == "usbstoragestatus" ? "usb_storage" : "usb";
        const Report report = reportedChange(item);
        if (report == Report::Dropped)
            co_return;
        HttpResult answer;
        if (item == "usb_storage")
            answer = co_await httpProxy->getUSBStoragePolicy();
        else
            answer = co_await httpProxy->getUSBPolicy();
        const int server = answer.value.toInt();
        if (switchedOn(item, answer) && enforceable(answer) &&
            correctionDue("onSettingsChanged", item, Kind::Setting, report, QString::number(local.toInt()),
                          QString::number(server)))
            doSettingsSyncInt(item, local.toInt(), server);
    } else if (key == "pictureUri") {
        if (!backgroundSettings || !readKey(backgroundSettings, key, local))
            co_return;
        const Report report = reportedChange("wallpaper");
        if (report == Report::Dropped)
            co_return;
        const HttpResult answer = co_await httpProxy->getWallPaperPolicy();
        if (switchedOn("wallpaper", answer) && enforceable(answer) &&
            correctionDue("onSettingsChanged", "wallpaper", Kind::Setting, report, local.toString(), answer.value))
            doSettingsSyncStr("wallpaper", local.toString(), answer.value);
    } else if (key == "idleDelay") {
        if (!sessionSettings || !readKey(sessionSettings, key, local))
            co_return;
        const Report report = reportedChange("idle-delay");
        if (report == Report::Dropped)
            co_return;
        const HttpResult answer = co_await httpProxy->getIdeldelayPolicy();
        if (!switchedOn("idle-delay", answer))
            co_return;
        // The last value the server gave stands in when it cannot answer with one now.
        int server = 0;
        if (answer.code == 200 && answer.success) {
            server = answer.value.toInt();
            Utils::set_policy_idleDelay(server);
        } else {
            server = Utils::get_policy_idleDelay();
        }
        Log::GetInstance()->SaveFileLog(LOG_INFO, "local idle_delay: %d, server_idle_delay: %d", local.toInt(), server);
        if (correctionDue("onSettingsChanged", "idle-delay", Kind::Setting, report, QString::number(local.toInt()),
                          QString::number(server)))
            doSettingsSyncInt("idle-delay", local.toInt(), server);
    }
}

bool SyncPolicy::switchedOn(const QString &item, const HttpResult &answer)
{
    // Once the server no longer prescribes anything for the item, its past corrections and
    // failures are history; switched on again, it starts afresh.
    if (answer.code == 200 && answer.success && !answer.switchStatus)
        m_guard.switchedOff(item);
    return answer.switchStatus;
}

bool SyncPolicy::correctionDue(const char *operation, const QString &item, CorrectionGuard::Kind kind,
                               CorrectionGuard::Report report, const QString &local, const QString &server)
{
    if (local == server) {
        m_guard.inOrder(item);
        return false;
    }
    const bool may = m_guard.mayCorrect(operation, item, kind, report, local, server, m_clock.elapsed());
    if (!may && m_guard.breakerOpen(item))
        lookAgainLater(item);
    return may;
}

CorrectionGuard::Report SyncPolicy::reportedChange(const QString &item)
{
    const CorrectionGuard::Report report = m_guard.reported(item);
    // An outside change closed the breaker: no second look is owed.
    if (!m_guard.breakerOpen(item)) {
        if (QTimer *timer = m_lookAgain.take(item))
            timer->deleteLater();
    }
    return report;
}

void SyncPolicy::lookAgainLater(const QString &item)
{
    if (m_lookAgain.contains(item))
        return;
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, item] { lookAgain(item); });
    m_lookAgain.insert(item, timer);
    timer->start(int(m_guard.msUntilWindowPassed(item, m_clock.elapsed())));
}

void SyncPolicy::lookAgain(const QString &item)
{
    if (QTimer *timer = m_lookAgain.take(item))
        timer->deleteLater();
    m_guard.windowPassed(item);
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: looking at %s again", "lookAgain", utf8(item).constData());
    // As if the item had changed: the query and, where the server's value is off, one correction.
    if (item == "usb")
        onSettingsChanged("usbintfctrl");
    else if (item == "usb_storage")
        onSettingsChanged("usbstoragestatus");
    else if (item == "wallpaper")
        onSettingsChanged("pictureUri");
    else if (item == "idle-delay")
        onSettingsChanged("idleDelay");
    else if (item == "ssh")
        onSSHStatusChanged(0, QDBusObjectPath(), "ssh.service", QString());
    else
        lookAgainAtFirewall(item);
}

void SyncPolicy::doSettingsSyncInt(const QString &name, int local, int server)
{
    Log::GetInstance()->SaveFileLog(LOG_INFO, "sync policy %s status from server, local status:%d server status:%d",
                                    utf8(name).constData(), local, server);
    if (name == "usb")
        writeBack(deviceControlSettings, "usbintfctrl", name, server);
    else if (name == "usb_storage")
        writeBack(deviceControlSettings, "usbstoragestatus", name, server);
    else if (name == "idle-delay")
        writeBack(sessionSettings, "idleDelay", name, server);
}

void SyncPolicy::doSettingsSyncStr(const QString &name, const QString &local, const QString &server)
{
    Log::GetInstance()->SaveFileLog(LOG_INFO, "sync policy %s status from server, local status:%s server status:%s",
                                    utf8(name).constData(), utf8(local).constData(), utf8(server).constData());
    if (name != "wallpaper")
        return;
    if (backgroundSettings)
        qDebug() << "all key" << backgroundSettings->keys();
    writeBack(backgroundSettings, "pictureUri", name, server);
}

void SyncPolicy::writeBack(QGSettings *settings, const QString &key, const QString &item, const QVariant &server)
{
    const QString serverText = server.toString();
    if (!settings || !SettingsGuard::hasKey(*settings, key)) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s is not available, the server value %s is not written",
                                        "writeBack", utf8(key).constData(), utf8(serverText).constData());
        return;
    }
    // A refused write (a locked key, a value out of the key's range) raises no change
    // notification; the next change of the key tries again.
    const bool written = settings->trySet(key, server);
    m_guard.corrected(item, written, m_clock.elapsed());
    const QString stored = settings->get(key).toString();
    if (stored != serverText)
        m_guard.notKept("writeBack", item, stored, serverText);
}

void SyncPolicy::onSSHStatusChanged(uint jobId, QDBusObjectPath path, QString unitName, QString result)
{
    Q_UNUSED(jobId)
    Q_UNUSED(path)
    Q_UNUSED(result)
    if (unitName != "ssh.service")
        return;
    if (deferWhileHandling([this, unitName] { onSSHStatusChanged(0, QDBusObjectPath(), unitName, QString()); }))
        return;
    sshStatusChanged();
}

QCoro::Task<> SyncPolicy::sshStatusChanged()
{
    const HandlingInTurn turn(this);
    const CorrectionGuard::Report report = reportedChange("ssh");
    if (report == CorrectionGuard::Report::Dropped)
        co_return;
    const HttpResult answer = co_await httpProxy->getSSHPolicy();
    if (!switchedOn("ssh", answer) || !enforceable(answer))
        co_return;
    const int server = answer.value.toInt();
    const int local = co_await sshUnitState();
    if (correctionDue("onSSHStatusChanged", "ssh", CorrectionGuard::Kind::Service, report, QString::number(local),
                      QString::number(server)))
        co_await syncService("onSSHStatusChanged", "ssh", server);
}

QCoro::Task<int> SyncPolicy::sshUnitState() const
{
    const Systemd::UnitState unit =
        co_await Systemd::activeState(QDBusConnection::systemBus(), "/org/freedesktop/systemd1/unit/ssh_2eservice",
                                      UnitStateLimitMs);
    if (!unit.ok) {
        // An unreadable state counts as a stopped service.
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: cannot read the state of ssh.service: %s", "onSSHStatusChanged",
                                        utf8(unit.error).constData());
        co_return 0;
    }
    qDebug() << "SSH service state changed to" << unit.state;
    co_return unit.state == "active" ? 1 : 0;
}

void SyncPolicy::onFirewallStatusChanged(bool enable)
{
    if (deferWhileHandling([this, enable] { onFirewallStatusChanged(enable); }))
        return;
    firewallStatusChanged(enable);
}

QCoro::Task<> SyncPolicy::firewallStatusChanged(bool enable)
{
    const HandlingInTurn turn(this);
    const CorrectionGuard::Report report = reportedChange("firewalld");
    if (report == CorrectionGuard::Report::Dropped)
        co_return;
    const HttpResult answer = co_await httpProxy->getFirewallldPolicy();
    const int server = answer.value.toInt();
    if (switchedOn("firewalld", answer) && enforceable(answer) &&
        correctionDue("onFirewallStatusChanged", "firewalld", CorrectionGuard::Kind::Service, report,
                      QString::number(int(enable)), QString::number(server)))
        co_await syncService("onFirewallStatusChanged", "firewalld", server);
}

void SyncPolicy::onFirewallLevelChanged(int level)
{
    if (deferWhileHandling([this, level] { onFirewallLevelChanged(level); }))
        return;
    firewallLevelChanged(level);
}

QCoro::Task<> SyncPolicy::firewallLevelChanged(int level)
{
    const HandlingInTurn turn(this);
    const CorrectionGuard::Report report = reportedChange("firewalld_level");
    if (report == CorrectionGuard::Report::Dropped)
        co_return;
    const HttpResult answer = co_await httpProxy->getFirewalldLevelPolicy();
    const int server = answer.value.toInt();
    if (switchedOn("firewalld_level", answer) && enforceable(answer) &&
        correctionDue("onFirewallLevelChanged", "firewalld_level", CorrectionGuard::Kind::Service, report,
                      QString::number(level), QString::number(server)))
        co_await syncService("onFirewallLevelChanged", "firewalld_level", server);
}

void SyncPolicy::lookAgainAtFirewall(const QString &item)
{
    int level = 0, enable = 0;
    Utils::get_firewall_status(level, enable);
    if (item == "firewalld")
        onFirewallStatusChanged(enable != 0);
    else if (item == "firewalld_level")
        onFirewallLevelChanged(level);
}

QCoro::Task<> SyncPolicy::syncService(const char *operation, QString name, int server)
{
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: ask the daemon to sync %s to %d", operation, utf8(name).constData(),
                                    server);
    co_await dbus::instance()->sync(name, QString::number(server));
    // The daemon answers nothing; whether the service changed shows in its next report.
    m_guard.corrected(name, true, m_clock.elapsed());
}

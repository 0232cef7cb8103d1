#pragma once

// Pieces shared by the policy engine tests: the client configuration, the desktop settings as an
// outside process (the `gsettings` command) changes and reads them, and the system-bus stand-ins.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QString>
#include <QStringList>

#include "dbusmock.h"
#include "domainserver.h"
#include "testenv.h"

namespace PolicyTest {

using TestEnv::ConfigIni;
const QString Host = QStringLiteral("term-12");
const QString Background = QStringLiteral("org.qoro.desktop.background");
const QString Session = QStringLiteral("org.qoro.desktop.session");
const QString DeviceControl = QStringLiteral("org.qoro.devicecontrol");
const QString SystemdManager = QStringLiteral("/org/freedesktop/systemd1");
const QString SshUnit = QStringLiteral("/org/freedesktop/systemd1/unit/ssh_2eservice");
const QString SyncPath = QStringLiteral("/com/domain/sync");

// items: the "policy/items" text, or a null text for no such key.
inline void writeConfig(const TestEnv::TempRoot &root, const QString &serverAddress, const QString &items,
                        bool securityCenter, const QString &extraPolicyLines = QString())
{
    QString text = QString("[init]\nhostname=%1\nip_port=%2\n\n[uniteauth]\nuse_security_center=%3\n\n[policy]\n")
                       .arg(Host, serverAddress, securityCenter ? "true" : "false");
    if (!items.isNull())
        text += "items=" + items + "\n";
    text += extraPolicyLines;
    root.writeFile(ConfigIni, text.toUtf8());
}

inline bool gsettingsSet(const QString &schema, const QString &key, const QString &value)
{
    const TestEnv::CommandResult result = TestEnv::runCommand("gsettings", {"set", schema, key, value});
    if (result.exitCode != 0)
        qWarning() << "gsettings set failed:" << schema << key << value << result.output;
    return result.exitCode == 0;
}

inline QString gsettingsGet(const QString &schema, const QString &key)
{
    return TestEnv::runCommand("gsettings", {"get", schema, key}).output.trimmed();
}

inline void gsettingsReset(const QString &schema)
{
    TestEnv::runCommand("gsettings", {"reset-recursively", schema});
}

// Waits until every settings change made so far by outside processes has been handled: a change
// of the unguarded "primary-color" goes through the same file monitor after them, and the
// changes that arrive with it are handled in the same pass of the event loop.
inline bool settle(const TestEnv::TempRoot &root)
{
    static int round = 0;
    ++round;
    const QString line = "onSettingsChanged primaryColor";
    const int before = root.countInLog(line);
    if (!gsettingsSet(Background, "primary-color", QString("'#%1'").arg(round, 6, 10, QChar('0'))))
        return false;
    return TestEnv::waitFor([&] { return root.countInLog(line) > before; }, 15000);
}

// Waits until the test's connection has received everything the stand-in sent before this
// call, and the handlers of it have run.
inline void flushSystemBus(const DBusMock &mock, const QString &path)
{
    QDBusMessage ping = QDBusMessage::createMethodCall(mock.busName(), path, "org.freedesktop.DBus.Peer", "Ping");
    const QDBusPendingCall call = QDBusConnection::systemBus().asyncCall(ping, 10000);
    TestEnv::waitFor([&] { return call.isFinished(); }, 12000);
    QCoreApplication::processEvents();
}

inline void emitJobRemoved(const DBusMock &systemd, const QString &unit)
{
    static uint job = 100;
    ++job;
    systemd.emitSignal(SystemdManager, "org.freedesktop.systemd1.Manager", "JobRemoved", "uoss",
                       {job, QVariant::fromValue(QDBusObjectPath(QString("/org/freedesktop/systemd1/job/%1").arg(job))),
                        unit, QString("done")});
}

// The unit object at systemd's own escaped path, with the state given ("" removes it).
inline void setSshUnitState(const DBusMock &systemd, const QString &state)
{
    QDBusMessage get = QDBusMessage::createMethodCall(systemd.busName(), SshUnit, "org.freedesktop.DBus.Properties", "Get");
    get << QString("org.freedesktop.systemd1.Unit") << QString("ActiveState");
    const bool present = systemd.connection().call(get).type() == QDBusMessage::ReplyMessage;
    if (state.isEmpty()) {
        if (present)
            systemd.mock(SystemdManager, "RemoveObject", {SshUnit});
        return;
    }
    if (!present) {
        systemd.addObject(SystemdManager, SshUnit, "org.freedesktop.systemd1.Unit");
        systemd.mock(SshUnit, "AddProperty",
                     {"org.freedesktop.systemd1.Unit", "ActiveState", QVariant::fromValue(QDBusVariant(state))});
        return;
    }
    QDBusMessage set = QDBusMessage::createMethodCall(systemd.busName(), SshUnit, "org.freedesktop.DBus.Properties", "Set");
    set << QString("org.freedesktop.systemd1.Unit") << QString("ActiveState") << QVariant::fromValue(QDBusVariant(state));
    systemd.connection().call(set);
}

// The daemon's recorded sync calls, each as "name=value".
inline QStringList syncCalls(const DBusMock &daemon)
{
    QStringList calls;
    for (const QVariantList &args : daemon.callsOf(SyncPath, "sync"))
        calls << args.value(0).toString() + "=" + args.value(1).toString();
    return calls;
}

// What the daemon stand-in's `sync` does to the services, as the real daemon's work shows to the
// agent: Works, the service takes the value and reports it (systemd's "JobRemoved" for the SSH
// unit, the security center's signal for the firewall); TakesNothing, the service reports again
// without a change (an SSH configuration that does not start); FirewallTurnsItselfOff, the
// firewall goes on and at once off again. Every call still lands in the stand-in's call log.
enum class DaemonSync { Works, TakesNothing, FirewallTurnsItselfOff };

inline void setDaemonSync(const DBusMock &daemon, DaemonSync how)
{
    const char *const names[] = {"works", "takes-nothing", "turns-off"};
    const QString code = QString(R"(name, value = str(args[0]), str(args[1])
how = '%1'
bus = self.connection
if name == 'ssh':
    if how == 'works':
        try:
            bus.get_object('org.freedesktop.systemd1', '%2').Set(
                'org.freedesktop.systemd1.Unit', 'ActiveState',
                dbus.String('active' if value == '1' else 'inactive', variant_level=1),
                dbus_interface='org.freedesktop.DBus.Properties')
        except dbus.exceptions.DBusException:
            pass
    bus.get_object('org.freedesktop.systemd1', '%3').EmitSignal(
        'org.freedesktop.systemd1.Manager', 'JobRemoved', 'uoss',
        [dbus.UInt32(7), dbus.ObjectPath('/org/freedesktop/systemd1/job/7'), 'ssh.service',
         'done' if how == 'works' else 'failed'],
        dbus_interface='org.freedesktop.DBus.Mock')
elif name in ('firewalld', 'firewalld_level'):
    firewall = bus.get_object('com.kiv.securitycenter', '/SecuritySetting/firewall')
    setting = 'com.kiv.securitycenter.firewallsetting'
    if name == 'firewalld':
        now = firewall.GetFirewallStatus(dbus_interface=setting)
        wanted = now if how == 'takes-nothing' else value == '1'
        firewall.SetFirewallStatus(wanted, dbus_interface=setting)
        if how == 'turns-off':
            firewall.SetFirewallStatus(False, dbus_interface=setting)
    else:
        now = firewall.GetFirewallLevel(dbus_interface=setting)
        wanted = now if how == 'takes-nothing' else int(value)
        firewall.SetFirewallLevel(wanted, dbus_interface=setting)
)")
                             .arg(names[int(how)], SshUnit, SystemdManager);
    daemon.addMethod(SyncPath, "com.domain.sync", "sync", "ss", "", code);
}

inline QJsonObject wallpaperReply(const QString &picture, int switchStatus = 1)
{
    return DomainServer::reply(QJsonObject{
        {"data", QJsonObject{{"code", 200}, {"success", true}, {"switch_status", switchStatus}, {"policy", picture}}}});
}

}  // namespace PolicyTest

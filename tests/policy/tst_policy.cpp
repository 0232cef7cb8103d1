// Policy enforcement. The query client and the loop guard's window run here; the engine runs in the real agent, where
// `gsettings` changes the desktop settings, the systemd and security-centre stand-ins signal, the server counts queries
// and the daemon stand-in records `sync`. An engine here, on a desktop lacking schemas, meets changes of missing keys.
#include <QtTest>

#include <QCoroTask>

#include <QSettings>

#include "correctionguard.h"
#include "fixture.h"
#include "httpproxy.h"
#include "log.h"
#include "paths.h"
#include "syncpolicy.h"

using PolicyQuery = QCoro::Task<HttpResult> (HttpProxy::*)();
Q_DECLARE_METATYPE(PolicyQuery)

namespace {
const QString Picture = "file:///srv/corp.png";
const QString Cat = "picture-uri='file:///home/alice/cat.png'";
const QString Manager = "/org/freedesktop/systemd1", ManagerInterface = "org.freedesktop.systemd1.Manager";
const QString SshUnit = "/org/freedesktop/systemd1/unit/ssh_2eservice", Unit = "org.freedesktop.systemd1.Unit";
const QString Firewall = "/SecuritySetting/firewall", FirewallInterface = "com.kiv.securitycenter.firewallsetting";
const QString SettingsFolder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/glib-2.0/settings";

QByteArray config(const QString &address = "%SERVER%",
                  const QString &items = "pictureUri,idleDelay,usbintfctrl,usbstoragestatus,pictureOptions")
{
    return QString("[init]\nhostname=term-12\nip_port=%1\n[uniteauth]\nuse_security_center=true\n[policy]\nitems=%2\n"
                   "idleDelay=240\n").arg(address, items).toUtf8();
}

QString schemaOf(const QString &key)
{
    if (key.startsWith("usb"))
        return "org.qoro.devicecontrol";
    return key == "idle-delay" ? "org.qoro.desktop.session" : "org.qoro.desktop.background";
}

// `gsettings VERB SCHEMA [KEY [VALUE]]`, the schema found from the key.
QString gsettings(const QString &verb, const QString &key, const QString &value = QString())
{
    QStringList args{verb, schemaOf(key), key, value};
    args = args.mid(0, verb == "reset-recursively" ? 2 : value.isNull() ? 3 : 4);
    const TestEnv::CommandResult result = TestEnv::runCommand("gsettings", args);
    return result.exitCode == 0 ? result.output.trimmed() : "failed: " + result.output;
}

// "usb*2 ssh" stands for usb, usb, ssh.
QStringList expand(const QString &text)
{
    QStringList list;
    for (const QString &item : text.split(' ', Qt::SkipEmptyParts))
        for (int i = 0; i < qMax(1, item.section('*', 1).toInt()); ++i)
            list << item.section('*', 0, 0);
    return list;
}

QJsonObject on(const QJsonValue &value, int delayMs = 0)
{
    QJsonObject reply = DomainServer::policyReply(value);
    reply.insert("delay_ms", delayMs);
    return reply;
}
}  // namespace

class TestPolicy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.reset(new Fixture(Fixture::Daemon | Fixture::Systemd | Fixture::SecurityCenter | Fixture::Server, true));
        const TestEnv::TempRoot &root = m_fixture->root();
        Log::GetInstance()->setLogPath(Paths::logFile());
        DBusMock &systemd = m_fixture->systemd();
        systemd.addMethod(Manager, ManagerInterface, "Sleep", "d", "", "time.sleep(args[0])");
        systemd.addObject(Manager, SshUnit, Unit);
        systemd.mock(SshUnit, "AddProperty", {Unit, "ActiveState", QVariant::fromValue(QDBusVariant("inactive"))});
        // This process's engine starts on a desktop whose only schema is a session schema without "idle-delay"; GLib
        // reads the schema folder once, the agent and `gsettings` keep the full one.
        root.writeFile("/schemas/org.qoro.desktop.session.gschema.xml",
                       "<schemalist><schema id='org.qoro.desktop.session' path='/org/qoro/desktop/session/'><key "
                       "name='session-name' type='s'><default>'qoro'</default></key></schema></schemalist>");
        QCOMPARE(QProcess::execute("glib-compile-schemas", {"--strict", root.path("/schemas")}), 0);
        const QByteArray schemas = qgetenv("GSETTINGS_SCHEMA_DIR");
        qputenv("GSETTINGS_SCHEMA_DIR", root.path("/schemas").toLocal8Bit());
        root.writeConfig(config(m_fixture->server().address()).replace("=true", "=false"));
        SyncPolicy::instance()->monitor();
        qputenv("GSETTINGS_SCHEMA_DIR", schemas);
    }

    void init()
    {
        m_fixture->stopAgent();
        m_fixture->reset();
        QProcess::execute("chattr", {"-i", SettingsFolder});
        for (const QString &key : {"picture-uri", "idle-delay", "usbintfctrl"})
            QCOMPARE(gsettings("reset-recursively", key), QString());
        m_fixture->root().writeConfig(config(m_fixture->server().address()));
    }

    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    // ---- the query client, in this process
    void replies_data()
    {
        QTest::addColumn<PolicyQuery>("query");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QJsonObject>("reply");  // of the stand-in server; "front": another server instead
        QTest::addColumn<QString>("result");     // code|success|switch|value|value type|wallpaper URL

        const auto answer = [](const QJsonObject &data) { return DomainServer::reply(QJsonObject{{"data", data}}); };
        const QString none = "0|0|0||1|";
        QTest::newRow("enforceable") << &HttpProxy::getSSHPolicy << "ssh" << on(0) << "200|1|1|0|1|";
        QTest::newRow("switched off") << &HttpProxy::getUSBPolicy << "usb" << DomainServer::policyReply(1, 0)
                                      << "200|1|0|1|1|";
        QTest::newRow("wallpaper text") << &HttpProxy::getWallPaperPolicy << "wallpaper"
                                        << answer({{"code", 200}, {"success", true}, {"switch_status", 1},
                                                   {"policy", Picture}, {"wallpaper_url", "http://srv/corp.png"}})
                                        << "200|1|1|" + Picture + "|3|http://srv/corp.png";
        QTest::newRow("number as text") << &HttpProxy::getUSBStoragePolicy << "usb_storage" << on("2") << "200|1|1|0|1|";
        QTest::newRow("success false") << &HttpProxy::getFirewallldPolicy << "firewalld"
                                       << DomainServer::policyReply(1, 1, 403, false) << "403|0|0||1|";
        QTest::newRow("no data") << &HttpProxy::getFirewalldLevelPolicy << "firewalld_level"
                                 << DomainServer::reply(QJsonObject{{"code", 200}}) << none;
        QTest::newRow("no policy") << &HttpProxy::getIdeldelayPolicy << "idle-delay" << answer({{"code", 200}})
                                   << "200|0|0||1|";
        QTest::newRow("array") << &HttpProxy::getSSHPolicy << "ssh" << DomainServer::reply(QJsonArray{1}) << none;
        QTest::newRow("not JSON") << &HttpProxy::getSSHPolicy << "ssh" << DomainServer::fault("notjson") << none;
        QTest::newRow("HTTP 500") << &HttpProxy::getSSHPolicy << "ssh" << DomainServer::fault("http500") << none;
        QTest::newRow("refused") << &HttpProxy::getSSHPolicy << "ssh" << QJsonObject{{"front", "127.0.0.1:1"}} << none;
    }

    void replies()
    {
        QFETCH(PolicyQuery, query);
        QFETCH(QString, name);
        QFETCH(QJsonObject, reply);
        QFETCH(QString, result);

        m_fixture->root().writeConfig(config(reply.value("front").toString(m_fixture->server().address())));
        QVERIFY(reply.contains("front") || m_fixture->server().setPolicy(name, reply));

        const HttpResult r = QCoro::waitFor((HttpProxy().*query)());
        QCOMPARE(QString("%1|%2|%3|%4|%5|%6").arg(r.code).arg(r.success).arg(r.switchStatus).arg(r.value).arg(r.valueType)
                     .arg(r.wallpaperUrl), result);
        QCOMPARE(r.policyType, name);
        // One plain GET for this terminal and this policy.
        QString seen;
        for (const QJsonObject &request : m_fixture->server().requests("policy"))
            seen += request["method"].toString() + " " + request["path"].toString() + "?" + request["query"].toString();
        QCOMPARE(seen, reply.contains("front") ? "" : "GET /mainapi/device/sync/policy/term-12/?policy_type=" + name);
    }

    void queryLimitAndTurns()
    {
        // The USB answer takes 36 s and the query gives up at 30 s; two more asked meanwhile wait their turn, in order.
        QVERIFY(m_fixture->server().setPolicy("usb", on(1, 36000)));
        QVERIFY(m_fixture->server().setPolicy("ssh", on(7)));
        QVERIFY(m_fixture->server().setPolicy("wallpaper", on(Picture)));
        HttpProxy proxy;
        HttpResult ssh, wallpaper;
        QTimer::singleShot(50, [&] { ssh = QCoro::waitFor(proxy.getSSHPolicy()); });
        QTimer::singleShot(150, [&] { wallpaper = QCoro::waitFor(proxy.getWallPaperPolicy()); });
        QCOMPARE(QCoro::waitFor(proxy.getUSBPolicy()).value, QString());
        QCOMPARE(ssh.value + " " + wallpaper.value, "7 " + Picture);
        QCOMPARE(queries(), (QStringList{"usb", "ssh", "wallpaper"}));
        const QList<QJsonObject> requests = m_fixture->server().requests("policy");
        QVERIFY(requests[1].value("received_ms").toDouble() - requests[0].value("received_ms").toDouble() > 25000);
        QCOMPARE(QCoro::waitFor(proxy.getSSHPolicy()).value, QString("7"));  // and the next one goes straight through
    }

    void breakerWindow()
    {
        // Corrections at 0, 20 and 40 s: a fourth waits until the first is a minute old.
        const auto fourthAt = [](qint64 at) {
            CorrectionGuard guard;
            for (const qint64 before : {0, 20000, 40000})
                guard.corrected("usb", false, before);
            return guard.mayCorrect("test", "usb", CorrectionGuard::Kind::Setting, CorrectionGuard::Report::Outside, "0",
                                    "1", at);
        };
        QVERIFY(!fourthAt(59999));
        QVERIFY(fourthAt(60000));
    }

    void missingSchemaOrKey()
    {
        // Changes of keys this desktop lacks, and corrections meant for them, end without a query and without an abort.
        SyncPolicy *engine = SyncPolicy::instance();
        for (const char *key : {"pictureUri", "idleDelay", "usbintfctrl"})
            engine->onSettingsChanged(key);
        engine->doSettingsSyncInt("idle-delay", 900, 120);
        engine->doSettingsSyncInt("usb", 0, 1);
        engine->doSettingsSyncStr("wallpaper", "file:///a.png", Picture);
        QCOMPARE(queries(), QStringList());
    }

    // ---- the engine, in the agent
    void enforcement_data()
    {
        QTest::addColumn<QString>("steps");  // see perform(), separated by "; "
        QTest::addColumn<QString>("policy");
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("after");   // "key=value; ...", read with gsettings or from the configuration
        QTest::addColumn<QString>("synced");  // see expand()
        QTest::addColumn<QString>("queried");  // in any order
        QTest::addColumn<QString>("warned");  // a part of each warning line, separated by "; "

        const auto row = [](const char *name, QString steps, QString policy, QJsonObject reply, QString after,
                            QString synced, QString queried, QString warned = "") {
            QTest::newRow(name) << steps << policy << reply << after << synced << queried << warned;
        };
        const QString job = "JobRemoved ssh.service";
        const QString stuck = "the state of %1 could not be corrected, local value: %2, server value: %3";
        // A put-back raises one more change, and a sync one more report: each finds the values equal.
        row("wallpaper", Cat, "wallpaper", on(Picture), "picture-uri='" + Picture + "'", "", "wallpaper*2");
        row("usb interfaces", "usbintfctrl=2", "usb", on(1), "usbintfctrl=1", "", "usb*2");
        row("usb storage", "usbstoragestatus=1", "usb_storage", on(2), "usbstoragestatus=2", "", "usb_storage*2");
        row("idle delay", "idle-delay=900", "idle-delay", on(120), "idle-delay=uint32 120; policy/idleDelay=120", "",
            "idle-delay*2");
        row("idle delay, stored one stands in", "idle-delay=900", "idle-delay", DomainServer::policyReply(50, 1, 500),
            "idle-delay=uint32 240; policy/idleDelay=240", "", "idle-delay*2");
        row("idle delay switched off", "idle-delay=900", "idle-delay", DomainServer::policyReply(120, 0),
            "idle-delay=uint32 900; policy/idleDelay=240", "", "idle-delay");
        row("switched off", "usbintfctrl=2", "usb", DomainServer::policyReply(1, 0), "usbintfctrl=2", "", "usb");
        row("code not 200", "usbstoragestatus=1", "usb_storage", DomainServer::policyReply(2, 1, 404),
            "usbstoragestatus=1", "", "usb_storage");
        row("server fails", Cat, "wallpaper", DomainServer::fault("http500"), Cat, "", "wallpaper");
        // A change reported while a query waits is dealt with after it; meanwhile the agent serves its callers.
        row("slow answer", "usbintfctrl=2; wait 1; idle-delay=900; serving", "usb", on(1, 1500),
            "usbintfctrl=1; idle-delay=uint32 900", "", "usb*2 idle-delay");
        row("key not listed", "items idleDelay; usbintfctrl=2; idle-delay=900", "usb", on(1), "usbintfctrl=2", "",
            "idle-delay");
        row("ssh stopped", "unit inactive; " + job, "ssh", on(1), "", "ssh=1", "ssh*2");
        row("ssh running", "unit active; " + job, "ssh", on(1), "", "", "ssh");
        row("ssh state unreadable", "unit active; " + job + "; busy 8", "ssh", on(1, 300), "", "ssh=1", "ssh*2");
        row("another unit", "unit inactive; JobRemoved cron.service", "ssh", on(1), "", "", "");
        row("forged job", "unit inactive; forged " + job, "ssh", on(1), "", "", "");
        row("firewall off", "FirewallStatusChanged false", "firewalld", on(1), "", "firewalld=1", "firewalld*2");
        row("firewall level", "FirewallLevelChanged 2", "firewalld_level", on(3), "", "firewalld_level=3",
            "firewalld_level");
        row("forged firewall", "forged FirewallStatusChanged false", "firewalld", on(1), "", "", "");
        row("forged firewall level", "forged FirewallLevelChanged 2", "firewalld_level", on(3), "", "", "");
        // A correction that does not take is not repeated for the same values; one that the desktop undoes at once
        // stops after three until a change that is not the agent's own.
        row("ssh start fails", "sync fails; unit inactive; " + job + "; " + job, "ssh", on(1), "", "ssh=1", "ssh*3",
            stuck.arg("ssh", "0", "1"));
        // Once the server's value changes, a correction that did not take is tried again with the new one.
        row("firewall level not taken, then the server's changes", "FirewallLevelChanged 2; FirewallLevelChanged 2; "
            "logged could not be corrected; server firewalld_level=3; FirewallLevelChanged 2", "firewalld_level", on(1),
            "", "firewalld_level=1 firewalld_level=3", "firewalld_level*3", stuck.arg("firewalld_level", "2", "1"));
        row("firewall undone at once", "sync undo; FirewallStatusChanged false; wait 7; settle; "
            "FirewallStatusChanged false", "firewalld", on(1), "", "firewalld=1*6",
            "firewalld*7 firewalld_level firewalld*7", "firewalld corrected 3 times; firewalld corrected 6 times");
        // A user who changes a setting faster than the breaker allows does not win: once its minute has passed, the
        // agent looks again and puts the server's value back, with no further change.
        row("changed faster than the breaker allows",
            "usbintfctrl=2; wait 2; settle; usbintfctrl=0; wait 5; settle; usbintfctrl=2; wait 8; settle; usbintfctrl=0; "
            "wait 12", "usb", on(1), "usbintfctrl=1", "", "usb*9 firewalld_level*3", "usb corrected 3 times");
        // A write refused while the settings are locked does not keep the next change from being put back.
        row("locked, then unlocked", "lock; edit usbintfctrl=2; wait 1; settle; unlock; usbintfctrl=0", "usb", on(1),
            "usbintfctrl=1", "", "usb firewalld_level usb*2", stuck.arg("usb", "2", "1"));
    }

    void enforcement()
    {
        QFETCH(QString, steps);
        QFETCH(QString, policy);
        QFETCH(QJsonObject, reply);
        QFETCH(QString, after);
        QFETCH(QString, synced);
        QFETCH(QString, queried);
        QFETCH(QString, warned);

        QVERIFY(m_fixture->server().setPolicy(policy, reply));
        QVERIFY(perform("sync works"));
        QVERIFY(startAgent(config()));
        for (const QString &step : steps.split("; "))
            QVERIFY2(perform(step), qPrintable(step));
        TestEnv::waitFor([&] { return queries().size() >= expand(queried).size(); }, 20000);
        QVERIFY(perform("settle"));  // and nothing more follows
        QStringList seen = queries(), expected = expand(queried) << "firewalld_level";
        seen.sort();
        expected.sort();
        QCOMPARE(seen, expected);
        QStringList calls;
        for (const QVariantList &args : m_fixture->daemon().callsOf("/com/domain/sync", "sync"))
            calls << args.value(0).toString() + "=" + args.value(1).toString();
        QCOMPARE(calls, expand(synced));
        const QSettings stored(m_fixture->root().path(TestEnv::ConfigIni), QSettings::IniFormat);
        for (const QString &pair : after.split("; ", Qt::SkipEmptyParts)) {
            const QString key = pair.section('=', 0, 0);
            QCOMPARE(key.contains('/') ? stored.value(key).toString() : gsettings("get", key), pair.section('=', 1));
        }
        const QStringList lines = m_fixture->root().logText().split('\n').filter("[LOG_WARN]");
        const QStringList parts = warned.split("; ", Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), parts.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(lines[i].contains(parts[i]), qPrintable(lines[i]));
    }

    void withoutSecurityCenter()
    {
        // Only the wallpaper and the idle delay are watched: USB keys, SSH and the firewall are not.
        QVERIFY(m_fixture->server().setPolicy("*", on(1)));
        QVERIFY(m_fixture->server().setPolicy("wallpaper", on(Picture)));
        QVERIFY(startAgent(config().replace("=true", "=false")));
        for (const QString &step : QStringList{"unit inactive", "JobRemoved ssh.service", "FirewallStatusChanged false",
                                               "usbintfctrl=2", Cat, "wait 2", "picture-uri='file:///a.png'"})
            QVERIFY(perform(step));
        // After a second put-back, whatever was reported before the first has been dealt with.
        TestEnv::waitFor([&] { return queries().size() >= 4; }, 15000);
        QCOMPARE(queries(), expand("wallpaper*4"));
        QCOMPARE(gsettings("get", "usbintfctrl"), QString("2"));
        QVERIFY(m_fixture->daemon().callsOf("/com/domain/sync", "sync").isEmpty());
    }

private:
    bool startAgent(const QByteArray &ini)
    {
        // The engine watches before the agent sets up the daemon's USB handling.
        return m_fixture->startAgent(ini, Kiv5Release) &&
               TestEnv::waitFor([&] { return !m_fixture->daemon().callsOf("/com/domain/agent", "usbInit").isEmpty(); });
    }
    bool perform(const QString &step);
    QStringList queries() const { return m_fixture->server().policyQueries(); }

    std::unique_ptr<Fixture> m_fixture;
};

// A step of the outside world: "key=value" (`gsettings set`), "edit key=value" (the settings file edited in place),
// "lock"/"unlock" (the settings folder), "items LIST" (the configuration), "unit STATE" (the SSH unit's), "sync
// works|fails|undo" (below), "server NAME=VALUE" (its policy, switched on), "busy SECONDS" (systemd silent meanwhile),
// "[forged ]SIGNAL ARG" (by its service or another connection), "serving" (the agent answers a caller), "logged TEXT"
// (by the agent), "wait N" (until the server's Nth query, at most 90 s), "settle" (all reported so far is dealt with:
// the security centre reports the server's firewall level, asked about only after the handlers queued before).
bool TestPolicy::perform(const QString &step)
{
    const QString verb = step.section(' ', 0, 0), arg = step.section(' ', -1);
    if (verb == "lock" || verb == "unlock")
        return QProcess::execute("chattr", {verb == "lock" ? "+i" : "-i", SettingsFolder}) == 0;
    if (verb == "edit") {  // appended: in the settings file, the later value of a key counts
        QFile file(SettingsFolder + "/keyfile");
        return file.open(QIODevice::Append) &&
               file.write(QString("\n[%1]\n%2\n").arg(schemaOf(arg).replace('.', '/'), arg).toUtf8()) > 0;
    }
    if (verb == "serving")
        return Fixture::answer(Fixture::call("showNotify", {QString("still serving"), 0}), 5000).isEmpty();
    if (verb == "logged")
        return m_fixture->root().waitForLog(step.section(' ', 1));
    if (verb == "server")
        return m_fixture->server().setPolicy(arg.section('=', 0, 0), on(arg.section('=', 1).toInt()));
    if (verb == "wait")  // bounded beyond the correction breaker's minute
        return TestEnv::waitFor([&] { return queries().size() >= arg.toInt(); }, 90000);
    if (verb == "settle") {
        const int before = queries().count("firewalld_level");
        m_fixture->securityCenter().emitSignal(Firewall, FirewallInterface, "FirewallLevelChanged", "i", {3});
        return TestEnv::waitFor([&] { return queries().count("firewalld_level") > before; }, 20000);
    }
    if (verb == "busy")
        return m_fixture->systemd().connection().send(QDBusMessage::createMethodCall(
            m_fixture->systemd().busName(), Manager, ManagerInterface, "Sleep") << arg.toDouble());
    if (verb == "unit")
        return m_fixture->systemd().mock(SshUnit, "UpdateProperties", {Unit, QVariantMap{{"ActiveState", arg}}}).type()
               == QDBusMessage::ReplyMessage;
    if (verb == "items")
        m_fixture->root().writeConfig(config(m_fixture->server().address(), arg));
    if (verb == "sync") {
        // The daemon's `sync`: the SSH unit takes the value and systemd reports the job ("fails": the job changes
        // nothing); the firewall takes it and the security centre reports it ("undo": and it goes off again at once).
        m_fixture->daemon().addMethod("/com/domain/sync", "com.domain.sync", "sync", "ss", "", QString(R"(
bus, name, value = self.connection, args[0], args[1]
if name == 'ssh':
    if '%1' != 'fails':
        bus.get_object('org.freedesktop.systemd1', '%2').UpdateProperties('org.freedesktop.systemd1.Unit',
            {'ActiveState': ['inactive', 'active'][int(value)]}, dbus_interface='org.freedesktop.DBus.Mock')
    bus.get_object('org.freedesktop.systemd1', '/org/freedesktop/systemd1').EmitSignal('%3', 'JobRemoved', 'uoss',
        [dbus.UInt32(7), dbus.ObjectPath('/j/7'), 'ssh.service', 'done'], dbus_interface='org.freedesktop.DBus.Mock')
elif name == 'firewalld':
    for on in [value == '1'] + ([False] if '%1' == 'undo' else []):
        bus.get_object('com.kiv.securitycenter', '%4').SetFirewallStatus(on, dbus_interface='%5')
)").arg(arg, SshUnit, ManagerInterface, Firewall, FirewallInterface));
    }
    if (verb == "items" || verb == "sync")
        return true;
    if (!step.contains(' '))
        return !gsettings("set", step.section('=', 0, 0), step.section('=', 1)).startsWith("failed");
    const QString name = step.section(' ', -2, -2);
    const bool job = name == "JobRemoved", level = name.contains("Level");
    const QVariantList args = job ? QVariantList{7u, QVariant::fromValue(QDBusObjectPath("/j/7")), arg, QString("done")}
                                  : QVariantList{level ? QVariant(arg.toInt()) : QVariant(arg == "true")};
    const QString path = job ? Manager : Firewall, interface = job ? ManagerInterface : FirewallInterface;
    if (verb == "forged")
        Fixture::forgeSignal(path, interface, name, args);
    else
        (job ? m_fixture->systemd() : m_fixture->securityCenter())
            .emitSignal(path, interface, name, job ? "uoss" : level ? "i" : "b", args);
    return true;
}

QTEST_GUILESS_MAIN(TestPolicy)
#include "tst_policy.moc"

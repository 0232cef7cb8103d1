// Policy enforcement. The query client and the loop guard's window run in this process against
// the stand-in server; the engine runs in the real agent, where `gsettings` changes the desktop
// settings, the systemd and security-centre stand-ins send their signals, the server counts the
// queries and the daemon stand-in records `sync`. This process also runs an engine of its own on
// a desktop that lacks schemas, to report changes of keys that no outside writer can change.
#include <QtTest>

#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>

#include <glib.h>

#include "correctionguard.h"
#include "fixture.h"
#include "httpproxy.h"
#include "log.h"
#include "paths.h"
#include "syncpolicy.h"

using PolicyQuery = HttpResult (HttpProxy::*)();
Q_DECLARE_METATYPE(PolicyQuery)

namespace {
const QString AllItems = "pictureUri,idleDelay,usbintfctrl,usbstoragestatus,pictureOptions";
const QString Picture = "file:///srv/corp.png";
const QString SystemdManager = "/org/freedesktop/systemd1";
const QString SshUnit = "/org/freedesktop/systemd1/unit/ssh_2eservice";
const QString Firewall = "/SecuritySetting/firewall";
const QString FirewallInterface = "com.kiv.securitycenter.firewallsetting";
const QString SettingsFolder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/glib-2.0/settings";

QByteArray config(const QString &address = "%SERVER%", const QString &items = AllItems, bool securityCenter = true)
{
    return QString("[init]\nhostname=term-12\nip_port=%1\n[uniteauth]\nuse_security_center=%2\n"
                   "[policy]\nitems=%3\nidleDelay=240\n")
        .arg(address, securityCenter ? "true" : "false", items)
        .toUtf8();
}

QString schemaOf(const QString &key)
{
    if (key.startsWith("usb"))
        return "org.qoro.devicecontrol";
    return key == "idle-delay" ? "org.qoro.desktop.session" : "org.qoro.desktop.background";
}

QString gsettings(const QString &verb, const QString &key, const QString &value = QString())
{
    QStringList args{verb, schemaOf(key), key};
    if (!value.isNull())
        args << value;
    const TestEnv::CommandResult result = TestEnv::runCommand("gsettings", args);
    return result.exitCode == 0 ? result.output.trimmed() : "failed: " + result.output;
}

// Writes into the settings file itself: an outside writer that gets past a locked folder.
bool editInPlace(const QString &key, const QString &value)
{
    QFile file(SettingsFolder + "/keyfile");
    if (!file.open(QIODevice::ReadWrite))
        return false;
    const QByteArray text = file.readAll();
    GKeyFile *keys = g_key_file_new();
    g_key_file_load_from_data(keys, text.constData(), gsize(text.size()), G_KEY_FILE_NONE, nullptr);
    g_key_file_set_value(keys, schemaOf(key).replace('.', '/').toUtf8(), key.toUtf8(), value.toUtf8());
    gchar *edited = g_key_file_to_data(keys, nullptr, nullptr);
    g_key_file_free(keys);
    const bool written = file.resize(0) && file.write(edited) > 0;
    g_free(edited);
    return written;
}

// "usb*2 ssh" stands for usb, usb, ssh.
QStringList expand(const QString &text)
{
    QStringList list;
    for (const QString &item : text.split(' ', Qt::SkipEmptyParts)) {
        for (int i = 0; i < item.section('*', 1).toInt() || i == 0; ++i)
            list << item.section('*', 0, 0);
    }
    return list;
}

QJsonObject delayed(QJsonObject reply, int ms)
{
    reply.insert("delay_ms", ms);
    return reply;
}

QString summary(const HttpResult &r)
{
    return QString("%1|%2|%3|%4|%5|%6").arg(r.code).arg(r.success).arg(r.switchStatus).arg(r.value).arg(r.valueType).arg(r.wallpaperUrl);
}
}  // namespace

class TestPolicy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void replies_data();
    void replies();
    void queryLimitAndTurns();
    void breakerWindow();
    void missingSchemaOrKey();
    void enforcement_data();
    void enforcement();
    void pendingQuery_data();
    void pendingQuery();
    void withoutSecurityCenter();

private:
    bool startAgent(const QByteArray &ini);
    bool perform(const QString &step);
    bool settle();
    void daemonSync(const QString &how);
    QStringList queries() const { return m_fixture->server().policyQueries(); }
    QStringList synced() const;
    QStringList warnings() const;

    std::unique_ptr<Fixture> m_fixture;
    QTemporaryDir m_schemas;
};

void TestPolicy::initTestCase()
{
    m_fixture.reset(new Fixture(Fixture::Daemon | Fixture::Systemd | Fixture::SecurityCenter | Fixture::Server, true));
    Log::GetInstance()->setLogPath(Paths::logFile());
    m_fixture->systemd().addMethod(SystemdManager, "org.freedesktop.systemd1.Manager", "Sleep", "d", "",
                                   "time.sleep(args[0])");
    // This process's engine starts on a desktop whose only schema is a session schema without
    // "idle-delay"; GLib reads the schema folder once, the agent and `gsettings` keep the full one.
    QFile session(m_schemas.filePath("org.qoro.desktop.session.gschema.xml"));
    QVERIFY(session.open(QIODevice::WriteOnly));
    session.write("<schemalist><schema id='org.qoro.desktop.session' path='/org/qoro/desktop/session/'>"
                  "<key name='session-name' type='s'><default>'qoro'</default></key></schema></schemalist>");
    session.close();
    QCOMPARE(QProcess::execute("glib-compile-schemas", {"--strict", m_schemas.path()}), 0);
    const QByteArray schemas = qgetenv("GSETTINGS_SCHEMA_DIR");
    qputenv("GSETTINGS_SCHEMA_DIR", m_schemas.path().toLocal8Bit());
    m_fixture->root().writeConfig(config(m_fixture->server().address(), AllItems, false));
    SyncPolicy::instance()->monitor();
    qputenv("GSETTINGS_SCHEMA_DIR", schemas);
}

void TestPolicy::init()
{
    m_fixture->stopAgent();
    m_fixture->reset();
    for (const QString &key : {"picture-uri", "idle-delay", "usbintfctrl"})
        QCOMPARE(TestEnv::runCommand("gsettings", {"reset-recursively", schemaOf(key)}).exitCode, 0);
    m_fixture->root().writeConfig(config(m_fixture->server().address()));
}

void TestPolicy::cleanup()
{
    QProcess::execute("chattr", {"-i", SettingsFolder});
    QVERIFY(m_fixture->standInsAlive());
}

bool TestPolicy::startAgent(const QByteArray &ini)
{
    // The engine watches before the agent sets up the daemon's USB handling.
    return m_fixture->startAgent(ini, Kiv5Release) && TestEnv::waitFor([this] {
        return !m_fixture->daemon().callsOf("/com/domain/agent", "usbInit").isEmpty();
    });
}

QStringList TestPolicy::synced() const
{
    QStringList calls;
    for (const QVariantList &args : m_fixture->daemon().callsOf("/com/domain/sync", "sync"))
        calls << args.value(0).toString() + "=" + args.value(1).toString();
    return calls;
}

QStringList TestPolicy::warnings() const
{
    QStringList lines;
    for (const QString &line : m_fixture->root().logText().split('\n')) {
        if (line.contains("[LOG_WARN] "))
            lines << line;
    }
    return lines;
}

// What the daemon's `sync` does, as the agent sees the outcome: "works" brings the SSH unit or
// the firewall to the value asked for, and systemd or the security centre reports it; "fails"
// reports a finished SSH job that changed nothing; "undo" switches the firewall on and at once
// off again.
void TestPolicy::daemonSync(const QString &how)
{
    const QString code = QString(R"(name, value = str(args[0]), str(args[1])
bus = self.connection
if name == 'ssh':
    if '%1' == 'works':
        bus.get_object('org.freedesktop.systemd1', '%2').Set('org.freedesktop.systemd1.Unit', 'ActiveState',
            dbus.String('active' if value == '1' else 'inactive', variant_level=1),
            dbus_interface='org.freedesktop.DBus.Properties')
    bus.get_object('org.freedesktop.systemd1', '/org/freedesktop/systemd1').EmitSignal(
        'org.freedesktop.systemd1.Manager', 'JobRemoved', 'uoss',
        [dbus.UInt32(7), dbus.ObjectPath('/org/freedesktop/systemd1/job/7'), 'ssh.service', 'done'],
        dbus_interface='org.freedesktop.DBus.Mock')
else:
    firewall = dbus.Interface(bus.get_object('com.kiv.securitycenter', '/SecuritySetting/firewall'),
                              'com.kiv.securitycenter.firewallsetting')
    if name == 'firewalld_level':
        firewall.SetFirewallLevel(int(value))
    else:
        firewall.SetFirewallStatus(value == '1')
        if '%1' == 'undo':
            firewall.SetFirewallStatus(False)
)")
                             .arg(how, SshUnit);
    m_fixture->daemon().addMethod("/com/domain/sync", "com.domain.sync", "sync", "ss", "", code);
}

// Everything reported to the agent before has been dealt with: the security centre reports the
// firewall level the server prescribes, and the agent asks the server about it only once the
// handlers queued before have finished.
bool TestPolicy::settle()
{
    const int before = queries().count("firewalld_level");
    m_fixture->securityCenter().emitSignal(Firewall, FirewallInterface, "FirewallLevelChanged", "i", {3});
    return TestEnv::waitFor([&] { return queries().count("firewalld_level") > before; }, 20000);
}

// One thing the outside world does: "key=value" (`gsettings set`), "edit key=value" (the
// settings file written in place), "lock"/"unlock" (the settings folder), "items LIST" (the
// configuration), "unit STATE" (the SSH unit; "none": no unit object), "sync HOW" (the
// daemon), "busy SECONDS" (systemd answers nothing meanwhile), "[forged ]SIGNAL ARG" (sent by
// its service or by another connection), "wait N" (until the server has N queries), "settle".
bool TestPolicy::perform(const QString &step)
{
    const QStringList word = step.split(' ');
    const QString arg = word.last();
    DBusMock &systemd = m_fixture->systemd();
    if (word[0] == "lock" || word[0] == "unlock")
        return QProcess::execute("chattr", {word[0] == "lock" ? "+i" : "-i", SettingsFolder}) == 0;
    if (word[0] == "edit")
        return editInPlace(arg.section('=', 0, 0), arg.section('=', 1));
    if (word[0] == "items")
        m_fixture->root().writeConfig(config(m_fixture->server().address(), arg));
    else if (word[0] == "sync")
        daemonSync(arg);
    if (word[0] == "items" || word[0] == "sync")
        return true;
    if (word[0] == "wait")
        return TestEnv::waitFor([&] { return queries().size() >= arg.toInt(); }, 20000);
    if (word[0] == "settle")
        return settle();
    if (word[0] == "busy")
        return QDBusConnection::systemBus().send(QDBusMessage::createMethodCall(
                   systemd.busName(), SystemdManager, "org.freedesktop.systemd1.Manager", "Sleep")
               << arg.toDouble());
    if (word[0] == "unit") {
        systemd.mock(SystemdManager, "RemoveObject", {SshUnit});
        if (arg == "none")
            return true;
        systemd.addObject(SystemdManager, SshUnit, "org.freedesktop.systemd1.Unit");
        return systemd.mock(SshUnit, "AddProperty", {"org.freedesktop.systemd1.Unit", "ActiveState",
                                                     QVariant::fromValue(QDBusVariant(arg))})
                   .type() == QDBusMessage::ReplyMessage;
    }
    if (word.size() == 1)
        return !gsettings("set", step.section('=', 0, 0), step.section('=', 1)).startsWith("failed");
    const bool forged = word[0] == "forged";
    const QString name = word[forged ? 1 : 0];
    QString path = Firewall, interface = FirewallInterface, signature = name == "FirewallLevelChanged" ? "i" : "b";
    QVariantList args{name == "FirewallLevelChanged" ? QVariant(arg.toInt()) : QVariant(arg == "true")};
    if (name == "JobRemoved") {
        path = SystemdManager;
        interface = "org.freedesktop.systemd1.Manager";
        signature = "uoss";
        args = {7u, QVariant::fromValue(QDBusObjectPath("/org/freedesktop/systemd1/job/7")), arg, QString("done")};
    }
    if (forged)
        Fixture::forgeSignal(path, interface, name, args);
    else
        (name == "JobRemoved" ? systemd : m_fixture->securityCenter()).emitSignal(path, interface, name, signature, args);
    return true;
}

// ---- the query client, in this process

void TestPolicy::replies_data()
{
    QTest::addColumn<PolicyQuery>("query");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("front");  // "" the stand-in server, "refused" or "garbage" instead
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<QString>("result");  // code|success|switch|value|value type|wallpaper URL

    const auto row = [](const char *name, PolicyQuery query, const QString &policy, const QString &front,
                        const QJsonObject &reply, const QString &result) {
        QTest::newRow(name) << query << policy << front << reply << result;
    };
    const QJsonObject wallpaper = DomainServer::reply(QJsonObject{{"data", QJsonObject{
        {"code", 200}, {"success", true}, {"switch_status", 1}, {"policy", Picture}, {"wallpaper_url", "http://srv/corp.png"}}}});
    row("enforceable", &HttpProxy::getSSHPolicy, "ssh", "", DomainServer::policyReply(0), "200|1|1|0|1|");
    row("switched off", &HttpProxy::getUSBPolicy, "usb", "", DomainServer::policyReply(1, 0), "200|1|0|1|1|");
    row("wallpaper text", &HttpProxy::getWallPaperPolicy, "wallpaper", "", wallpaper,
        "200|1|1|" + Picture + "|3|http://srv/corp.png");
    row("number sent as text", &HttpProxy::getUSBStoragePolicy, "usb_storage", "", DomainServer::policyReply("2"),
        "200|1|1|0|1|");
    row("success false", &HttpProxy::getFirewallldPolicy, "firewalld", "", DomainServer::policyReply(1, 1, 403, false),
        "403|0|0||1|");
    row("no data", &HttpProxy::getFirewalldLevelPolicy, "firewalld_level", "",
        DomainServer::reply(QJsonObject{{"code", 200}}), "0|0|0||1|");
    row("data without policy", &HttpProxy::getIdeldelayPolicy, "idle-delay", "",
        DomainServer::reply(QJsonObject{{"data", QJsonObject{{"code", 200}, {"success", true}}}}), "200|0|0||1|");
    row("array", &HttpProxy::getSSHPolicy, "ssh", "", DomainServer::reply(QJsonArray{1, 2}), "0|0|0||1|");
    row("not JSON", &HttpProxy::getSSHPolicy, "ssh", "", DomainServer::fault("notjson"), "0|0|0||1|");
    row("HTTP 500", &HttpProxy::getSSHPolicy, "ssh", "", DomainServer::fault("http500"), "0|0|0||1|");
    row("refused", &HttpProxy::getSSHPolicy, "ssh", "refused", {}, "0|0|0||1|");
    row("not HTTP", &HttpProxy::getSSHPolicy, "ssh", "garbage", {}, "0|0|0||1|");
}

void TestPolicy::replies()
{
    QFETCH(PolicyQuery, query);
    QFETCH(QString, name);
    QFETCH(QString, front);
    QFETCH(QJsonObject, reply);
    QFETCH(QString, result);

    QTcpServer garbage;
    QVERIFY(garbage.listen(QHostAddress::LocalHost));
    connect(&garbage, &QTcpServer::newConnection, [&garbage] {
        QTcpSocket *client = garbage.nextPendingConnection();
        client->write(QByteArray("\x16\x03\x01\x00\xff garbage \xfe\xfd\r\n\r\n", 20));
        client->disconnectFromHost();
    });
    QString address = m_fixture->server().address();
    if (front == "garbage")
        address = "127.0.0.1:" + QString::number(garbage.serverPort());
    else if (front == "refused")
        address = "127.0.0.1:1";
    m_fixture->root().writeConfig(config(address));
    QVERIFY(m_fixture->server().setPolicy(name, reply));

    const HttpResult answer = (HttpProxy().*query)();
    QCOMPARE(summary(answer), result);
    QCOMPARE(answer.policyType, name);
    if (!front.isEmpty())
        return;
    // One plain GET for this terminal and this policy.
    const QList<QJsonObject> requests = m_fixture->server().requests("policy");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].value("method").toString(), QString("GET"));
    QCOMPARE(requests[0].value("path").toString(), QString("/mainapi/device/sync/policy/term-12/"));
    QCOMPARE(requests[0].value("query").toString(), "policy_type=" + name);
}

void TestPolicy::queryLimitAndTurns()
{
    // The USB answer would come after 36 s: the query gives up at its 30 s limit. Meanwhile two
    // more queries are asked, the second inside the first one's wait: each waits its turn.
    QVERIFY(m_fixture->server().setPolicy("usb", delayed(DomainServer::policyReply(1), 36000)));
    QVERIFY(m_fixture->server().setPolicy("ssh", DomainServer::policyReply(7)));
    QVERIFY(m_fixture->server().setPolicy("wallpaper", DomainServer::policyReply(Picture)));
    HttpProxy proxy;
    HttpResult ssh, wallpaper;
    QTimer::singleShot(50, [&] { ssh = proxy.getSSHPolicy(); });
    QTimer::singleShot(150, [&] { wallpaper = proxy.getWallPaperPolicy(); });
    QCOMPARE(proxy.getUSBPolicy().value, QString());
    QCOMPARE(ssh.value, QString("7"));
    QCOMPARE(wallpaper.value, Picture);
    QCOMPARE(queries(), (QStringList{"usb", "wallpaper", "ssh"}));
    const QList<QJsonObject> requests = m_fixture->server().requests("policy");
    QVERIFY(requests[1].value("received_ms").toDouble() - requests[0].value("received_ms").toDouble() > 25000);
    QCOMPARE(proxy.getSSHPolicy().value, QString("7"));  // and the next one goes straight through
}

void TestPolicy::breakerWindow()
{
    // Corrections at 0, 20 and 40 s: the fourth waits until the first is a minute old.
    CorrectionGuard guard;
    const auto mayCorrect = [&](qint64 at) {
        return guard.mayCorrect("test", "usb", CorrectionGuard::Kind::Setting, guard.reported("usb"), "0", "1", at);
    };
    for (const qint64 at : {0, 20000, 40000}) {
        QVERIFY(mayCorrect(at));
        guard.corrected("usb", false, at);
    }
    QVERIFY(!mayCorrect(59999));
    QVERIFY(mayCorrect(60000));
}

void TestPolicy::missingSchemaOrKey()
{
    // Changes of keys this process's desktop lacks, and corrections meant for them, end without
    // a query and without an abort.
    SyncPolicy *engine = SyncPolicy::instance();
    for (const char *key : {"pictureUri", "idleDelay", "usbintfctrl"})
        engine->onSettingsChanged(key);
    engine->doSettingsSyncInt("idle-delay", 900, 120);
    engine->doSettingsSyncInt("usb", 0, 1);
    engine->doSettingsSyncStr("wallpaper", "file:///a.png", Picture);
    QCOMPARE(queries(), QStringList());
}

// ---- the engine, in the agent

void TestPolicy::enforcement_data()
{
    QTest::addColumn<QStringList>("steps");  // see perform()
    QTest::addColumn<QString>("policy");
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<QStringList>("after");  // "key=value" read with gsettings, or from the configuration
    QTest::addColumn<QString>("synced");     // see expand()
    QTest::addColumn<QString>("queried");
    QTest::addColumn<QStringList>("warned");  // a part of each warning line

    const auto on = [](const QJsonValue &value) { return DomainServer::policyReply(value); };
    const QString cat = "picture-uri='file:///home/alice/cat.png'";
    const QStringList none;
    // A put-back raises one more change, and a sync one more report: each finds the values equal.
    QTest::newRow("wallpaper") << QStringList{cat} << "wallpaper" << on(Picture)
                               << QStringList{"picture-uri='" + Picture + "'"} << "" << "wallpaper*2" << none;
    QTest::newRow("usb interfaces") << QStringList{"usbintfctrl=2"} << "usb" << on(1) << QStringList{"usbintfctrl=1"}
                                    << "" << "usb*2" << none;
    QTest::newRow("usb storage") << QStringList{"usbstoragestatus=1"} << "usb_storage" << on(2)
                                 << QStringList{"usbstoragestatus=2"} << "" << "usb_storage*2" << none;
    QTest::newRow("idle delay, stored") << QStringList{"idle-delay=900"} << "idle-delay" << on(120)
                                        << QStringList{"idle-delay=uint32 120", "policy/idleDelay=120"} << ""
                                        << "idle-delay*2" << none;
    QTest::newRow("idle delay, stored one stands in")
        << QStringList{"idle-delay=900"} << "idle-delay" << DomainServer::policyReply(50, 1, 500)
        << QStringList{"idle-delay=uint32 240", "policy/idleDelay=240"} << "" << "idle-delay*2" << none;
    QTest::newRow("idle delay switched off") << QStringList{"idle-delay=900"} << "idle-delay"
                                             << DomainServer::policyReply(120, 0)
                                             << QStringList{"idle-delay=uint32 900", "policy/idleDelay=240"} << ""
                                             << "idle-delay" << none;
    QTest::newRow("switched off") << QStringList{"usbintfctrl=2"} << "usb" << DomainServer::policyReply(1, 0)
                                  << QStringList{"usbintfctrl=2"} << "" << "usb" << none;
    QTest::newRow("code not 200") << QStringList{"usbstoragestatus=1"} << "usb_storage"
                                  << DomainServer::policyReply(2, 1, 404) << QStringList{"usbstoragestatus=1"} << ""
                                  << "usb_storage" << none;
    QTest::newRow("server fails") << QStringList{cat} << "wallpaper" << DomainServer::fault("http500")
                                  << QStringList{cat} << "" << "wallpaper" << none;
    QTest::newRow("key not listed") << QStringList{"items idleDelay", "usbintfctrl=2", "idle-delay=900"} << "usb"
                                    << on(1) << QStringList{"usbintfctrl=2"} << "" << "idle-delay" << none;
    QTest::newRow("listed key without a policy") << QStringList{"picture-options='centered'", "idle-delay=900"}
                                                 << "wallpaper" << on(Picture) << none << "" << "idle-delay" << none;
    QTest::newRow("ssh stopped") << QStringList{"unit inactive", "JobRemoved ssh.service"} << "ssh" << on(1) << none
                                 << "ssh=1" << "ssh*2" << none;
    QTest::newRow("ssh running") << QStringList{"unit active", "JobRemoved ssh.service"} << "ssh" << on(1) << none
                                 << "" << "ssh" << none;
    QTest::newRow("ssh running, policy 0") << QStringList{"unit active", "JobRemoved ssh.service"} << "ssh" << on(0)
                                           << none << "ssh=0" << "ssh*2" << none;
    QTest::newRow("ssh state unreadable") << QStringList{"unit none", "JobRemoved ssh.service"} << "ssh" << on(1)
                                          << none << "ssh=1" << "ssh" << none;
    QTest::newRow("systemd silent") << QStringList{"unit active", "JobRemoved ssh.service", "busy 8"} << "ssh"
                                    << delayed(on(1), 300) << none << "ssh=1" << "ssh*2" << none;
    QTest::newRow("ssh switched off") << QStringList{"unit inactive", "JobRemoved ssh.service"} << "ssh"
                                      << DomainServer::policyReply(1, 0) << none << "" << "ssh" << none;
    QTest::newRow("another unit") << QStringList{"unit inactive", "JobRemoved cron.service"} << "ssh" << on(1) << none
                                  << "" << "" << none;
    QTest::newRow("forged job") << QStringList{"unit inactive", "forged JobRemoved ssh.service"} << "ssh" << on(1)
                                << none << "" << "" << none;
    QTest::newRow("firewall off") << QStringList{"FirewallStatusChanged false"} << "firewalld" << on(1) << none
                                  << "firewalld=1" << "firewalld*2" << none;
    QTest::newRow("firewall on") << QStringList{"FirewallStatusChanged true"} << "firewalld" << on(1) << none << ""
                                 << "firewalld" << none;
    QTest::newRow("firewall level") << QStringList{"FirewallLevelChanged 2"} << "firewalld_level" << on(3) << none
                                    << "firewalld_level=3" << "firewalld_level*2" << none;
    QTest::newRow("firewall level equal") << QStringList{"FirewallLevelChanged 3"} << "firewalld_level" << on(3)
                                          << none << "" << "firewalld_level" << none;
    QTest::newRow("forged firewall") << QStringList{"forged FirewallStatusChanged false"} << "firewalld" << on(1)
                                     << none << "" << "" << none;
    QTest::newRow("forged firewall level") << QStringList{"forged FirewallLevelChanged 2"} << "firewalld_level"
                                           << on(3) << none << "" << "" << none;
    // A correction that does not take is not repeated for the same values; one that the
    // desktop undoes at once stops after three until a change that is not the agent's own.
    QTest::newRow("ssh start fails") << QStringList{"sync fails", "unit inactive", "JobRemoved ssh.service",
                                                    "JobRemoved ssh.service"}
                                     << "ssh" << on(1) << none << "ssh=1" << "ssh*3"
                                     << QStringList{"the state of ssh could not be corrected, local value: 0, server value: 1"};
    QTest::newRow("firewall undone at once")
        << QStringList{"sync undo", "FirewallStatusChanged false", "wait 7", "settle", "FirewallStatusChanged false"}
        << "firewalld" << on(1) << none << "firewalld=1*6" << "firewalld*7 firewalld_level firewalld*7"
        << QStringList{"firewalld corrected 3 times", "firewalld corrected 6 times"};
    // A write refused while the settings are locked does not keep the next change from being put back.
    QTest::newRow("locked, then unlocked")
        << QStringList{"lock", "edit usbintfctrl=2", "wait 1", "settle", "unlock", "usbintfctrl=0"} << "usb" << on(1)
        << QStringList{"usbintfctrl=1"} << "" << "usb firewalld_level usb*2"
        << QStringList{"the state of usb could not be corrected, local value: 2, server value: 1"};
}

void TestPolicy::enforcement()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, policy);
    QFETCH(QJsonObject, reply);
    QFETCH(QStringList, after);
    QFETCH(QString, synced);
    QFETCH(QString, queried);
    QFETCH(QStringList, warned);

    QVERIFY(m_fixture->server().setPolicy(policy, reply));
    daemonSync("works");
    QVERIFY(startAgent(config()));
    for (const QString &step : steps)
        QVERIFY2(perform(step), qPrintable(step));
    QTRY_COMPARE_WITH_TIMEOUT(queries(), expand(queried), 20000);
    // Nothing more follows.
    QVERIFY(settle());
    QCOMPARE(queries(), expand(queried) << "firewalld_level");
    QCOMPARE(this->synced(), expand(synced));
    for (const QString &pair : after) {
        const QString key = pair.section('=', 0, 0);
        QCOMPARE(key.startsWith("policy/")
                     ? QSettings(m_fixture->root().path(TestEnv::ConfigIni), QSettings::IniFormat).value(key).toString()
                     : gsettings("get", key),
                 pair.section('=', 1));
    }
    const QStringList lines = warnings();
    QCOMPARE(lines.size(), warned.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(lines[i].contains(warned[i]), qPrintable(lines[i]));
}

void TestPolicy::pendingQuery_data()
{
    QTest::addColumn<QJsonObject>("reply");
    QTest::newRow("slow answer") << delayed(DomainServer::policyReply(Picture), 1500);
    QTest::newRow("no answer") << DomainServer::fault("hang");
}

void TestPolicy::pendingQuery()
{
    QFETCH(QJsonObject, reply);
    QVERIFY(m_fixture->server().setPolicy("wallpaper", reply));
    QVERIFY(m_fixture->server().setPolicy("idle-delay", DomainServer::policyReply(120)));
    QVERIFY(startAgent(config()));

    // While the wallpaper query waits, the agent serves its callers, the change stands and a
    // further change waits its turn.
    QVERIFY(perform("picture-uri='file:///home/alice/cat.png'"));
    QVERIFY(m_fixture->server().waitForRequests("policy", 1));
    QVERIFY(perform("idle-delay=900"));
    QCOMPARE(Fixture::answer(Fixture::call("showNotify", {QString("still serving"), 0}), 5000), QString());
    QCOMPARE(gsettings("get", "picture-uri"), QString("'file:///home/alice/cat.png'"));
    QCOMPARE(queries(), QStringList{"wallpaper"});
    if (reply.contains("fault"))
        return;
    QTRY_COMPARE_WITH_TIMEOUT(gsettings("get", "idle-delay"), QString("uint32 120"), 15000);
    QCOMPARE(gsettings("get", "picture-uri"), "'" + Picture + "'");
}

void TestPolicy::withoutSecurityCenter()
{
    // Only the wallpaper and the idle delay are watched: USB keys, SSH and the firewall are not.
    QVERIFY(m_fixture->server().setPolicy("*", DomainServer::policyReply(1)));
    QVERIFY(m_fixture->server().setPolicy("wallpaper", DomainServer::policyReply(Picture)));
    QVERIFY(startAgent(config("%SERVER%", AllItems, false)));
    for (const QString &step : {"unit inactive", "JobRemoved ssh.service", "FirewallStatusChanged false",
                                "usbintfctrl=2", "picture-uri='file:///home/alice/cat.png'"})
        QVERIFY(perform(step));
    QTRY_COMPARE_WITH_TIMEOUT(queries(), expand("wallpaper*2"), 15000);
    // A second put-back: whatever was reported before the first has been dealt with.
    QVERIFY(perform("picture-uri='file:///home/alice/dog.png'"));
    QTRY_COMPARE_WITH_TIMEOUT(queries(), expand("wallpaper*4"), 15000);
    QCOMPARE(gsettings("get", "usbintfctrl"), QString("2"));
    QCOMPARE(synced(), QStringList());
}

QTEST_GUILESS_MAIN(TestPolicy)
#include "tst_policy.moc"

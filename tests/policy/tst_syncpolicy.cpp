// The policy engine end to end: desktop settings changed by an outside `gsettings`, the stand-in
// domain server's policies, systemd's and the security center's signals from their stand-ins,
// and what the daemon's stand-in is asked to sync.
#include <QtTest>

#include <QProcess>
#include <QSettings>

#include <glib.h>

#include "dbusmock.h"
#include "domainserver.h"
#include "httpproxy.h"
#include "log.h"
#include "paths.h"
#include "policytestsupport.h"
#include "syncpolicy.h"
#include "testenv.h"

using namespace PolicyTest;

Q_DECLARE_METATYPE(PolicyTest::DaemonSync)

namespace {
const QString AllItems = "pictureUri,idleDelay,usbintfctrl,usbstoragestatus,pictureOptions";

QStringList repeated(const QString &text, int times)
{
    QStringList list;
    while (list.size() < times)
        list << text;
    return list;
}
}

class TestSyncPolicy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // First: the engine starts here without the security center.
    void withoutSecurityCenterOnlyDesktopIsWatched();

    void guardedSettingIsPutBack_data();
    void guardedSettingIsPutBack();
    void changeThatStands_data();
    void changeThatStands();
    void changesDuringASlowQueryAreAllPutBack();
    void sshJobRemoved_data();
    void sshJobRemoved();
    void firewallSignals_data();
    void firewallSignals();

private:
    void configure(const QString &items, const QString &extra = QString())
    {
        writeConfig(*m_root, m_server->address(), items, true, extra);
    }
    void watchEverything();
    void emitFirewallSignal(const QString &name, const QVariant &argument);
    // The warning lines of the engine's log, without time and level.
    QStringList warnings() const;

    TestEnv::TempRoot *m_root = nullptr;
    DomainServer *m_server = nullptr;
    DBusMock *m_systemd = nullptr;
    DBusMock *m_securityCenter = nullptr;
    DBusMock *m_daemon = nullptr;
    bool m_watchingEverything = false;
};

void TestSyncPolicy::initTestCase()
{
    m_root = new TestEnv::TempRoot;
    Log::GetInstance()->setLogPath(Paths::logFile());
    m_server = new DomainServer;
    QVERIFY(m_server->isRunning());
    m_systemd = DBusMock::fromTemplate("systemd", DBusMock::SystemBus);
    m_securityCenter = DBusMock::fromTemplate(TestEnv::simDir() + "/securitycenter.py", DBusMock::SystemBus);
    m_daemon = DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus);
    QVERIFY(m_systemd->isRunning() && m_securityCenter->isRunning() && m_daemon->isRunning());
    setSshUnitState(*m_systemd, "inactive");
    m_systemd->addMethod(SystemdManager, "org.freedesktop.systemd1.Manager", "Subscribe", "", "", "");
    setDaemonSync(*m_daemon, DaemonSync::Works);
    // The engine takes the server's address when it is made.
    writeConfig(*m_root, m_server->address(), AllItems, false);
    SyncPolicy::instance()->monitor();
}

void TestSyncPolicy::cleanupTestCase()
{
    delete m_daemon;
    delete m_securityCenter;
    delete m_systemd;
    delete m_server;
    delete m_root;
}

void TestSyncPolicy::watchEverything()
{
    if (m_watchingEverything)
        return;
    m_watchingEverything = true;
    configure(AllItems);
    SyncPolicy::instance()->monitor();
    // Without a subscription systemd would never send the engine its job signals.
    QTRY_COMPARE_WITH_TIMEOUT(m_systemd->callsOf(SystemdManager, "Subscribe").size(), 1, 5000);
}

void TestSyncPolicy::init()
{
    if (QTest::currentTestFunction() != QByteArray("withoutSecurityCenterOnlyDesktopIsWatched"))
        watchEverything();
    else
        writeConfig(*m_root, m_server->address(), AllItems, false);
    // Every policy switched off: a report of each item then ends what the engine knew of the
    // corrections of earlier cases.
    QVERIFY(m_server->setScenario(QJsonObject{{"policy", QJsonObject{{"*", DomainServer::policyReply(0, 0)}}}}));
    setDaemonSync(*m_daemon, DaemonSync::Works);
    if (m_watchingEverything) {
        m_server->clearRequests();
        emitJobRemoved(*m_systemd, "ssh.service");
        emitFirewallSignal("FirewallStatusChanged", true);
        emitFirewallSignal("FirewallLevelChanged", 1);
        QVERIFY(TestEnv::waitFor([&] {
            const QStringList queries = m_server->policyQueries();
            return queries.contains("ssh") && queries.contains("firewalld") && queries.contains("firewalld_level");
        }, 15000));
    }
    // Back to the schemas' defaults, and wait until that has been handled.
    for (const QString &schema : {Background, Session, DeviceControl})
        gsettingsReset(schema);
    QVERIFY(settle(*m_root));
    m_server->clearRequests();
    m_daemon->clearCalls(SyncPath);
    QFile(Paths::logFile()).remove();
}

void TestSyncPolicy::emitFirewallSignal(const QString &name, const QVariant &argument)
{
    m_securityCenter->mock("/SecuritySetting/firewall", "EmitSignal",
                           {"com.kiv.securitycenter.firewallsetting", name,
                            argument.type() == QVariant::Bool ? "b" : "i", QVariantList{argument}});
}

QStringList TestSyncPolicy::warnings() const
{
    QStringList lines;
    for (const QString &line : m_root->logText().split('\n'))
        if (line.contains("[LOG_WARN] "))
            lines << line.mid(line.indexOf("[LOG_WARN] ") + 11);
    return lines;
}

void TestSyncPolicy::withoutSecurityCenterOnlyDesktopIsWatched()
{
    QVERIFY(m_server->setPolicy("*", DomainServer::policyReply(1, 1)));
    QVERIFY(m_server->setPolicy("wallpaper", wallpaperReply("file:///srv/corp.png")));

    QVERIFY(gsettingsSet(DeviceControl, "usbintfctrl", "2"));
    emitJobRemoved(*m_systemd, "ssh.service");
    emitFirewallSignal("FirewallLevelChanged", 3);
    flushSystemBus(*m_systemd, SystemdManager);
    flushSystemBus(*m_securityCenter, "/SecuritySetting/firewall");
    QVERIFY(gsettingsSet(Background, "picture-uri", "'file:///home/alice/cat.png'"));
    QTRY_COMPARE_WITH_TIMEOUT(gsettingsGet(Background, "picture-uri"), QString("'file:///srv/corp.png'"), 15000);
    QVERIFY(settle(*m_root));

    QVERIFY(!m_root->logText().contains("onSettingsChanged usbintfctrl"));
    QCOMPARE(gsettingsGet(DeviceControl, "usbintfctrl"), QString("2"));
    QCOMPARE(m_server->policyQueries(), (QStringList{"wallpaper", "wallpaper"}));
    QCOMPARE(syncCalls(*m_daemon), QStringList());

    // Watching everything later adds the rest and leaves what is watched already as it was.
    watchEverything();
    QVERIFY(gsettingsSet(Background, "picture-uri", "'file:///home/alice/dog.png'"));
    QTRY_COMPARE_WITH_TIMEOUT(gsettingsGet(Background, "picture-uri"), QString("'file:///srv/corp.png'"), 15000);
    QVERIFY(settle(*m_root));
    QCOMPARE(m_root->countInLog("onSettingsChanged pictureUri"), 4);
    emitJobRemoved(*m_systemd, "ssh.service");
    QTRY_COMPARE_WITH_TIMEOUT(syncCalls(*m_daemon), QStringList{"ssh=1"}, 10000);
}

void TestSyncPolicy::guardedSettingIsPutBack_data()
{
    QTest::addColumn<QString>("schema");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("policy");
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<QString>("localValue");
    QTest::addColumn<QString>("serverValue");  // as `gsettings get` shows it
    QTest::addColumn<QString>("storedIdleDelay");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("lockedValue");  // set first while the settings cannot be written

    QTest::newRow("wallpaper") << Background << "picture-uri" << "wallpaper" << wallpaperReply("file:///srv/corp.png")
                               << "'file:///home/alice/cat.png'" << "'file:///srv/corp.png'" << ""
                               << "sync policy wallpaper status from server, local status:file:///home/alice/cat.png "
                                  "server status:file:///srv/corp.png"
                               << "";
    QTest::newRow("usb interfaces") << DeviceControl << "usbintfctrl" << "usb" << DomainServer::policyReply(1) << "0"
                                    << "1" << "" << "sync policy usb status from server, local status:0 server status:1"
                                    << "";
    QTest::newRow("usb storage") << DeviceControl << "usbstoragestatus" << "usb_storage"
                                 << DomainServer::policyReply(2) << "1" << "2" << ""
                                 << "sync policy usb_storage status from server, local status:1 server status:2" << "";
    QTest::newRow("idle delay") << Session << "idle-delay" << "idle-delay" << DomainServer::policyReply(120) << "900"
                                << "uint32 120" << "120" << "local idle_delay: 900, server_idle_delay: 120" << "";
    QTest::newRow("idle delay falls back to the stored value")
        << Session << "idle-delay" << "idle-delay" << DomainServer::policyReply(50, 1, 500) << "900" << "uint32 240"
        << "240" << "local idle_delay: 900, server_idle_delay: 240" << "";
    QTest::newRow("idle delay, after a refused write")
        << Session << "idle-delay" << "idle-delay" << DomainServer::policyReply(120) << "900" << "uint32 120"
        << "120" << "local idle_delay: 900, server_idle_delay: 120" << "600";
}

namespace {
// The user's settings folder made immutable stands for a lock: the settings backend refuses
// every write, the engine's too, once it has seen the folder change. An outside process can
// still edit the settings file in place, and the engine sees that as a change of the key.
struct SettingsFolderLock {
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/glib-2.0/settings";
    const bool locked = QProcess::execute("chattr", {"+i", folder}) == 0;
    ~SettingsFolderLock()
    {
        if (locked)
            QProcess::execute("chattr", {"-i", folder});
    }
};

bool editSettingsFileInPlace(const QString &schema, const QString &key, const QString &value)
{
    QFile file(qEnvironmentVariable("XDG_CONFIG_HOME") + "/glib-2.0/settings/keyfile");
    if (!file.open(QIODevice::ReadWrite))
        return false;
    GKeyFile *settings = g_key_file_new();
    const QByteArray text = file.readAll();
    g_key_file_load_from_data(settings, text.constData(), gsize(text.size()), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    g_key_file_set_value(settings, QString(schema).replace('.', '/').toUtf8().constData(), key.toUtf8().constData(),
                         value.toUtf8().constData());
    gsize length = 0;
    gchar *edited = g_key_file_to_data(settings, &length, nullptr);
    g_key_file_free(settings);
    const bool written = file.resize(0) && file.write(edited, qint64(length)) == qint64(length);
    g_free(edited);
    return written;
}
}  // namespace

void TestSyncPolicy::guardedSettingIsPutBack()
{
    QFETCH(QString, schema);
    QFETCH(QString, key);
    QFETCH(QString, policy);
    QFETCH(QJsonObject, reply);
    QFETCH(QString, localValue);
    QFETCH(QString, serverValue);
    QFETCH(QString, storedIdleDelay);
    QFETCH(QString, logged);
    QFETCH(QString, lockedValue);

    configure(AllItems, "idleDelay=240\n");
    if (localValue == "0")
        QVERIFY(gsettingsSet(schema, key, "2"));  // a change away from the default first
    QVERIFY(settle(*m_root));
    m_server->clearRequests();
    QVERIFY(m_server->setPolicy(policy, reply));

    const int refused = lockedValue.isEmpty() ? 0 : 1;
    if (refused) {
        const SettingsFolderLock lock;
        QVERIFY2(lock.locked, "chattr +i on the settings folder failed");
        QVERIFY(editSettingsFileInPlace(schema, key, lockedValue));
        // The new warning is the output here: the engine could not put the value back (the
        // server's idle delay is the one it stores).
        QVERIFY2(m_root->waitForLog("writeBack: the state of " + policy + " could not be corrected, local value: " +
                                        lockedValue + ", server value: " + storedIdleDelay,
                                    15000),
                 qPrintable(m_root->logText()));
        QVERIFY(gsettingsGet(schema, key).endsWith(lockedValue));
    }
    // The write refused while the lock was on does not keep the engine from writing now.
    QVERIFY(gsettingsSet(schema, key, localValue));
    QTRY_COMPARE_WITH_TIMEOUT(gsettingsGet(schema, key), serverValue, 15000);
    // The write raises one more change; that one finds the values equal.
    QVERIFY(m_server->waitForRequests("policy", 2 + refused, 15000));
    QVERIFY(settle(*m_root));

    QCOMPARE(m_server->policyQueries(), repeated(policy, 2 + refused));
    QCOMPARE(m_root->countInLog("sync policy " + policy + " status from server"), 1 + refused);
    QVERIFY2(m_root->logText().contains(logged), qPrintable(m_root->logText()));
    QCOMPARE(warnings().size(), refused);
    if (!storedIdleDelay.isEmpty())
        QCOMPARE(QSettings(m_root->path(ConfigIni), QSettings::IniFormat).value("policy/idleDelay").toString(),
                 storedIdleDelay);
}

void TestSyncPolicy::changeThatStands_data()
{
    QTest::addColumn<QString>("items");  // null: no "policy/items"
    QTest::addColumn<QString>("schema");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<QStringList>("queries");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("notLogged");

    const QJsonObject usbOn = DomainServer::policyReply(1);
    QTest::newRow("switched off") << AllItems << DeviceControl << "usbintfctrl" << "2"
                                  << DomainServer::policyReply(1, 0) << QStringList{"usb"} << "onSettingsChanged usbintfctrl"
                                  << "sync policy";
    QTest::newRow("success false") << AllItems << Background << "picture-uri" << "'file:///a.png'"
                                   << DomainServer::policyReply("file:///b.png", 1, 200, false)
                                   << QStringList{"wallpaper"} << "failed to parse http reply of wallpaper"
                                   << "sync policy";
    QTest::newRow("server error") << AllItems << DeviceControl << "usbstoragestatus" << "1"
                                  << DomainServer::fault("http500") << QStringList{"usb_storage"}
                                  << "failed to get http policy request usb_storage" << "sync policy";
    QTest::newRow("idle delay switched off") << AllItems << Session << "idle-delay" << "uint32 900"
                                             << DomainServer::policyReply(120, 0) << QStringList{"idle-delay"}
                                             << "onSettingsChanged idleDelay" << "local idle_delay";
    QTest::newRow("key not listed") << "pictureUri" << DeviceControl << "usbintfctrl" << "2" << usbOn << QStringList{}
                                    << "don't control policy usbintfctrl" << "sync policy";
    QTest::newRow("no items") << QString() << Background << "picture-uri" << "'file:///a.png'" << usbOn
                              << QStringList{} << "don't control policy pictureUri" << "sync policy";
    QTest::newRow("empty items") << "" << DeviceControl << "usbintfctrl" << "2" << usbOn << QStringList{}
                                 << "don't control policy usbintfctrl" << "sync policy";
    QTest::newRow("listed key without a policy") << AllItems << Background << "picture-options" << "'centered'"
                                                 << usbOn << QStringList{} << "onSettingsChanged pictureOptions"
                                                 << "don't control policy pictureOptions";
}

void TestSyncPolicy::changeThatStands()
{
    QFETCH(QString, items);
    QFETCH(QString, schema);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QJsonObject, reply);
    QFETCH(QStringList, queries);
    QFETCH(QString, logged);
    QFETCH(QString, notLogged);

    configure(items);
    QVERIFY(m_server->setPolicy("*", reply));
    QVERIFY(m_server->setPolicy("wallpaper", reply));

    QVERIFY(gsettingsSet(schema, key, value));
    QVERIFY(settle(*m_root));

    QCOMPARE(gsettingsGet(schema, key), value);
    QCOMPARE(m_server->policyQueries(), queries);
    QVERIFY2(m_root->logText().contains(logged), qPrintable(m_root->logText()));
    QVERIFY2(!m_root->logText().contains(notLogged), qPrintable(m_root->logText()));
}

void TestSyncPolicy::changesDuringASlowQueryAreAllPutBack()
{
    // The USB query waits 800 ms for its answer. During that wait an outside process changes the
    // wallpaper and the security center reports the firewall off: they are handled after it, and
    // every one of the three ends promptly with the server's value.
    QJsonObject slowUsb = DomainServer::policyReply(1);
    slowUsb.insert("delay_ms", 800);
    QVERIFY(m_server->setPolicy("usb", slowUsb));
    QVERIFY(m_server->setPolicy("wallpaper", wallpaperReply("file:///srv/corp.png")));
    QVERIFY(m_server->setPolicy("firewalld", DomainServer::policyReply(1)));

    QTimer::singleShot(300, [] {
        QProcess::startDetached("gsettings", {"set", Background, "picture-uri", "'file:///home/alice/cat.png'"});
    });
    QTimer::singleShot(350, [this] {
        emitFirewallSignal("FirewallStatusChanged", false);
    });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(gsettingsSet(DeviceControl, "usbintfctrl", "2"));

    QTRY_COMPARE_WITH_TIMEOUT(gsettingsGet(DeviceControl, "usbintfctrl"), QString("1"), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(gsettingsGet(Background, "picture-uri"), QString("'file:///srv/corp.png'"), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(syncCalls(*m_daemon), QStringList{"firewalld=1"}, 15000);

    // Each revert's own change notification is handled too, and nothing waits for a time limit.
    QTRY_COMPARE_WITH_TIMEOUT(m_server->policyQueries().count("usb"), 2, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->policyQueries().count("wallpaper"), 2, 15000);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    const QList<QJsonObject> requests = m_server->requests("policy");
    QCOMPARE(requests.first().value("params").toObject().value("policy_type").toString(), QString("usb"));
    // The others waited for the USB answer.
    QVERIFY(requests[1].value("received_ms").toDouble() - requests[0].value("received_ms").toDouble() >= 400);
    QVERIFY(!m_root->logText().contains("no reply within"));
}

void TestSyncPolicy::sshJobRemoved_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("state");  // "" no unit object: the state cannot be read
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<DaemonSync>("daemon");
    QTest::addColumn<QStringList>("synced");
    QTest::addColumn<int>("queries");  // until the first job signal has been dealt with
    QTest::addColumn<QStringList>("warned");

    const auto works = DaemonSync::Works;
    const QStringList none;
    const QString notCorrected = "onSSHStatusChanged: the state of ssh could not be corrected, local value: 0, "
                                 "server value: 1";
    // A sync raises a job signal of its own, which asks the server once more.
    QTest::newRow("inactive, policy on") << "ssh.service" << "inactive" << DomainServer::policyReply(1) << works
                                         << QStringList{"ssh=1"} << 2 << none;
    QTest::newRow("failed, policy on") << "ssh.service" << "failed" << DomainServer::policyReply(1) << works
                                       << QStringList{"ssh=1"} << 2 << none;
    QTest::newRow("active, policy on") << "ssh.service" << "active" << DomainServer::policyReply(1) << works << none
                                       << 1 << none;
    QTest::newRow("active, policy off") << "ssh.service" << "active" << DomainServer::policyReply(0) << works
                                        << QStringList{"ssh=0"} << 2 << none;
    QTest::newRow("inactive, policy off") << "ssh.service" << "inactive" << DomainServer::policyReply(0) << works
                                          << none << 1 << none;
    QTest::newRow("state unreadable") << "ssh.service" << "" << DomainServer::policyReply(1) << works
                                      << QStringList{"ssh=1"} << 2 << QStringList{notCorrected};
    QTest::newRow("start fails every time") << "ssh.service" << "inactive" << DomainServer::policyReply(1)
                                            << DaemonSync::TakesNothing << QStringList{"ssh=1"} << 2
                                            << QStringList{notCorrected};
    QTest::newRow("switched off") << "ssh.service" << "inactive" << DomainServer::policyReply(1, 0) << works << none
                                  << 1 << none;
    QTest::newRow("server error") << "ssh.service" << "inactive" << DomainServer::fault("http500") << works << none
                                  << 1 << none;
    QTest::newRow("another unit") << "cron.service" << "inactive" << DomainServer::policyReply(1) << works << none
                                  << 0 << none;
}

void TestSyncPolicy::sshJobRemoved()
{
    QFETCH(QString, unit);
    QFETCH(QString, state);
    QFETCH(QJsonObject, reply);
    QFETCH(DaemonSync, daemon);
    QFETCH(QStringList, synced);
    QFETCH(int, queries);
    QFETCH(QStringList, warned);

    setSshUnitState(*m_systemd, state);
    QVERIFY(m_server->setPolicy("*", reply));
    setDaemonSync(*m_daemon, daemon);
    // Each handler runs inside this test's waits: once the server has a query, the handler that
    // sent it has ended, and what it did to the daemon shows in the daemon's call log.
    emitJobRemoved(*m_systemd, unit);
    flushSystemBus(*m_systemd, SystemdManager);
    QVERIFY(m_server->waitForRequests("policy", queries));
    flushSystemBus(*m_systemd, SystemdManager);
    QCOMPARE(m_server->policyQueries(), repeated("ssh", queries));
    QCOMPARE(syncCalls(*m_daemon), synced);
    QCOMPARE(warnings(), warned);

    // The same state reported again, by a job that is not the engine's: one more query, and
    // no sync of a state that is in order or that could not be corrected.
    const int again = unit == "ssh.service" ? queries + 1 : 0;
    emitJobRemoved(*m_systemd, unit);
    flushSystemBus(*m_systemd, SystemdManager);
    QVERIFY(m_server->waitForRequests("policy", again));
    flushSystemBus(*m_systemd, SystemdManager);
    QCOMPARE(m_server->policyQueries().size(), again);
    QCOMPARE(syncCalls(*m_daemon), synced);
    QCOMPARE(warnings(), warned);
    if (state.isEmpty())
        QVERIFY(m_root->logText().contains("onSSHStatusChanged: cannot read the state of ssh.service"));
    setSshUnitState(*m_systemd, "inactive");
}

void TestSyncPolicy::firewallSignals_data()
{
    QTest::addColumn<QString>("method");  // of the security center stand-in
    QTest::addColumn<QVariant>("argument");
    QTest::addColumn<QString>("policy");
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<DaemonSync>("daemon");
    QTest::addColumn<QStringList>("synced");  // for each of the two changes
    QTest::addColumn<int>("queries");         // for each of the two changes
    QTest::addColumn<QStringList>("warned");  // in all; "#" the count of corrections

    const auto works = DaemonSync::Works;
    const QStringList none;
    QTest::newRow("off, policy on") << "SetFirewallStatus" << QVariant(false) << "firewalld"
                                    << DomainServer::policyReply(1) << works << QStringList{"firewalld=1"} << 2 << none;
    QTest::newRow("on, policy on") << "SetFirewallStatus" << QVariant(true) << "firewalld"
                                   << DomainServer::policyReply(1) << works << none << 1 << none;
    QTest::newRow("on, policy off") << "SetFirewallStatus" << QVariant(true) << "firewalld"
                                    << DomainServer::policyReply(0) << works << QStringList{"firewalld=0"} << 2 << none;
    QTest::newRow("status, switched off") << "SetFirewallStatus" << QVariant(false) << "firewalld"
                                          << DomainServer::policyReply(1, 0) << works << none << 1 << none;
    QTest::newRow("level differs") << "SetFirewallLevel" << QVariant(2) << "firewalld_level"
                                   << DomainServer::policyReply(3) << works << QStringList{"firewalld_level=3"} << 2
                                   << none;
    QTest::newRow("level equal") << "SetFirewallLevel" << QVariant(3) << "firewalld_level"
                                 << DomainServer::policyReply(3) << works << none << 1 << none;
    QTest::newRow("level, code not 200") << "SetFirewallLevel" << QVariant(1) << "firewalld_level"
                                         << DomainServer::policyReply(3, 1, 404) << works << none << 1 << none;
    // Each correction takes and is undone at once: after a few the engine stops and waits for
    // a change that is not its own; the user's next change starts a few more.
    const QString breaker = "onFirewallStatusChanged: firewalld corrected # times, 3 of them within 60 s: not "
                            "corrected again before a change that is not the agent's own";
    QTest::newRow("firewall turns itself off again")
        << "SetFirewallStatus" << QVariant(false) << "firewalld" << DomainServer::policyReply(1)
        << DaemonSync::FirewallTurnsItselfOff << QStringList{"firewalld=1", "firewalld=1", "firewalld=1"} << 7
        << QStringList{breaker, breaker};
}

void TestSyncPolicy::firewallSignals()
{
    QFETCH(QString, method);
    QFETCH(QVariant, argument);
    QFETCH(QString, policy);
    QFETCH(QJsonObject, reply);
    QFETCH(DaemonSync, daemon);
    QFETCH(QStringList, synced);
    QFETCH(int, queries);
    QFETCH(QStringList, warned);

    QVERIFY(m_server->setPolicy(policy, reply));
    setDaemonSync(*m_daemon, daemon);
    // The user changes the firewall twice, the second time after the first has been dealt with.
    for (int change = 1; change <= 2; ++change) {
        QDBusMessage call = QDBusMessage::createMethodCall("com.kiv.securitycenter", "/SecuritySetting/firewall",
                                                           "com.kiv.securitycenter.firewallsetting", method);
        call << argument;
        QCOMPARE(QDBusConnection::systemBus().call(call).type(), QDBusMessage::ReplyMessage);
        flushSystemBus(*m_securityCenter, "/SecuritySetting/firewall");
        QVERIFY(m_server->waitForRequests("policy", change * queries));
        flushSystemBus(*m_securityCenter, "/SecuritySetting/firewall");
        QCOMPARE(m_server->policyQueries(), repeated(policy, change * queries));
        QCOMPARE(syncCalls(*m_daemon).size(), change * synced.size());
    }
    QCOMPARE(syncCalls(*m_daemon), synced + synced);
    // The breaker's count runs since the engine started, earlier cases included; each time it
    // opens, it has corrected the firewall as often again as in one change here.
    const QStringList seen = warnings();
    QCOMPARE(seen.size(), warned.size());
    int count = -1;
    for (int i = 0; i < seen.size(); ++i) {
        QString line = seen[i];
        const QRegularExpressionMatch times = QRegularExpression("corrected (\\d+) times").match(line);
        if (times.hasMatch()) {
            if (count >= 0)
                QCOMPARE(times.captured(1).toInt(), count + synced.size());
            count = times.captured(1).toInt();
            line.replace(times.capturedStart(1), times.capturedLength(1), "#");
        }
        QCOMPARE(line, warned[i]);
    }
}

QTEST_MAIN(TestSyncPolicy)
#include "tst_syncpolicy.moc"

// The policy engine end to end: desktop settings changed by an outside `gsettings`, the stand-in
// domain server's policies, systemd's and the security center's signals from their stand-ins,
// and what the daemon's stand-in is asked to sync.
#include <QtTest>

#include <QSettings>

#include "dbusmock.h"
#include "domainserver.h"
#include "httpproxy.h"
#include "log.h"
#include "paths.h"
#include "policytestsupport.h"
#include "syncpolicy.h"
#include "testenv.h"

using namespace PolicyTest;

namespace {
const QString AllItems = "pictureUri,idleDelay,usbintfctrl,usbstoragestatus,pictureOptions";
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
    void refusedValueSettles();
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
    // Back to the schemas' defaults with nothing enforced, and wait until that has been handled.
    QVERIFY(m_server->setScenario(QJsonObject{}));
    for (const QString &schema : {Background, Session, DeviceControl})
        gsettingsReset(schema);
    QVERIFY(settle(*m_root));
    m_server->clearRequests();
    m_daemon->clearCalls(SyncPath);
    QFile(Paths::logFile()).remove();
}

void TestSyncPolicy::withoutSecurityCenterOnlyDesktopIsWatched()
{
    QVERIFY(m_server->setPolicy("*", DomainServer::policyReply(1, 1)));
    QVERIFY(m_server->setPolicy("wallpaper", wallpaperReply("file:///srv/corp.png")));

    QVERIFY(gsettingsSet(DeviceControl, "usbintfctrl", "2"));
    emitJobRemoved(*m_systemd, "ssh.service");
    m_securityCenter->mock("/SecuritySetting/firewall", "EmitSignal",
                           {"com.kiv.securitycenter.firewallsetting", "FirewallLevelChanged", "i", QVariantList{3}});
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

    QTest::newRow("wallpaper") << Background << "picture-uri" << "wallpaper" << wallpaperReply("file:///srv/corp.png")
                               << "'file:///home/alice/cat.png'" << "'file:///srv/corp.png'" << ""
                               << "sync policy wallpaper status from server, local status:file:///home/alice/cat.png "
                                  "server status:file:///srv/corp.png";
    QTest::newRow("usb interfaces") << DeviceControl << "usbintfctrl" << "usb" << DomainServer::policyReply(1) << "0"
                                    << "1" << "" << "sync policy usb status from server, local status:0 server status:1";
    QTest::newRow("usb storage") << DeviceControl << "usbstoragestatus" << "usb_storage"
                                 << DomainServer::policyReply(2) << "1" << "2" << ""
                                 << "sync policy usb_storage status from server, local status:1 server status:2";
    QTest::newRow("idle delay") << Session << "idle-delay" << "idle-delay" << DomainServer::policyReply(120) << "900"
                                << "uint32 120" << "120" << "local idle_delay: 900, server_idle_delay: 120";
    QTest::newRow("idle delay falls back to the stored value")
        << Session << "idle-delay" << "idle-delay" << DomainServer::policyReply(50, 1, 500) << "900" << "uint32 240"
        << "240" << "local idle_delay: 900, server_idle_delay: 240";
}

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

    configure(AllItems, "idleDelay=240\n");
    if (localValue == "0")
        QVERIFY(gsettingsSet(schema, key, "2"));  // a change away from the default first
    QVERIFY(settle(*m_root));
    m_server->clearRequests();
    QVERIFY(m_server->setPolicy(policy, reply));

    QVERIFY(gsettingsSet(schema, key, localValue));
    QTRY_COMPARE_WITH_TIMEOUT(gsettingsGet(schema, key), serverValue, 15000);
    // The write raises one more change; that one finds the values equal.
    QVERIFY(m_server->waitForRequests("policy", 2, 15000));
    QVERIFY(settle(*m_root));

    QCOMPARE(m_server->policyQueries(), (QStringList{policy, policy}));
    QCOMPARE(m_root->countInLog("sync policy " + policy + " status from server"), 1);
    QVERIFY2(m_root->logText().contains(logged), qPrintable(m_root->logText()));
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

void TestSyncPolicy::refusedValueSettles()
{
    // The server prescribes a value out of the key's range: the write is refused, once.
    QVERIFY(m_server->setPolicy("usb", DomainServer::policyReply(9)));
    QVERIFY(gsettingsSet(DeviceControl, "usbintfctrl", "2"));
    QVERIFY(m_root->waitForLog("usbintfctrl did not keep the server value 9, it holds 2", 15000));
    QVERIFY(settle(*m_root));
    QCOMPARE(m_server->policyQueries(), QStringList{"usb"});
    QCOMPARE(gsettingsGet(DeviceControl, "usbintfctrl"), QString("2"));

    // The next change asks again, and the refused value is not tried again.
    QVERIFY(gsettingsSet(DeviceControl, "usbintfctrl", "1"));
    QVERIFY(settle(*m_root));
    QCOMPARE(m_server->policyQueries(), (QStringList{"usb", "usb"}));
    QCOMPARE(m_root->countInLog("did not keep the server value"), 1);
    QVERIFY(m_root->logText().contains("usbintfctrl refused the server value 9 before, not written again"));
    QCOMPARE(gsettingsGet(DeviceControl, "usbintfctrl"), QString("1"));

    // A value the key takes is written again.
    QVERIFY(m_server->setPolicy("usb", DomainServer::policyReply(0)));
    QVERIFY(gsettingsSet(DeviceControl, "usbintfctrl", "2"));
    QTRY_COMPARE_WITH_TIMEOUT(gsettingsGet(DeviceControl, "usbintfctrl"), QString("0"), 15000);
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
        m_securityCenter->mock("/SecuritySetting/firewall", "EmitSignal",
                               {"com.kiv.securitycenter.firewallsetting", "FirewallStatusChanged", "b",
                                QVariantList{false}});
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
    QTest::addColumn<QStringList>("synced");

    QTest::newRow("inactive, policy on") << "ssh.service" << "inactive" << DomainServer::policyReply(1)
                                         << QStringList{"ssh=1"};
    QTest::newRow("failed, policy on") << "ssh.service" << "failed" << DomainServer::policyReply(1)
                                       << QStringList{"ssh=1"};
    QTest::newRow("active, policy on") << "ssh.service" << "active" << DomainServer::policyReply(1) << QStringList{};
    QTest::newRow("active, policy off") << "ssh.service" << "active" << DomainServer::policyReply(0)
                                        << QStringList{"ssh=0"};
    QTest::newRow("inactive, policy off") << "ssh.service" << "inactive" << DomainServer::policyReply(0)
                                          << QStringList{};
    QTest::newRow("state unreadable") << "ssh.service" << "" << DomainServer::policyReply(1) << QStringList{"ssh=1"};
    QTest::newRow("switched off") << "ssh.service" << "inactive" << DomainServer::policyReply(1, 0) << QStringList{};
    QTest::newRow("server error") << "ssh.service" << "inactive" << DomainServer::fault("http500") << QStringList{};
    QTest::newRow("another unit") << "cron.service" << "inactive" << DomainServer::policyReply(1) << QStringList{};
}

void TestSyncPolicy::sshJobRemoved()
{
    QFETCH(QString, unit);
    QFETCH(QString, state);
    QFETCH(QJsonObject, reply);
    QFETCH(QStringList, synced);

    setSshUnitState(*m_systemd, state);
    QVERIFY(m_server->setPolicy("*", reply));
    emitJobRemoved(*m_systemd, unit);
    if (unit != "ssh.service") {
        // Signals arrive in order: once a later one for ssh.service has been handled, the
        // first has been too.
        flushSystemBus(*m_systemd, SystemdManager);
        QCOMPARE(m_server->policyQueries(), QStringList());
        QVERIFY(m_server->setPolicy("*", DomainServer::policyReply(1, 0)));
        emitJobRemoved(*m_systemd, "ssh.service");
    }
    // The handler runs inside this test's waits; when the server has the query, it has ended.
    QVERIFY(m_server->waitForRequests("policy", 1));
    QCOMPARE(m_server->policyQueries(), QStringList{"ssh"});
    QCOMPARE(syncCalls(*m_daemon), synced);
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
    QTest::addColumn<QStringList>("synced");

    QTest::newRow("off, policy on") << "SetFirewallStatus" << QVariant(false) << "firewalld"
                                    << DomainServer::policyReply(1) << QStringList{"firewalld=1"};
    QTest::newRow("on, policy on") << "SetFirewallStatus" << QVariant(true) << "firewalld"
                                   << DomainServer::policyReply(1) << QStringList{};
    QTest::newRow("on, policy off") << "SetFirewallStatus" << QVariant(true) << "firewalld"
                                    << DomainServer::policyReply(0) << QStringList{"firewalld=0"};
    QTest::newRow("status, switched off") << "SetFirewallStatus" << QVariant(false) << "firewalld"
                                          << DomainServer::policyReply(1, 0) << QStringList{};
    QTest::newRow("level differs") << "SetFirewallLevel" << QVariant(2) << "firewalld_level"
                                   << DomainServer::policyReply(3) << QStringList{"firewalld_level=3"};
    QTest::newRow("level equal") << "SetFirewallLevel" << QVariant(3) << "firewalld_level"
                                 << DomainServer::policyReply(3) << QStringList{};
    QTest::newRow("level, code not 200") << "SetFirewallLevel" << QVariant(1) << "firewalld_level"
                                         << DomainServer::policyReply(3, 1, 404) << QStringList{};
}

void TestSyncPolicy::firewallSignals()
{
    QFETCH(QString, method);
    QFETCH(QVariant, argument);
    QFETCH(QString, policy);
    QFETCH(QJsonObject, reply);
    QFETCH(QStringList, synced);

    QVERIFY(m_server->setPolicy(policy, reply));
    QDBusMessage call = QDBusMessage::createMethodCall("com.kiv.securitycenter", "/SecuritySetting/firewall",
                                                       "com.kiv.securitycenter.firewallsetting", method);
    call << argument;
    QCOMPARE(QDBusConnection::systemBus().call(call).type(), QDBusMessage::ReplyMessage);

    QVERIFY(m_server->waitForRequests("policy", 1));
    QCOMPARE(m_server->policyQueries(), QStringList{policy});
    QCOMPARE(syncCalls(*m_daemon), synced);
}

QTEST_MAIN(TestSyncPolicy)
#include "tst_syncpolicy.moc"

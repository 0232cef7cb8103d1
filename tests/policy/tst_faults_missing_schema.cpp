// Desktop schemas that are not installed, or lack a key: the policy engine reports them, leaves
// them out, and goes on enforcing the rest, in the real program and in the engine itself.
//
// This program installs its own schema folder before anything opens a schema: the background
// schema as the desktop has it, a session schema without "idle-delay", and no device control.
#include <QtTest>

#include <QProcess>

#include "agentrun.h"
#include "dbusmock.h"
#include "domainserver.h"
#include "log.h"
#include "paths.h"
#include "policytestsupport.h"
#include "syncpolicy.h"
#include "testenv.h"

using namespace PolicyTest;

namespace {
const QString Items = "pictureUri,idleDelay,usbintfctrl";
const QString DeviceControlMissing =
    "monitor: settings schema org.qoro.devicecontrol is not installed, its keys are not watched";

const char *const SessionWithoutIdleDelay = R"(<?xml version="1.0" encoding="UTF-8"?>
<schemalist>
  <schema id="org.qoro.desktop.session" path="/org/qoro/desktop/session/">
    <key name="session-name" type="s"><default>'qoro'</default></key>
  </schema>
</schemalist>
)";
}  // namespace

class TestFaultsMissingSchema : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void agentStartsAndEnforcesTheRest();
    void engineReportsOnceAndEnforcesTheRest();
    void keyMissingFromAnInstalledSchema();

private:
    QTemporaryDir m_schemas;
    TestEnv::TempRoot *m_root = nullptr;
    DomainServer *m_server = nullptr;
    DBusMock *m_systemd = nullptr;
    DBusMock *m_daemon = nullptr;
};

void TestFaultsMissingSchema::initTestCase()
{
    QVERIFY(QFile::copy(TestEnv::sourceDir() + "/sim/schemas/org.qoro.desktop.background.gschema.xml",
                        m_schemas.filePath("org.qoro.desktop.background.gschema.xml")));
    QFile session(m_schemas.filePath("org.qoro.desktop.session.gschema.xml"));
    QVERIFY(session.open(QIODevice::WriteOnly));
    session.write(SessionWithoutIdleDelay);
    session.close();
    QCOMPARE(QProcess::execute("glib-compile-schemas", {"--strict", m_schemas.path()}), 0);
    // Read by GLib when the first schema is opened, in this process and in its children.
    qputenv("GSETTINGS_SCHEMA_DIR", m_schemas.path().toLocal8Bit());

    m_root = new TestEnv::TempRoot;
    Log::GetInstance()->setLogPath(Paths::logFile());
    m_root->writeFile("/etc/os-release", "NAME=\"KIV Desktop\"\nNAME_EN=\"KIVDesktop\"\nVERSION_ID=\"5.0\"\nID=kiv\n");
    m_server = new DomainServer;
    m_systemd = DBusMock::fromTemplate("systemd", DBusMock::SystemBus);
    m_daemon = DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus);
    QVERIFY(m_server->isRunning() && m_systemd->isRunning() && m_daemon->isRunning());
    setSshUnitState(*m_systemd, "inactive");
    writeConfig(*m_root, m_server->address(), Items, true);
}

void TestFaultsMissingSchema::cleanupTestCase()
{
    delete m_daemon;
    delete m_systemd;
    delete m_server;
    delete m_root;
}

void TestFaultsMissingSchema::init()
{
    QVERIFY(m_server->setScenario(QJsonObject{}));
    gsettingsReset(Background);
    m_server->clearRequests();
    m_daemon->clearCalls(SyncPath);
    QFile(Paths::logFile()).remove();
}

void TestFaultsMissingSchema::agentStartsAndEnforcesTheRest()
{
    QVERIFY(m_server->setPolicy("wallpaper", wallpaperReply("file:///srv/corp.png")));
    AgentRun agent(*m_root);
    QVERIFY2(agent.start(), qPrintable(agent.output()));
    QVERIFY(m_root->waitForLog("start policy sync"));
    QVERIFY(m_root->waitForLog(DeviceControlMissing));

    QVERIFY(gsettingsSet(Background, "picture-uri", "'file:///home/alice/cat.png'"));
    QTRY_COMPARE_WITH_TIMEOUT(gsettingsGet(Background, "picture-uri"), QString("'file:///srv/corp.png'"), 15000);
    QVERIFY(sessionServiceExported());
    QCOMPARE(m_root->countInLog("is not installed"), 1);
    agent.stop();
    QVERIFY2(!agent.output().contains("Caught signal: 6"), qPrintable(agent.output()));
}

void TestFaultsMissingSchema::engineReportsOnceAndEnforcesTheRest()
{
    QVERIFY(m_server->setPolicy("wallpaper", wallpaperReply("file:///srv/corp.png")));
    QVERIFY(m_server->setPolicy("ssh", DomainServer::policyReply(1)));
    SyncPolicy::instance()->monitor();
    SyncPolicy::instance()->monitor();
    QCOMPARE(m_root->countInLog(DeviceControlMissing), 1);
    QCOMPARE(m_root->countInLog("is not installed"), 1);

    QVERIFY(gsettingsSet(Background, "picture-uri", "'file:///home/alice/cat.png'"));
    QTRY_COMPARE_WITH_TIMEOUT(gsettingsGet(Background, "picture-uri"), QString("'file:///srv/corp.png'"), 15000);

    // The system-bus watches do not depend on the device control schema.
    emitJobRemoved(*m_systemd, "ssh.service");
    QTRY_COMPARE_WITH_TIMEOUT(syncCalls(*m_daemon), QStringList{"ssh=1"}, 10000);

    // A USB policy has nowhere to go.
    SyncPolicy::instance()->doSettingsSyncInt("usb", 0, 1);
    QVERIFY(m_root->logText().contains("writeBack: usbintfctrl is not available, the server value 1 is not written"));
}

void TestFaultsMissingSchema::keyMissingFromAnInstalledSchema()
{
    QVERIFY(m_server->setPolicy("idle-delay", DomainServer::policyReply(120)));
    SyncPolicy::instance()->monitor();
    // As if the desktop reported the key: the engine must not read a key its schema lacks.
    SyncPolicy::instance()->onSettingsChanged("idleDelay");
    SyncPolicy::instance()->doSettingsSyncInt("idle-delay", 900, 120);

    QVERIFY(m_root->logText().contains("onSettingsChanged: the installed schema has no key idleDelay"));
    QVERIFY(m_root->logText().contains("writeBack: idleDelay is not available, the server value 120 is not written"));
    QCOMPARE(m_server->policyQueries(), QStringList());
}

QTEST_MAIN(TestFaultsMissingSchema)
#include "tst_faults_missing_schema.moc"

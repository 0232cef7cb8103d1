// Remote assistance exported on the test session bus and driven by `gdbus` as the outside caller;
// the stand-in daemon records the reply, stand-in VNC scripts record that they ran.
#include <QtTest>

#include <QDBusConnection>

#include "dbusmock.h"
#include "log.h"
#include "paths.h"
#include "remoteassist.h"
#include "testenv.h"

namespace {
const QString ReplyPath = "/com/domain/remoteassist";

bool gdbusReceiveWebset(const QString &sn, const QString &data)
{
    const TestEnv::CommandResult result = TestEnv::runCommand(
        "gdbus", {"call", "--session", "--dest", QDBusConnection::sessionBus().baseService(), "--object-path",
                  "/test/remoteassist", "--method", "com.domain.remoteassist.receiveWebset", sn, data});
    return result.exitCode == 0;
}
}  // namespace

class TestRemoteAssist : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void startRunsLaunchScriptAndReportsAddress();
    void stopRunsStopScriptAndSendsNothing();
    void requestsThatChangeNothing_data();
    void requestsThatChangeNothing();
    void debugTogleIsExported();

private:
    QString scriptRuns(const QString &name) const;

    TestEnv::TempRoot *m_root = nullptr;
    DBusMock *m_daemon = nullptr;
    RemoteAssist *m_service = nullptr;
};

void TestRemoteAssist::initTestCase()
{
    m_root = new TestEnv::TempRoot();
    Log::GetInstance()->setLogPath(Paths::logFile());
    m_root->writeFile("/usr/share/kiv-domain-client/salt/config.ini",
                      "[init]\nhostname=term-042\nip_port=10.1.2.3:8000\n");
    for (const QString &name : {QStringLiteral("launch_x11vnc.sh"), QStringLiteral("stop_x11vnc.sh")}) {
        m_root->writeFile("/usr/share/kiv-domain-client/remote-assist/" + name,
                          QString("echo ran >> '%1'\n").arg(m_root->path("/tmp/" + name + ".runs")).toUtf8(), true);
    }
    m_daemon = DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus);
    QVERIFY(m_daemon->isRunning());

    m_service = new RemoteAssist();
    QVERIFY(QDBusConnection::sessionBus().registerObject("/test/remoteassist", m_service,
                                                         QDBusConnection::ExportAllSlots));
}

void TestRemoteAssist::init()
{
    m_daemon->clearCalls(ReplyPath);
    m_root->remove("/tmp/launch_x11vnc.sh.runs");
    m_root->remove("/tmp/stop_x11vnc.sh.runs");
}

void TestRemoteAssist::cleanupTestCase()
{
    delete m_service;
    delete m_daemon;
    delete m_root;
}

QString TestRemoteAssist::scriptRuns(const QString &name) const
{
    return QString::fromUtf8(m_root->readFile("/tmp/" + name + ".runs"));
}

void TestRemoteAssist::startRunsLaunchScriptAndReportsAddress()
{
    QVERIFY(gdbusReceiveWebset("9-8-5", R"({"adminname":"admin","op":"start"})"));
    QCOMPARE(scriptRuns("launch_x11vnc.sh"), QString("ran\n"));
    QCOMPARE(scriptRuns("stop_x11vnc.sh"), QString());

    const QList<QVariantList> replies = m_daemon->callsOf(ReplyPath, "sendWebset");
    QCOMPARE(replies.size(), 1);
    const QByteArray text = replies.first().value(0).toString().toUtf8();
    const QJsonObject reply = QJsonDocument::fromJson(text).object();
    QCOMPARE(reply.value("sn").toString(), QString("9-9-8"));
    QCOMPARE(reply.value("sender").toVariant().toInt(), 1);
    QVERIFY(reply.value("sender").isDouble());
    QCOMPARE(reply.value("data").toObject().value("hostname").toString(), QString("term-042"));
    QCOMPARE(reply.value("data").toObject().value("url").toString(), QString("10.1.2.3:41181/vnc.html"));
    QVERIFY2(text.contains("\n    \"data\""), text.constData());  // indented JSON
    QVERIFY(m_root->logText().contains(
        "[LOG_INFO] receiveWebset:handle server set 9-8-5 data {\"adminname\":\"admin\",\"op\":\"start\"}"));
}

void TestRemoteAssist::stopRunsStopScriptAndSendsNothing()
{
    QVERIFY(gdbusReceiveWebset("9-8-5", R"({"adminname":"管理员","op":"stop"})"));
    QCOMPARE(scriptRuns("stop_x11vnc.sh"), QString("ran\n"));
    QCOMPARE(scriptRuns("launch_x11vnc.sh"), QString());
    QVERIFY(m_daemon->callsOf(ReplyPath, "sendWebset").isEmpty());
}

void TestRemoteAssist::requestsThatChangeNothing_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("logLine");

    const QString switchError = "[LOG_INFO] requestSwitch:requestSwitch errror";
    QTest::newRow("empty code") << "" << "{}" << "[LOG_ERROR] receiveWebset:receive invalid server set!";
    QTest::newRow("unknown code") << "9-8-9" << R"({"adminname":"a","op":"start"})" << "handle server set 9-8-9";
    QTest::newRow("codes are case-sensitive text") << "9-8-05" << R"({"adminname":"a","op":"start"})"
                                                   << "handle server set 9-8-05";
    QTest::newRow("request for assistance") << "9-8-2" << R"({"confirm":1,"adminname":"a","reason":"r"})"
                                            << "handle server set 9-8-2";
    QTest::newRow("disconnect before connected") << "9-8-3" << "{}" << "handle server set 9-8-3";
    QTest::newRow("disconnect") << "9-8-4" << "{}" << "handle server set 9-8-4";
    QTest::newRow("update rules") << "9-8-6" << "{}" << "handle server set 9-8-6";
    QTest::newRow("not JSON") << "9-8-5" << "start please" << switchError;
    QTest::newRow("not an object") << "9-8-5" << R"(["admin","start"])" << switchError;
    QTest::newRow("no adminname") << "9-8-5" << R"({"op":"start"})" << switchError;
    QTest::newRow("empty adminname") << "9-8-5" << R"({"adminname":"","op":"start"})" << switchError;
    QTest::newRow("no op") << "9-8-5" << R"({"adminname":"a"})" << switchError;
    QTest::newRow("op not a string") << "9-8-5" << R"({"adminname":"a","op":1})" << switchError;
    QTest::newRow("other op") << "9-8-5" << R"({"adminname":"a","op":"restart"})" << "handle server set 9-8-5";
}

void TestRemoteAssist::requestsThatChangeNothing()
{
    QFETCH(QString, sn);
    QFETCH(QString, data);
    QFETCH(QString, logLine);

    const int before = m_root->countInLog(logLine);
    QVERIFY(gdbusReceiveWebset(sn, data));
    QCOMPARE(m_root->countInLog(logLine), before + 1);
    QCOMPARE(scriptRuns("launch_x11vnc.sh"), QString());
    QCOMPARE(scriptRuns("stop_x11vnc.sh"), QString());
    QVERIFY(m_daemon->callsOf(ReplyPath, "sendWebset").isEmpty());
}

void TestRemoteAssist::debugTogleIsExported()
{
    const TestEnv::CommandResult result = TestEnv::runCommand(
        "gdbus", {"call", "--session", "--dest", QDBusConnection::sessionBus().baseService(), "--object-path",
                  "/test/remoteassist", "--method", "com.domain.remoteassist.debugTogle"});
    QCOMPARE(result.exitCode, 0);
}

QTEST_MAIN(TestRemoteAssist)
#include "tst_remoteassist.moc"

// Remote assistance exported on the test session bus and driven by `gdbus` as the outside caller;
// the stand-in daemon records the reply, stand-in VNC scripts record that they ran.
#include <QtTest>

#include <QDBusConnection>
#include <QDBusVariant>
#include <QProcess>

#include "dbusmock.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "remoteassist.h"
#include "testenv.h"

namespace {
const QString ReplyPath = "/com/domain/remoteassist";
const QString ScriptDir = "/usr/share/kiv-domain-client/remote-assist/";
const QString LaunchScript = "launch_x11vnc.sh";
const QString StopScript = "stop_x11vnc.sh";
const QString ReplyError = "interface sendWebset error";

// The caller waits as long as the service may wait for a script, and a little more.
bool gdbusReceiveWebset(const QString &sn, const QString &data)
{
    const TestEnv::CommandResult result = TestEnv::runCommand(
        "gdbus", {"call", "--session", "--timeout", "60", "--dest", QDBusConnection::sessionBus().baseService(),
                  "--object-path", "/test/remoteassist", "--method", "com.domain.remoteassist.receiveWebset", sn,
                  data},
        60000);
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

    void startRunsLaunchScriptAndReportsAddress_data();
    void startRunsLaunchScriptAndReportsAddress();
    void stopRunsStopScriptAndSendsNothing();
    void requestsThatChangeNothing_data();
    void requestsThatChangeNothing();
    void failedReplyIsOnlyLogged_data();
    void failedReplyIsOnlyLogged();
    void hangingLaunchScriptIsCutAndTheReplySent();
    void debugTogleIsExported();
    void daemonProxyPassesDebugTogleOn();

private:
    QString scriptRuns(const QString &name) const;
    // A stand-in script that records its run; a hanging one then stays in the foreground.
    void writeScript(const QString &name, bool hang = false) const;

    TestEnv::TempRoot *m_root = nullptr;
    DBusMock *m_daemon = nullptr;
    RemoteAssist *m_service = nullptr;
};

void TestRemoteAssist::initTestCase()
{
    m_root = new TestEnv::TempRoot();
    Log::GetInstance()->setLogPath(Paths::logFile());
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);
    m_root->writeConfig("[init]\nhostname=term-042\nip_port=10.1.2.3:8000\n");
    m_daemon = DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus);
    QVERIFY(m_daemon->isRunning());

    m_service = new RemoteAssist();
    QVERIFY(QDBusConnection::sessionBus().registerObject("/test/remoteassist", m_service,
                                                         QDBusConnection::ExportAllSlots));
}

void TestRemoteAssist::init()
{
    m_daemon->mock("/com/domain/agent", "ResetReplies");
    m_daemon->clearCalls(ReplyPath);
    for (const QString &name : {LaunchScript, StopScript}) {
        writeScript(name);
        m_root->remove("/tmp/" + name + ".runs");
    }
}

void TestRemoteAssist::writeScript(const QString &name, bool hang) const
{
    QString script = QString("echo ran >> '%1'\n").arg(m_root->path("/tmp/" + name + ".runs"));
    if (hang)
        script += "exec sleep 45\n";
    m_root->writeFile(ScriptDir + name, script.toUtf8(), true);
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

void TestRemoteAssist::startRunsLaunchScriptAndReportsAddress_data()
{
    QTest::addColumn<QString>("adminName");
    QTest::newRow("plain name") << "admin";
    // The payload is UTF-8 JSON; read as Latin-1 bytes these names would not parse at all.
    QTest::newRow("accented name") << "José Núñez";
    QTest::newRow("Chinese name") << "管理员";
}

void TestRemoteAssist::startRunsLaunchScriptAndReportsAddress()
{
    QFETCH(QString, adminName);
    const QString data = QString(R"({"adminname":"%1","op":"start"})").arg(adminName);

    QVERIFY(gdbusReceiveWebset("9-8-5", data));
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
    QVERIFY(m_root->logText().contains("[LOG_INFO] receiveWebset:handle server set 9-8-5 data " + data));
    QCOMPARE(m_root->countInLog(ReplyError), 0);
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

void TestRemoteAssist::failedReplyIsOnlyLogged_data()
{
    QTest::addColumn<QString>("knob");  // the stand-in daemon's knob for "sendWebset"
    QTest::addColumn<QVariantList>("arguments");

    QTest::newRow("daemon error") << "SetError"
                                  << QVariantList{"sendWebset", "com.kiv.domain.Error.Failed", "refused"};
    QTest::newRow("reply without a text")
        << "SetReply" << QVariantList{"sendWebset", "", QVariant::fromValue(QDBusVariant(QString()))};
    QTest::newRow("reply of another type")
        << "SetReply" << QVariantList{"sendWebset", "b", QVariant::fromValue(QDBusVariant(true))};
}

void TestRemoteAssist::failedReplyIsOnlyLogged()
{
    QFETCH(QString, knob);
    QFETCH(QVariantList, arguments);

    QCOMPARE(m_daemon->mock("/com/domain/agent", knob, arguments).type(), QDBusMessage::ReplyMessage);
    const int errors = m_root->countInLog(ReplyError);
    QVERIFY(gdbusReceiveWebset("9-8-5", R"({"adminname":"admin","op":"start"})"));
    QCOMPARE(scriptRuns(LaunchScript), QString("ran\n"));
    QCOMPARE(m_daemon->callsOf(ReplyPath, "sendWebset").size(), 1);
    QCOMPARE(m_root->countInLog(ReplyError), errors + 1);
    QVERIFY(m_root->logText().contains("[Debug][default] " + ReplyError));
}

void TestRemoteAssist::hangingLaunchScriptIsCutAndTheReplySent()
{
    // The launch script may keep the VNC server in the foreground: the service waits 30 s for
    // it, then reports the address all the same; the script goes on running.
    writeScript(LaunchScript, true);
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(gdbusReceiveWebset("9-8-5", R"({"adminname":"admin","op":"start"})"));
    const qint64 waited = elapsed.elapsed();
    QVERIFY2(waited >= 29000 && waited < 44000, qPrintable(QString::number(waited)));
    QCOMPARE(scriptRuns(LaunchScript), QString("ran\n"));
    QCOMPARE(m_daemon->callsOf(ReplyPath, "sendWebset").size(), 1);

    bool stillRunning = false;
    for (QProcess *script : m_service->findChildren<QProcess *>()) {
        if (script->state() != QProcess::NotRunning) {
            stillRunning = true;
            script->kill();
            script->waitForFinished(5000);
        }
    }
    QVERIFY(stillRunning);
}

void TestRemoteAssist::debugTogleIsExported()
{
    const TestEnv::CommandResult result = TestEnv::runCommand(
        "gdbus", {"call", "--session", "--dest", QDBusConnection::sessionBus().baseService(), "--object-path",
                  "/test/remoteassist", "--method", "com.domain.remoteassist.debugTogle"});
    QCOMPARE(result.exitCode, 0);
}

void TestRemoteAssist::daemonProxyPassesDebugTogleOn()
{
    m_daemon->addMethod(ReplyPath, "com.domain.remoteassist", "debugTogle", "", "", "");
    Remote_Assist_System_Dbus proxy;
    proxy.debugTogle();
    proxy.debugTogle();
    QCOMPARE(m_daemon->callsOf(ReplyPath, "debugTogle"), (QList<QVariantList>{{}, {}}));
    QVERIFY(m_daemon->callsOf(ReplyPath, "sendWebset").isEmpty());
}

QTEST_MAIN(TestRemoteAssist)
#include "tst_remoteassist.moc"

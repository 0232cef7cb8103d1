// Remote assistance exported by this process on the session bus and called with `gdbus` as the
// daemon would; stand-in VNC scripts record that they ran, the daemon's stand-in the reply.
#include <QtTest>

#include "fixture.h"
#include "log.h"
#include "paths.h"
#include "remoteassist.h"

namespace {
const QString ReplyPath = "/com/domain/remoteassist";
const QString Start = R"({"adminname":"admin","op":"start"})";
const QString Scripts = "/usr/share/kiv-domain-client/remote-assist/";
}  // namespace

class TestRemoteAssist : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void requests_data();
    void requests();

private:
    // A stand-in script that records its run, then runs tail.
    void writeScript(const QString &name, const QByteArray &tail = {}) const
    {
        m_fixture->root().writeFile(Scripts + name + ".sh", "echo " + name.toUtf8() + " >> "
                                                             + Paths::under("/tmp/runs").toUtf8() + "\n" + tail);
    }

    std::unique_ptr<Fixture> m_fixture;
    std::unique_ptr<RemoteAssist> m_service;
};

void TestRemoteAssist::initTestCase()
{
    m_fixture.reset(new Fixture(Fixture::Daemon, true));
    m_fixture->root().writeConfig("[init]\nhostname=term-042\nip_port=10.1.2.3:8000\n");
    Log::GetInstance()->setLogPath(Paths::logFile());
    m_service.reset(new RemoteAssist);
    QVERIFY(QDBusConnection::sessionBus().registerObject("/test/remoteassist", m_service.get(),
                                                         QDBusConnection::ExportAllSlots));
}

void TestRemoteAssist::init()
{
    m_fixture->reset();
    m_fixture->root().remove("/tmp/runs");
    writeScript("launch_x11vnc");
    writeScript("stop_x11vnc");
}

void TestRemoteAssist::cleanup()
{
    // A launch script may stay in the foreground as the VNC server.
    for (QProcess *script : m_service->findChildren<QProcess *>()) {
        script->kill();
        script->waitForFinished();
        delete script;
    }
    QVERIFY(m_fixture->standInsAlive());
}

void TestRemoteAssist::requests_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("ran");  // the scripts run
    QTest::addColumn<bool>("replied");
    QTest::addColumn<bool>("scriptHangs");

    QTest::newRow("start") << "9-8-5" << Start << "launch_x11vnc" << true << false;
    QTest::newRow("start by an accented name") << "9-8-5" << R"({"adminname":"José Núñez","op":"start"})"
                                               << "launch_x11vnc" << true << false;
    QTest::newRow("stop by a Chinese name") << "9-8-5" << R"({"adminname":"管理员","op":"stop"})" << "stop_x11vnc"
                                            << false << false;
    QTest::newRow("launch script stays in the foreground") << "9-8-5" << Start << "launch_x11vnc" << true << true;
    QTest::newRow("empty code") << "" << Start << "" << false << false;
    QTest::newRow("unknown code") << "9-8-05" << Start << "" << false << false;
    QTest::newRow("other assistance code") << "9-8-3" << Start << "" << false << false;
    QTest::newRow("not JSON") << "9-8-5" << "start please" << "" << false << false;
    QTest::newRow("no adminname") << "9-8-5" << R"({"op":"start"})" << "" << false << false;
    QTest::newRow("empty adminname") << "9-8-5" << R"({"adminname":"","op":"start"})" << "" << false << false;
    QTest::newRow("other op") << "9-8-5" << R"({"adminname":"admin","op":"restart"})" << "" << false << false;
}

void TestRemoteAssist::requests()
{
    QFETCH(QString, sn);
    QFETCH(QString, data);
    QFETCH(QString, ran);
    QFETCH(bool, replied);
    QFETCH(bool, scriptHangs);

    if (scriptHangs)
        writeScript("launch_x11vnc", "exec sleep 50\n");
    QElapsedTimer clock;
    clock.start();
    const TestEnv::CommandResult call = TestEnv::runCommand(
        "gdbus", {"call", "--session", "--timeout", "70", "--dest", QDBusConnection::sessionBus().baseService(),
                  "--object-path", "/test/remoteassist", "--method", "com.domain.remoteassist.receiveWebset", sn, data},
        80000);
    QVERIFY2(call.exitCode == 0, qPrintable(call.output));
    // The script is waited for 30 s, then the reply goes all the same.
    if (scriptHangs)
        QVERIFY2(clock.elapsed() >= 29000 && clock.elapsed() < 40000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(QString::fromUtf8(m_fixture->root().readFile("/tmp/runs")).trimmed(), ran);

    const QList<QVariantList> replies = m_fixture->daemon().callsOf(ReplyPath, "sendWebset");
    QCOMPARE(replies.size(), replied ? 1 : 0);
    if (!replied)
        return;
    const QJsonObject reply = QJsonDocument::fromJson(replies.first().value(0).toString().toUtf8()).object();
    QCOMPARE(reply.value("sn").toString(), QString("9-9-8"));
    QVERIFY(reply.value("sender").isDouble() && reply.value("sender").toInt() == 1);
    QCOMPARE(reply.value("data").toObject().toVariantMap(),
             (QVariantMap{{"hostname", "term-042"}, {"url", "10.1.2.3:41181/vnc.html"}}));
}

QTEST_MAIN(TestRemoteAssist)
#include "tst_remoteassist.moc"

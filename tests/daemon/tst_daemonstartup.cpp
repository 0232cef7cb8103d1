// The real program at start-up tells the stand-in daemon to set up USB handling and then its
// heartbeat period from the configuration; a failing or absent daemon leaves a log line and the
// agent keeps running.
#include <QtTest>

#include "agentrun.h"
#include "daemontestsupport.h"
#include "testenv.h"

using namespace DaemonTest;

class TestDaemonStartup : public QObject
{
    Q_OBJECT

private slots:
    void tellsDaemonUsbAndHeartbeat_data();
    void tellsDaemonUsbAndHeartbeat();
    void goesOnWithoutDaemon();
};

void TestDaemonStartup::tellsDaemonUsbAndHeartbeat_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("daemonParameters");
    QTest::addColumn<int>("heartbeatMs");
    QTest::addColumn<QString>("result");

    QTest::newRow("default period") << QByteArray() << QString() << 10000 << "successed";
    QTest::newRow("configured 30 s") << QByteArray("[init]\nheartbeat=30\n") << QString() << 30000 << "successed";
    // 2147484 s is the first period whose milliseconds pass an int: held, never wrapped negative.
    QTest::newRow("period past an int of ms") << QByteArray("[init]\nheartbeat=2147484\n") << QString()
                                              << 2147483647 << "successed";
    QTest::newRow("daemon refuses") << QByteArray("[init]\nheartbeat=30\n")
                                    << R"({"errors": {"setHeartBeat": "com.kiv.domain.Error.Failed"}})" << 30000
                                    << "failed";
}

void TestDaemonStartup::tellsDaemonUsbAndHeartbeat()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, daemonParameters);
    QFETCH(int, heartbeatMs);
    QFETCH(QString, result);

    TestEnv::TempRoot root;
    if (!config.isEmpty())
        root.writeConfig(config);
    std::unique_ptr<DBusMock> daemon = startDaemon(daemonParameters);
    QVERIFY(daemon->isRunning());

    AgentRun agent(root);
    QVERIFY(agent.start());
    QList<MockCall> calls;
    const auto startupCalls = [&] {
        calls.clear();
        for (const MockCall &call : daemon->calls(AgentPath)) {
            if (call.method == "usbInit" || call.method == "setHeartBeat")
                calls << call;
        }
        return calls.size() >= 2;
    };
    QVERIFY2(TestEnv::waitFor(startupCalls, 15000), qPrintable(agent.output()));
    QCOMPARE(calls.size(), 2);
    QCOMPARE(calls.at(0).method, QString("usbInit"));
    QCOMPARE(calls.at(1).method, QString("setHeartBeat"));
    QVERIFY(sameTyped(calls.at(1).args, {heartbeatMs}));

    const QString line = QString("setHeartBeat timeout(%1) result(%2)!").arg(heartbeatMs).arg(result);
    QVERIFY2(root.waitForLog(line), qPrintable(root.logText()));
    QVERIFY(sessionNameOwned());
}

void TestDaemonStartup::goesOnWithoutDaemon()
{
    TestEnv::TempRoot root;
    AgentRun agent(root);
    QVERIFY(agent.start());
    QVERIFY2(root.waitForLog("setHeartBeat timeout(10000) result(failed)!"), qPrintable(root.logText()));
    QVERIFY(sessionNameOwned());
    QVERIFY(agent.agentPid() > 0);
}

QTEST_MAIN(TestDaemonStartup)
#include "tst_daemonstartup.moc"

// The real program in its sandbox: hello line, its bus name, a second copy, crash signals.
#include <QtTest>

#include <csignal>

#include "agentrun.h"
#include "testenv.h"

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void helloLineAndName();
    void secondAgentEndsWithStatusOne();
    void crashSignalsEndWithTheirNumber_data();
    void crashSignalsEndWithTheirNumber();
};

void TestStartup::helloLineAndName()
{
    TestEnv::TempRoot root;
    AgentRun agent(root);
    QVERIFY(agent.start());
    QVERIFY(root.waitForLog("hello session agent!"));
    const QString first = root.logText().split('\n').first();
    QVERIFY2(QRegularExpression(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[LOG_INFO\] main:hello session agent!$)")
                 .match(first).hasMatch(),
             qPrintable(first));
}

void TestStartup::secondAgentEndsWithStatusOne()
{
    TestEnv::TempRoot root;
    AgentRun first(root);
    QVERIFY(first.start());

    AgentRun second(root);
    QVERIFY(second.start(false));
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(root.logText().contains("[LOG_ERROR] main:bus registerService error!bus.lastError().message() = "));
    QVERIFY(sessionNameOwned());
    QVERIFY(first.agentPid() > 0);
}

void TestStartup::crashSignalsEndWithTheirNumber_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGABRT") << int(SIGABRT);
    QTest::newRow("SIGSEGV") << int(SIGSEGV);
}

void TestStartup::crashSignalsEndWithTheirNumber()
{
    QFETCH(int, sig);
    TestEnv::TempRoot root;
    AgentRun agent(root);
    QVERIFY(agent.start());
    agent.sendSignal(sig);
    QVERIFY(agent.waitForExit());
    QCOMPARE(agent.exitCode(), sig);
    QVERIFY2(agent.output().contains(QString("Caught signal: %1\n").arg(sig)), qPrintable(agent.output()));
    QVERIFY(TestEnv::waitFor([] { return !sessionNameOwned(); }));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"

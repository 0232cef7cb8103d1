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
    void noSessionBusEndsWithStatusOne();
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

void TestStartup::noSessionBusEndsWithStatusOne()
{
    TestEnv::TempRoot root;
    AgentRun agent(root);
    agent.setEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + root.path("/tmp/no-bus-here"));
    QVERIFY(agent.start(false));
    QVERIFY(agent.waitForExit());
    QCOMPARE(agent.exitCode(), 1);
    // The bus error, as the bus gave it, on both channels; nothing after the failed claim.
    const QStringList lines = root.logText().split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).endsWith("] [LOG_INFO] main:hello session agent!"), qPrintable(lines.at(0)));
    const QRegularExpressionMatch debug = QRegularExpression(R"(^\[[^]]+\]\[Debug\]\[default\] (.+)$)").match(lines.at(1));
    QVERIFY2(debug.hasMatch(), qPrintable(lines.at(1)));
    const QString busError = debug.captured(1);
    QVERIFY2(!busError.startsWith('"'), qPrintable(busError));
    QVERIFY2(lines.at(2).endsWith("] [LOG_ERROR] main:bus registerService error!bus.lastError().message() = " + busError),
             qPrintable(lines.at(2)));
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

// The real program routes the stand-in daemon's task signals from its start on, and asks the
// daemon for pending tasks once, about five seconds after it started.
#include <QtTest>

#include "agentrun.h"
#include "tasktestsupport.h"

class TestTaskStartup : public QObject
{
    Q_OBJECT

private slots:
    void routesTaskSignalsAndInitsOnce();
};

void TestTaskStartup::routesTaskSignalsAndInitsOnce()
{
    TestEnv::TempRoot root;
    root.writeFile("/usr/share/kiv-domain-client/tasks/t-100/office.deb", "!<arch>\n");
    std::unique_ptr<DBusMock> daemon = TaskTest::startDaemon();
    QVERIFY(daemon->isRunning());

    AgentRun agent(root);
    QVERIFY(agent.start());
    QElapsedTimer sinceStart;
    sinceStart.start();

    daemon->emitSignal(TaskTest::TaskPath, TaskTest::TaskInterface, "InstallNotify", "ssbbi",
                       {QString("t-100"), QString("办公套件"), false, true, 20});
    QVERIFY2(root.waitForLog("onInstallNotify: taskId(t-100)，taskName(办公套件), immediate(0), completeTime(20)"),
             qPrintable(root.logText()));
    daemon->emitSignal(TaskTest::TaskPath, TaskTest::TaskInterface, "ShowProgress", "ss",
                       {QString("t-100"), QString("办公套件")});
    QVERIFY2(root.waitForLog("debian package: "), qPrintable(root.logText()));
    QVERIFY(root.waitForLog("Failed to open file for reading"));  // the task's log is not written yet

    const auto inits = [&] { return daemon->callsOf(TaskTest::TaskPath, "Init").size(); };
    QVERIFY(TestEnv::waitFor([&] { return inits() > 0; }, 15000));
    QVERIFY2(sinceStart.elapsed() >= 4000, qPrintable(QString::number(sinceStart.elapsed())));
    QCOMPARE(inits(), 1);
}

QTEST_MAIN(TestTaskStartup)
#include "tst_taskstartup.moc"

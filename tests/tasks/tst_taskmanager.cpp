// The task notification router as a whole: the daemon's stand-in emits its task signals on the
// test system bus, and the test looks at which dialogs the user gets to see and what the daemon
// is told.
#include <QtTest>

#include <QLabel>
#include <QProgressBar>

#include "taskmanager.h"
#include "tasktestsupport.h"

namespace {
const QString TaskStore = QStringLiteral("/usr/share/kiv-domain-client/tasks/");
const char *const Prompt = "TaskInstallNotify";
const char *const Progress = "TaskInstallProgress";
const char *const CountDown = "TaskRebootNotify";
}  // namespace

class TestTaskManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void initIsCalledFiveSecondsAfterConstruction();
    void promptIsShown();
    void laterPromptWaitsForTheAnswer_data();
    void laterPromptWaitsForTheAnswer();
    void promptAfterCloseShowsTheNewTask();
    void progressPassesAndRebootHidesThePrompt();  // leaves the count-down running
    void progressForAnIdOutsideTheStoreIsIgnored();
    void dialogsGoWhenTheEventLoopEnds();  // last: ends the router's dialogs

private:
    void installNotify(const QString &id, const QString &name, bool immediate = false, bool reboot = false,
                       int minutes = 0) const;
    void taskSignal(const QString &signal, const QString &id, const QString &name) const;
    void makeTask(const QString &id, int packages, int setUp) const;
    static QWidget *window(const char *name) { return TaskTest::topLevel(name); }
    static QString promptText() { return window(Prompt)->findChild<QLabel *>("notify_content")->text(); }

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DBusMock> m_daemon;
    QElapsedTimer m_sinceConstruction;
};

void TestTaskManager::initTestCase()
{
    m_root = TaskTest::rootWithLog();
    m_daemon = TaskTest::startDaemon();
    QVERIFY(m_daemon->isRunning());
    TaskManager::instance();
    m_sinceConstruction.start();
    QVERIFY(window(Prompt) && window(Progress) && window(CountDown));
}

void TestTaskManager::cleanupTestCase()
{
    // Still the one call of the whole run.
    QCOMPARE(m_daemon->callsOf(TaskTest::TaskPath, "Init").size(), 1);
    m_daemon.reset();
}

void TestTaskManager::init()
{
    // Every test starts with nothing on the screen; closing leaves the dialogs' tasks as they are.
    for (const char *name : {Prompt, Progress, CountDown}) {
        if (window(name)->isVisible())
            QTest::mouseClick(TaskTest::buttonWithText(window(name), "X"), Qt::LeftButton);
        QVERIFY(!window(name)->isVisible());
    }
}

void TestTaskManager::installNotify(const QString &id, const QString &name, bool immediate, bool reboot,
                                    int minutes) const
{
    m_daemon->emitSignal(TaskTest::TaskPath, TaskTest::TaskInterface, "InstallNotify", "ssbbi",
                         {id, name, immediate, reboot, minutes});
}

void TestTaskManager::taskSignal(const QString &signal, const QString &id, const QString &name) const
{
    m_daemon->emitSignal(TaskTest::TaskPath, TaskTest::TaskInterface, signal, "ss", {id, name});
}

void TestTaskManager::makeTask(const QString &id, int packages, int setUp) const
{
    for (int i = 1; i <= packages; ++i)
        m_root->writeFile(TaskStore + id + QString("/pkg%1.deb").arg(i), "!<arch>\n");
    QByteArray log;
    for (int i = 1; i <= setUp; ++i)
        log += QString("正在设置 pkg%1 ...\n").arg(i).toUtf8();
    m_root->writeFile(TaskStore + id + "/install.log", log);
}

void TestTaskManager::initIsCalledFiveSecondsAfterConstruction()
{
    // Coarse timers may fire up to 5 % early.
    QVERIFY(TestEnv::waitFor([this] { return !m_daemon->callsOf(TaskTest::TaskPath, "Init").isEmpty(); }, 10000));
    QVERIFY2(m_sinceConstruction.elapsed() >= 4750, qPrintable(QString::number(m_sinceConstruction.elapsed())));
    QCOMPARE(m_daemon->callsOf(TaskTest::TaskPath, "Init").size(), 1);
    const QRegularExpression initDone("call Init result: +success!");
    QVERIFY(TestEnv::waitFor([&] { return m_root->logText().contains(initDone); }));
}

void TestTaskManager::promptIsShown()
{
    installNotify("r1", "办公套件", false, true, 15);
    QTRY_VERIFY_WITH_TIMEOUT(window(Prompt)->isVisible(), 5000);
    QVERIFY(promptText().contains("即将开始软件安装任务“办公套件”，预计安装时间15分钟，"));
    QVERIFY(m_root->logText().contains("onInstallNotify: taskId(r1)，taskName(办公套件), immediate(0), completeTime(15)"));

    QTest::mouseClick(TaskTest::buttonWithText(window(Prompt), "立即安装"), Qt::LeftButton);
    QCOMPARE(m_daemon->callsOf(TaskTest::TaskPath, "InstallRequest"),
             QList<QVariantList>{QVariantList({QString("r1"), 0})});
    QVERIFY(!window(Prompt)->isVisible());
}

void TestTaskManager::laterPromptWaitsForTheAnswer_data()
{
    QTest::addColumn<QString>("firstId");
    QTest::addColumn<QString>("secondId");
    QTest::newRow("another task") << "r2" << "r3";
    QTest::newRow("the same task") << "r4" << "r4";
}

void TestTaskManager::laterPromptWaitsForTheAnswer()
{
    QFETCH(QString, firstId);
    QFETCH(QString, secondId);

    installNotify(firstId, "先到的任务");
    QTRY_VERIFY_WITH_TIMEOUT(window(Prompt)->isVisible(), 5000);
    installNotify(secondId, "后到的任务", true);
    QVERIFY(m_root->waitForLog(QString("receive notify taskId(%1), but taskId(%2) is show").arg(secondId, firstId)));
    QVERIFY(promptText().contains("先到的任务"));
    QVERIFY(TaskTest::buttonWithText(window(Prompt), "立即安装")->isVisible());
}

void TestTaskManager::promptAfterCloseShowsTheNewTask()
{
    installNotify("r5", "被关闭的任务");
    QTRY_VERIFY_WITH_TIMEOUT(window(Prompt)->isVisible(), 5000);
    QTest::mouseClick(TaskTest::buttonWithText(window(Prompt), "X"), Qt::LeftButton);
    QVERIFY(!window(Prompt)->isVisible());

    installNotify("r6", "新的任务");
    QTRY_VERIFY_WITH_TIMEOUT(window(Prompt)->isVisible(), 5000);
    QVERIFY(promptText().contains("新的任务"));
    QVERIFY(!promptText().contains("被关闭的任务"));
}

void TestTaskManager::progressPassesAndRebootHidesThePrompt()
{
    installNotify("r8", "需要重启的任务", false, true, 0);
    QTRY_VERIFY_WITH_TIMEOUT(window(Prompt)->isVisible(), 5000);

    // Progress is passed on whatever is shown: over the prompt,
    makeTask("r8", 2, 0);
    taskSignal("ShowProgress", "r8", "需要重启的任务");
    QTRY_VERIFY_WITH_TIMEOUT(window(Progress)->isVisible(), 5000);
    QVERIFY(m_root->logText().contains("onShowProgress: taskId(r8)，taskName(需要重启的任务)"));
    QVERIFY(window(Prompt)->isVisible());

    // a reboot hides the prompt first, then counts down,
    taskSignal("RebootNotify", "r8", "需要重启的任务");
    QTRY_VERIFY_WITH_TIMEOUT(window(CountDown)->isVisible(), 5000);
    QVERIFY(!window(Prompt)->isVisible());
    QVERIFY(m_root->logText().contains("install notify is show, hide it"));
    QVERIFY(m_root->logText().contains("onRebootNotify: taskId(r8)，taskName(需要重启的任务)"));
    QVERIFY(window(CountDown)->findChild<QLabel *>("notify_content")->text().contains("180"));

    // and progress is passed on over the count-down too.
    QTest::mouseClick(TaskTest::buttonWithText(window(Progress), "X"), Qt::LeftButton);
    makeTask("r10", 4, 1);
    taskSignal("ShowProgress", "r10", "第十个");
    QTRY_VERIFY_WITH_TIMEOUT(window(Progress)->isVisible(), 5000);
    QVERIFY(window(CountDown)->isVisible());
}

void TestTaskManager::progressForAnIdOutsideTheStoreIsIgnored()
{
    // ".." would lead to the client's folder, where packages lie as well.
    m_root->writeFile("/usr/share/kiv-domain-client/stray.deb", "!<arch>\n");
    const QString warning = "task install progress: task id is not a task folder name";
    const int warnings = m_root->countInLog(warning);
    taskSignal("ShowProgress", "..", "越界任务");
    QVERIFY(TestEnv::waitFor([&] { return m_root->countInLog(warning) > warnings; }));
    QVERIFY(m_root->logText().contains("onShowProgress: taskId(..)，taskName(越界任务)"));
    QVERIFY(!window(Progress)->isVisible());
    QVERIFY(!m_root->logText().contains("stray.deb"));
    m_root->remove("/usr/share/kiv-domain-client/stray.deb");
}

void TestTaskManager::dialogsGoWhenTheEventLoopEnds()
{
    // The router outlives the application object; its widgets must not (that crashed at exit).
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    qApp->exec();
    for (const char *name : {Prompt, Progress, CountDown})
        QVERIFY2(!window(name), name);

    // A notification that still arrives finds no dialog and is not routed.
    installNotify("r12", "太晚的任务");
    m_daemon->calls(TaskTest::TaskPath);  // a round trip: the signal was sent before the reply
    QCoreApplication::processEvents();
    QVERIFY(!m_root->logText().contains("taskId(r12)"));
}

QTEST_MAIN(TestTaskManager)
#include "tst_taskmanager.moc"

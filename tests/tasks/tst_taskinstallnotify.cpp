// The install prompt: its two-part text, which buttons it offers, and what the daemon's
// stand-in receives when the user answers with a real mouse click.
#include <QtTest>

#include <QLabel>

#include "taskinstallnotify.h"
#include "tasktestsupport.h"

namespace {
QString shownText(const QString &black, const QString &red)
{
    return QString("<html><font color='black'>%1</font><font color='red'>%2</font></html>").arg(black, red);
}
const QString MayClose = QStringLiteral("安装可能关闭当前正在运行的程序");
const QString MayCloseAndReboot =
    QStringLiteral("安装可能关闭当前正在运行的程序，并在安装完成后将重启电脑以避免出现未知问题");
}  // namespace

class TestTaskInstallNotify : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void textNamesTaskTimeAndReboot_data();
    void textNamesTaskTimeAndReboot();
    void immediateTaskOffersOnlyClose();
    void answersReachTheDaemon_data();
    void answersReachTheDaemon();
    void finishedInstallationHidesTheBanner_data();
    void finishedInstallationHidesTheBanner();

private:
    QString content() const { return m_dialog->findChild<QLabel *>("notify_content")->text(); }
    QPushButton *button(const QString &text) const { return TaskTest::buttonWithText(m_dialog.get(), text); }

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<TaskInstallNotify> m_dialog;
};

void TestTaskInstallNotify::initTestCase()
{
    m_root = TaskTest::rootWithLog();
    m_daemon = TaskTest::startDaemon();
    QVERIFY(m_daemon->isRunning());
}

void TestTaskInstallNotify::cleanupTestCase() { m_daemon.reset(); }

void TestTaskInstallNotify::init()
{
    m_daemon->clearCalls(TaskTest::TaskPath);
    m_dialog = std::make_unique<TaskInstallNotify>();
}

void TestTaskInstallNotify::cleanup() { m_dialog.reset(); }

void TestTaskInstallNotify::textNamesTaskTimeAndReboot_data()
{
    QTest::addColumn<int>("completeTime");
    QTest::addColumn<bool>("needReboot");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no time, no reboot") << 0 << false << shownText("即将开始软件安装任务“办公套件”，", MayClose);
    QTest::newRow("negative time is not shown") << -5 << false << shownText("即将开始软件安装任务“办公套件”，", MayClose);
    QTest::newRow("30 minutes and a reboot")
        << 30 << true << shownText("即将开始软件安装任务“办公套件”，预计安装时间30分钟，", MayCloseAndReboot);
    QTest::newRow("reboot without time") << 0 << true << shownText("即将开始软件安装任务“办公套件”，", MayCloseAndReboot);
}

void TestTaskInstallNotify::textNamesTaskTimeAndReboot()
{
    QFETCH(int, completeTime);
    QFETCH(bool, needReboot);
    QFETCH(QString, expected);

    QVERIFY(!m_dialog->isVisible());
    m_dialog->showNotify("task-1", "办公套件", false, needReboot, completeTime);
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(content(), expected);
    QCOMPARE(m_dialog->currentTaskId(), QString("task-1"));
}

void TestTaskInstallNotify::immediateTaskOffersOnlyClose()
{
    m_dialog->showNotify("task-2", "浏览器", true, false, 0);
    QVERIFY(!button("立即安装")->isVisible());
    QVERIFY(!button("稍后安装")->isVisible());
    QVERIFY(button("X")->isVisible());

    m_dialog->showNotify("task-3", "浏览器", false, false, 0);
    QVERIFY(button("立即安装")->isVisible());
    QVERIFY(button("稍后安装")->isVisible());
    QVERIFY(button("X")->isVisible());
}

void TestTaskInstallNotify::answersReachTheDaemon_data()
{
    QTest::addColumn<QString>("buttonText");
    QTest::addColumn<QList<QVariantList>>("expected");

    QTest::newRow("install now") << "立即安装" << QList<QVariantList>{{QString("task-new"), 0}};
    QTest::newRow("install later") << "稍后安装" << QList<QVariantList>{{QString("task-new"), 1}};
    QTest::newRow("close sends nothing") << "X" << QList<QVariantList>{};
}

void TestTaskInstallNotify::answersReachTheDaemon()
{
    QFETCH(QString, buttonText);
    QFETCH(QList<QVariantList>, expected);

    // The answer is for the task shown last.
    m_dialog->showNotify("task-old", "旧任务", false, false, 0);
    m_dialog->showNotify("task-new", "新任务", false, true, 10);
    QTest::mouseClick(button(buttonText), Qt::LeftButton);

    QVERIFY(!m_dialog->isVisible());
    QCOMPARE(m_daemon->callsOf(TaskTest::TaskPath, "InstallRequest"), expected);
    QCOMPARE(m_dialog->currentTaskId(), QString("task-new"));
}

void TestTaskInstallNotify::finishedInstallationHidesTheBanner_data()
{
    QTest::addColumn<bool>("result");
    QTest::newRow("finished") << true;
    QTest::newRow("not finished") << false;
}

void TestTaskInstallNotify::finishedInstallationHidesTheBanner()
{
    QFETCH(bool, result);
    m_dialog->showNotify("task-4", "输入法", false, false, 0);
    m_dialog->onInstallComplete(result);
    QCOMPARE(m_dialog->isVisible(), !result);
    QVERIFY(m_root->logText().contains(QString(result ? "true" : "false") + " 任务安装完成隐藏状态栏"));
}

QTEST_MAIN(TestTaskInstallNotify)
#include "tst_taskinstallnotify.moc"

// The reboot count-down against logind's stand-in on the test system bus: the text as it runs
// down, the one "Reboot" request at its end, and notifications while counting.
#include <QtTest>

#include <QLabel>

#include "taskrebootnotify.h"
#include "tasktestsupport.h"

namespace {
const QString LogindPath = QStringLiteral("/org/freedesktop/login1");

QString countText(int seconds) { return QString("安装已完成， %1 秒后自动重启").arg(seconds); }
}  // namespace

class TestTaskRebootNotify : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void countDownEndsInOneReboot_data();
    void countDownEndsInOneReboot();
    void secondNotificationKeepsTheCount();
    void notificationAfterARebootRequestStartsAgain();

private:
    QString text() const { return m_dialog->findChild<QLabel *>("notify_content")->text(); }
    QTimer *countTimer() const { return m_dialog->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly); }
    QList<QVariantList> reboots() const { return m_logind->callsOf(LogindPath, "Reboot"); }

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DBusMock> m_logind;
    std::unique_ptr<TaskRebootNotify> m_dialog;
};

void TestTaskRebootNotify::initTestCase()
{
    m_root = TaskTest::rootWithLog();
    m_logind.reset(DBusMock::fromTemplate("logind", DBusMock::SystemBus));
    QVERIFY(m_logind->isRunning());
}

void TestTaskRebootNotify::cleanupTestCase() { m_logind.reset(); }

void TestTaskRebootNotify::init()
{
    m_logind->clearCalls(LogindPath);
    m_dialog = std::make_unique<TaskRebootNotify>();
}

void TestTaskRebootNotify::cleanup() { m_dialog.reset(); }

void TestTaskRebootNotify::countDownEndsInOneReboot_data()
{
    QTest::addColumn<bool>("closeFirst");
    QTest::newRow("banner left open") << false;
    QTest::newRow("banner closed with X") << true;
}

void TestTaskRebootNotify::countDownEndsInOneReboot()
{
    QFETCH(bool, closeFirst);

    m_dialog->showNotify("task-1", "办公套件");
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(text(), countText(180));
    QVERIFY(countTimer()->isActive());
    QCOMPARE(countTimer()->interval(), 1000);

    if (closeFirst) {
        QTest::mouseClick(TaskTest::buttonWithText(m_dialog.get(), "X"), Qt::LeftButton);
        QVERIFY(!m_dialog->isVisible());
        QVERIFY(countTimer()->isActive());
    }

    // Each tick is the timer's slot; 178 of them bring the count to 2.
    for (int left = 179; left >= 2; --left) {
        m_dialog->onTimeout();
        QCOMPARE(text(), countText(left));
    }
    QVERIFY(reboots().isEmpty());

    m_dialog->onTimeout();
    QCOMPARE(text(), countText(1));
    QCOMPARE(reboots(), QList<QVariantList>{QVariantList{false}});
    QVERIFY(!countTimer()->isActive());
    QVERIFY(!m_dialog->isVisible());
    QVERIFY(m_root->logText().contains("reboot timeout  1000"));
}

void TestTaskRebootNotify::secondNotificationKeepsTheCount()
{
    m_dialog->showNotify("task-3", "输入法");
    for (int i = 0; i < 60; ++i)
        m_dialog->onTimeout();
    QTest::mouseClick(TaskTest::buttonWithText(m_dialog.get(), "X"), Qt::LeftButton);
    QTimer *timer = countTimer();

    const int warnings = m_root->countInLog("last RebootNotify is count down");
    m_dialog->showNotify("task-4", "另一个");
    QCOMPARE(m_root->countInLog("last RebootNotify is count down"), warnings + 1);
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(text(), countText(120));
    QCOMPARE(countTimer(), timer);
    QVERIFY(timer->isActive());
    QVERIFY(reboots().isEmpty());
}

void TestTaskRebootNotify::notificationAfterARebootRequestStartsAgain()
{
    m_dialog->showNotify("task-5", "办公套件");
    for (int i = 0; i < 10; ++i)
        m_dialog->onTimeout();
    m_dialog->doReboot();
    QCOMPARE(reboots().size(), 1);

    m_dialog->showNotify("task-5", "办公套件");
    QCOMPARE(text(), countText(180));
    QVERIFY(countTimer()->isActive());
    QCOMPARE(m_dialog->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly).size(), 1);
    QVERIFY(m_dialog->isVisible());
}

QTEST_MAIN(TestTaskRebootNotify)
#include "tst_taskrebootnotify.moc"

// Faults of the task dialogs that outside data or timing could provoke: task ids that lead out
// of the task store, markup in task names, a finished task's delayed hide, and logs that report
// more set-up packages than the task brought.
#include <QtTest>

#include <QLabel>
#include <QProgressBar>
#include <QTextDocument>

#include "taskinstallnotify.h"
#include "taskinstallprogress.h"
#include "tasktestsupport.h"

namespace {
const QString ClientDir = QStringLiteral("/usr/share/kiv-domain-client");
const QString TaskStore = ClientDir + QStringLiteral("/tasks/");
}  // namespace

class TestFaultsTasks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void idsOutsideTheTaskStoreAreIgnored_data();
    void idsOutsideTheTaskStoreAreIgnored();
    void taskNameIsShownAsText();
    void finishedTaskDoesNotHideTheNextOne();
    void moreSetUpLinesThanPackagesComplete();

private:
    void putPackages(const QString &dir, int count) const;
    std::unique_ptr<TestEnv::TempRoot> m_root;
};

void TestFaultsTasks::initTestCase() { m_root = TaskTest::rootWithLog(); }

void TestFaultsTasks::putPackages(const QString &dir, int count) const
{
    for (int i = 1; i <= count; ++i)
        m_root->writeFile(dir + QString("/pkg%1.deb").arg(i), "!<arch>\n");
}

void TestFaultsTasks::idsOutsideTheTaskStoreAreIgnored_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("reachedDir");  // where the id would lead; packages are put there

    QTest::newRow("empty") << "" << TaskStore;
    QTest::newRow("dot") << "." << TaskStore;
    QTest::newRow("dot dot") << ".." << ClientDir;
    QTest::newRow("parent's sibling") << "../salt" << ClientDir + "/salt";
    QTest::newRow("nested") << "a/b" << TaskStore + "a/b";
    QTest::newRow("absolute") << "/etc" << TaskStore + "etc";
}

void TestFaultsTasks::idsOutsideTheTaskStoreAreIgnored()
{
    QFETCH(QString, id);
    QFETCH(QString, reachedDir);

    const QString warning = "task install progress: task id is not a task folder name";
    putPackages(reachedDir, 2);
    m_root->writeFile(reachedDir + "/install.log", "正在设置 pkg1 ...\n正在设置 pkg2 ...\n");
    TaskInstallProgress progress;
    auto *bar = progress.findChild<QProgressBar *>();
    int warnings = m_root->countInLog(warning);
    progress.showNotify(id, "越界任务");
    QCOMPARE(m_root->countInLog(warning), ++warnings);
    QVERIFY(!progress.isVisible());
    QVERIFY(!progress.findChild<QTimer *>());

    // A task being followed goes on with its own folder and log, undisturbed.
    putPackages(TaskStore + "followed", 4);
    m_root->writeFile(TaskStore + "followed/install.log", "正在设置 pkg1 ...\n");
    progress.showNotify("followed", "正在跟踪");
    progress.onCheckProgress();
    QTimer *timer = progress.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    progress.showNotify(id, "越界任务");
    QCOMPARE(m_root->countInLog(warning), ++warnings);
    QCOMPARE(progress.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly), timer);
    QVERIFY(timer->isActive());
    QCOMPARE(progress.findChild<QLabel *>("task_label")->text(), QString("软件安装任务 “正在跟踪” 当前进度："));
    progress.onCheckProgress();
    QCOMPARE(bar->value(), 25);

    for (int i = 1; i <= 2; ++i)
        m_root->remove(reachedDir + QString("/pkg%1.deb").arg(i));
    m_root->remove(reachedDir + "/install.log");
}

void TestFaultsTasks::taskNameIsShownAsText()
{
    const QString name = "<b>粗体</b> & <a href='x'>链接</a><font color='white'>";

    TaskInstallNotify prompt;
    prompt.showNotify("t1", name, false, true, 0);
    QTextDocument shown;
    shown.setHtml(prompt.findChild<QLabel *>("notify_content")->text());
    QCOMPARE(shown.toPlainText(),
             "即将开始软件安装任务“" + name + "”，安装可能关闭当前正在运行的程序，并在安装完成后将重启电脑以避免出现未知问题");

    putPackages(TaskStore + "t1", 1);
    TaskInstallProgress progress;
    progress.showNotify("t1", name);
    const auto label = progress.findChild<QLabel *>("task_label");
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(label->text(), "软件安装任务 “" + name + "” 当前进度：");
}

void TestFaultsTasks::finishedTaskDoesNotHideTheNextOne()
{
    putPackages(TaskStore + "done", 1);
    m_root->writeFile(TaskStore + "done/install.log", "正在设置 pkg1 ...\n");
    putPackages(TaskStore + "next", 4);
    m_root->writeFile(TaskStore + "next/install.log", "正在设置 pkg1 ...\n");

    TaskInstallProgress progress;
    progress.showNotify("done", "已完成");
    progress.onCheckProgress();
    QCOMPARE(progress.findChild<QProgressBar *>()->value(), 100);

    // The next task arrives while the finished one waits for its hide.
    QElapsedTimer since;
    since.start();
    progress.showNotify("next", "下一个");
    QVERIFY(TestEnv::waitFor([&] { return !progress.isVisible() || since.elapsed() > 3000; }, 5000));
    QVERIFY(progress.isVisible());
    QTimer *timer = progress.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(timer && timer->isActive());
    QCOMPARE(progress.findChild<QProgressBar *>()->value(), 25);
}

void TestFaultsTasks::moreSetUpLinesThanPackagesComplete()
{
    // apt also sets up dependencies and triggers that the task did not bring.
    putPackages(TaskStore + "deps", 3);
    m_root->writeFile(TaskStore + "deps/install.log", "正在设置 pkg1 ...\n正在设置 libdep ...\n");

    TaskInstallProgress progress;
    QSignalSpy complete(&progress, &TaskInstallProgress::installComplete);
    progress.showNotify("deps", "带依赖的任务");
    progress.onCheckProgress();
    QCOMPARE(progress.findChild<QProgressBar *>()->value(), 66);

    m_root->writeFile(TaskStore + "deps/install.log",
                      "正在设置 pkg1 ...\n正在设置 libdep ...\n正在设置 pkg2 ...\n正在设置 pkg3 ...\n");
    progress.onCheckProgress();
    QCOMPARE(progress.findChild<QProgressBar *>()->value(), 100);
    progress.onCheckProgress();
    QCOMPARE(complete.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isVisible(), 3000);
}

QTEST_MAIN(TestFaultsTasks)
#include "tst_faults_tasks.moc"

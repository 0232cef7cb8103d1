// The progress dialog against a real task store under a temporary root: package counting, the
// per-second reading of the task's install log as it grows, is replaced or disappears, what the
// check writes into the agent's log, completion, and notifications it must ignore.
#include <QtTest>

#include <QLabel>
#include <QProgressBar>

#include <cstdio>

#include "taskinstallprogress.h"
#include "tasktestsupport.h"

namespace {
const QString TaskStore = QStringLiteral("/usr/share/kiv-domain-client/tasks/");
const QString SetUpLine = QStringLiteral("正在设置 pkg%1 (1.0-%1) ...");
const QString UnpackLine = QStringLiteral("正在解压 pkg%1 (1.0-%1) ...");
const QString MissingLog = QStringLiteral("Failed to open file for reading");
}  // namespace

class TestTaskInstallProgress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void ticksShowTheShareSetUp_data();
    void ticksShowTheShareSetUp();
    void realTicksFollowAGrowingLog();
    void completionIsReportedThenTheDialogHides();
    void anotherTaskRestartsAtZero();
    void taskWithoutPackagesIsIgnored_data();
    void taskWithoutPackagesIsIgnored();
    void closingKeepsTheChecksGoing();

private:
    void makeTask(const QString &id, int packages) const;
    // The task's log with `setUp` set-up lines among unpack lines; a negative count removes it.
    void writeLog(const QString &id, int setUp, const QString &prefix = QString()) const;
    // One step of a table row: "-" no log; "N" the log holds N set-up lines, written over the
    // same file (it grows, or shrinks); "N+" as "N" and then the next set-up line half written;
    // "Nr" a longer log with N set-up lines put in place of the file (another file).
    void writeLogStep(const QString &id, const QString &step, const QString &prefix) const;
    QProgressBar *bar() const { return m_dialog->findChild<QProgressBar *>("progressBar"); }
    QString label() const { return m_dialog->findChild<QLabel *>("task_label")->text(); }
    QTimer *checkTimer() const { return m_dialog->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly); }

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<TaskInstallProgress> m_dialog;
};

void TestTaskInstallProgress::initTestCase() { m_root = TaskTest::rootWithLog(); }

void TestTaskInstallProgress::init() { m_dialog = std::make_unique<TaskInstallProgress>(); }

void TestTaskInstallProgress::cleanup() { m_dialog.reset(); }

void TestTaskInstallProgress::makeTask(const QString &id, int packages) const
{
    m_root->makeDir(TaskStore + id);
    for (int i = 1; i <= packages; ++i)
        m_root->writeFile(TaskStore + id + QString("/pkg%1_1.0_amd64.deb").arg(i), "!<arch>\n");
}

void TestTaskInstallProgress::writeLog(const QString &id, int setUp, const QString &prefix) const
{
    const QString path = TaskStore + id + "/install.log";
    if (setUp < 0) {
        m_root->remove(path);
        return;
    }
    QStringList lines{"正在读取软件包列表...", UnpackLine.arg(1)};
    for (int i = 1; i <= setUp; ++i)
        lines << UnpackLine.arg(i + 1) << prefix + SetUpLine.arg(i);
    m_root->writeFile(path, lines.join('\n').toUtf8() + "\n");
}

void TestTaskInstallProgress::writeLogStep(const QString &id, const QString &step, const QString &prefix) const
{
    const QString path = TaskStore + id + "/install.log";
    if (step == "-") {
        writeLog(id, -1);
    } else if (step.endsWith('+')) {
        // The package manager is in the middle of the next set-up line: the mark is written, the
        // rest and the newline are not.
        writeLog(id, step.chopped(1).toInt() + 1, prefix);
        const QByteArray whole = m_root->readFile(path);
        m_root->writeFile(path, whole.left(whole.size() - int(qstrlen(") ...\n"))));
    } else if (step.endsWith('r')) {
        writeLog(id, step.chopped(1).toInt(), prefix);
        const QByteArray lines = m_root->readFile(path);
        m_root->writeFile(path + ".new", QString(UnpackLine + "\n").arg(0).repeated(20).toUtf8() + lines);
        QCOMPARE(std::rename(QFile::encodeName(m_root->path(path + ".new")).constData(),
                             QFile::encodeName(m_root->path(path)).constData()),
                 0);
    } else {
        writeLog(id, step.toInt(), prefix);
    }
}

void TestTaskInstallProgress::ticksShowTheShareSetUp_data()
{
    QTest::addColumn<int>("packages");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QStringList>("steps");     // the log before each tick, see writeLogStep
    QTest::addColumn<QList<int>>("expected");   // the bar after each tick
    QTest::addColumn<QList<int>>("logged");     // set-up lines in the agent's log after each tick
    QTest::addColumn<QList<int>>("warnings");   // missing-log warnings after each tick

    QTest::newRow("4 packages set up one by one, each line logged once")
        << 4 << "" << QStringList{"1", "2", "2", "3", "4"} << QList<int>{25, 50, 50, 75, 100}
        << QList<int>{1, 2, 2, 3, 4} << QList<int>{0, 0, 0, 0, 0};
    QTest::newRow("3 packages, 1 set up") << 3 << "" << QStringList{"1"} << QList<int>{33} << QList<int>{1}
                                          << QList<int>{0};
    QTest::newRow("mark inside the line counts") << 2 << "dpkg: " << QStringList{"1", "2"} << QList<int>{50, 100}
                                                 << QList<int>{1, 2} << QList<int>{0, 0};
    QTest::newRow("only unpacking so far") << 2 << "" << QStringList{"0"} << QList<int>{0} << QList<int>{0}
                                           << QList<int>{0};
    QTest::newRow("line being written counts once complete")
        << 4 << "" << QStringList{"1+", "1+", "2"} << QList<int>{25, 25, 50} << QList<int>{1, 1, 2}
        << QList<int>{0, 0, 0};
    QTest::newRow("replaced log read from the top") << 4 << "" << QStringList{"2", "1r"} << QList<int>{50, 25}
                                                    << QList<int>{2, 3} << QList<int>{0, 0};
    QTest::newRow("shortened log read from the top") << 4 << "" << QStringList{"3", "1", "2"}
                                                     << QList<int>{75, 25, 50} << QList<int>{3, 4, 5}
                                                     << QList<int>{0, 0, 0};
    QTest::newRow("missing log warned once until it appears")
        << 4 << "" << QStringList{"-", "-", "-", "1"} << QList<int>{0, 0, 0, 25} << QList<int>{0, 0, 0, 1}
        << QList<int>{1, 1, 1, 1};
    QTest::newRow("log gone again is warned again, and read anew")
        << 4 << "" << QStringList{"-", "2", "-", "1"} << QList<int>{0, 50, 0, 25} << QList<int>{0, 2, 2, 3}
        << QList<int>{1, 1, 2, 2};
}

void TestTaskInstallProgress::ticksShowTheShareSetUp()
{
    QFETCH(int, packages);
    QFETCH(QString, prefix);
    QFETCH(QStringList, steps);
    QFETCH(QList<int>, expected);
    QFETCH(QList<int>, logged);
    QFETCH(QList<int>, warnings);

    const QString id = QString("ticks-%1").arg(QTest::currentDataTag()).replace(' ', '-').remove(',');
    makeTask(id, packages);
    writeLog(id, -1);
    m_dialog->showNotify(id, "办公套件");
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(label(), QString("软件安装任务 “办公套件” 当前进度："));
    QCOMPARE(bar()->value(), 0);

    const int setUpBefore = m_root->countInLog("正在设置");
    const int warningsBefore = m_root->countInLog(MissingLog);
    for (int i = 0; i < steps.size(); ++i) {
        writeLogStep(id, steps[i], prefix);
        m_dialog->onCheckProgress();
        QCOMPARE(bar()->value(), expected[i]);
        QCOMPARE(m_root->countInLog("正在设置") - setUpBefore, logged[i]);
        QCOMPARE(m_root->countInLog(MissingLog) - warningsBefore, warnings[i]);
    }
}

void TestTaskInstallProgress::realTicksFollowAGrowingLog()
{
    makeTask("growing", 4);
    writeLog("growing", 0);
    QSignalSpy values(bar(), &QProgressBar::valueChanged);
    QSignalSpy complete(m_dialog.get(), &TaskInstallProgress::installComplete);
    m_dialog->showNotify("growing", "浏览器");

    QCOMPARE(checkTimer()->interval(), 1000);
    QVERIFY(checkTimer()->isActive());
    for (int step = 1; step <= 4; ++step) {
        writeLog("growing", step);
        QTRY_COMPARE_WITH_TIMEOUT(bar()->value(), 25 * step, 3000);
    }
    QElapsedTimer sinceComplete;
    sinceComplete.start();
    QTRY_COMPARE_WITH_TIMEOUT(complete.count(), 1, 3000);
    QCOMPARE(complete.first().first().toBool(), true);
    QTRY_VERIFY_WITH_TIMEOUT(!m_dialog->isVisible(), 4000);
    QVERIFY(sinceComplete.elapsed() >= 1500);
    QVERIFY(!checkTimer()->isActive());
    QCOMPARE(values.last().first().toInt(), 100);
    QVERIFY(m_root->logText().contains("debian package: "));
    QVERIFY(m_root->logText().contains(m_root->path(TaskStore) + "growing/pkg4_1.0_amd64.deb"));
    QVERIFY(m_root->logText().contains(" taskDir= \"" + m_root->path(TaskStore) + "/growing\""));
}

void TestTaskInstallProgress::completionIsReportedThenTheDialogHides()
{
    makeTask("complete", 2);
    m_dialog->showNotify("complete", "输入法");
    QSignalSpy complete(m_dialog.get(), &TaskInstallProgress::installComplete);

    writeLog("complete", 2);
    m_dialog->onCheckProgress();
    QCOMPARE(bar()->value(), 100);
    QCOMPARE(complete.count(), 0);

    m_dialog->onCheckProgress();  // the tick after 100 reports the end
    QCOMPARE(complete.count(), 1);
    QCOMPARE(complete.first().first().toBool(), true);
    QVERIFY(m_dialog->isVisible());

    QTRY_VERIFY_WITH_TIMEOUT(!m_dialog->isVisible(), 3000);
    QVERIFY(!checkTimer()->isActive());
}

void TestTaskInstallProgress::anotherTaskRestartsAtZero()
{
    makeTask("first", 4);
    makeTask("second", 2);
    writeLog("first", 2);
    m_dialog->showNotify("first", "第一个");
    m_dialog->onCheckProgress();
    QCOMPARE(bar()->value(), 50);
    const int warnings = m_root->countInLog(MissingLog);
    writeLog("first", -1);
    m_dialog->onCheckProgress();
    QCOMPARE(m_root->countInLog(MissingLog), warnings + 1);

    m_dialog->showNotify("second", "第二个");
    QCOMPARE(bar()->value(), 0);
    QCOMPARE(label(), QString("软件安装任务 “第二个” 当前进度："));
    QCOMPARE(m_dialog->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly).size(), 1);
    QVERIFY(checkTimer()->isActive());

    // The new task's own missing log is reported, once.
    m_dialog->onCheckProgress();
    m_dialog->onCheckProgress();
    QCOMPARE(m_root->countInLog(MissingLog), warnings + 2);

    // The second task's log is read now, out of its own package count.
    writeLog("first", 4);
    writeLog("second", 1);
    m_dialog->onCheckProgress();
    QCOMPARE(bar()->value(), 50);
}

void TestTaskInstallProgress::taskWithoutPackagesIsIgnored_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("content");  // a file put into the task folder, or a folder when it ends in "/"

    QTest::newRow("empty folder") << "empty" << "";
    QTest::newRow("missing folder") << "missing" << "-";
    QTest::newRow("only other files") << "other" << "readme.txt";
    QTest::newRow("a folder named like a package") << "folder" << "pkg.deb/";
}

void TestTaskInstallProgress::taskWithoutPackagesIsIgnored()
{
    QFETCH(QString, id);
    QFETCH(QString, content);

    if (content != "-")
        m_root->makeDir(TaskStore + id);
    if (content.endsWith('/'))
        m_root->makeDir(TaskStore + id + "/" + content);
    else if (!content.isEmpty() && content != "-")
        m_root->writeFile(TaskStore + id + "/" + content, "x");

    const QString warning = "task install progress: task package number is 0!";
    int warnings = m_root->countInLog(warning);
    m_dialog->showNotify(id, "空任务");
    QCOMPARE(m_root->countInLog(warning), ++warnings);
    QVERIFY(!m_dialog->isVisible());
    QVERIFY(!checkTimer());

    // While another task is followed, it goes on undisturbed.
    makeTask("followed-" + id, 4);
    writeLog("followed-" + id, 1);
    m_dialog->showNotify("followed-" + id, "正在跟踪");
    m_dialog->onCheckProgress();
    QTimer *timer = checkTimer();

    m_dialog->showNotify(id, "空任务");
    QCOMPARE(m_root->countInLog(warning), ++warnings);
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(checkTimer(), timer);
    QVERIFY(timer->isActive());
    QCOMPARE(bar()->value(), 25);
    QCOMPARE(label(), QString("软件安装任务 “正在跟踪” 当前进度："));

    writeLog("followed-" + id, 4);
    m_dialog->onCheckProgress();
    QCOMPARE(bar()->value(), 100);
}

void TestTaskInstallProgress::closingKeepsTheChecksGoing()
{
    makeTask("closed", 4);
    writeLog("closed", 1);
    m_dialog->showNotify("closed", "被关闭");
    QSignalSpy complete(m_dialog.get(), &TaskInstallProgress::installComplete);

    QPushButton *close = TaskTest::buttonWithText(m_dialog.get(), "X");
    QVERIFY(close);
    QTest::mouseClick(close, Qt::LeftButton);
    QVERIFY(!m_dialog->isVisible());
    QVERIFY(checkTimer()->isActive());

    writeLog("closed", 4);
    QTRY_COMPARE_WITH_TIMEOUT(bar()->value(), 100, 3000);
    QTRY_COMPARE_WITH_TIMEOUT(complete.count(), 1, 3000);
    QVERIFY(!m_dialog->isVisible());
}

QTEST_MAIN(TestTaskInstallProgress)
#include "tst_taskinstallprogress.moc"

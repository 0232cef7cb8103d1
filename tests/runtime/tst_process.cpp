// The /proc process probes, with copies of a small program started under a name of this test
// run, and the Utils wrappers around them.
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "process.h"
#include "testenv.h"
#include "utils.h"

namespace {
// Set in a copy of this test program that calls shutdown_process for its own name.
const char *const ShutdownChildVariable = "KIV_PROCESS_SHUTDOWN_CHILD";
}  // namespace

class TestProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void matchesTheExactBaseName_data();
    void matchesTheExactBaseName();
    void counts_data();
    void counts();
    void otherUsersProcessesNeverMatch();
    void shutdownSparesItsCaller();

private:
    QProcess *startCopy(const QString &dir);
    void stopCopies();

    QTemporaryDir m_dir;
    QString m_name;  // a program name no other process has
    QList<QProcess *> m_copies;
};

void TestProcess::initTestCase()
{
    if (qEnvironmentVariableIsSet(ShutdownChildVariable)) {
        // The copy: end every other process of its own name, then tell whether it still runs.
        const QByteArray name = qgetenv(ShutdownChildVariable);
        shutdown_process(name.constData());
        // SIGKILL takes effect asynchronously: wait, bounded, until only this copy is left.
        TestEnv::waitFor([&] { return count_process(name.constData()) <= 1; }, 5000);
        std::printf("ALIVE count=%d\n", count_process(name.constData()));
        std::fflush(stdout);
        std::_Exit(0);
    }
    m_name = QString("kivprobe%1").arg(getpid());
    QDir().mkpath(m_dir.path() + "/a");
    QDir().mkpath(m_dir.path() + "/b");
    QVERIFY(QFile::copy("/bin/sleep", m_dir.path() + "/a/" + m_name));
}

void TestProcess::cleanup() { stopCopies(); }

QProcess *TestProcess::startCopy(const QString &dir)
{
    auto *process = new QProcess(this);
    process->start(m_dir.path() + "/" + dir + "/" + m_name, {"300"});
    if (!process->waitForStarted(10000))
        qWarning() << "copy did not start:" << process->errorString();
    m_copies << process;
    return process;
}

void TestProcess::stopCopies()
{
    for (QProcess *process : qAsConst(m_copies)) {
        process->kill();
        process->waitForFinished(5000);
        delete process;
    }
    m_copies.clear();
}

void TestProcess::matchesTheExactBaseName_data()
{
    QTest::addColumn<QString>("query");  // %1 stands for the copy's name
    QTest::addColumn<int>("running");
    QTest::newRow("exact name") << "%1" << 1;
    QTest::newRow("prefix") << "%1x" << 0;
    QTest::newRow("shorter name") << "short" << 0;
    QTest::newRow("full path") << "full" << 0;
    QTest::newRow("empty") << "" << 0;
}

void TestProcess::matchesTheExactBaseName()
{
    QFETCH(QString, query);
    QFETCH(int, running);
    startCopy("a");
    if (query == "short")
        query = m_name.left(m_name.size() - 2);
    else if (query == "full")
        query = m_dir.path() + "/a/" + m_name;
    else
        query = query.arg(m_name);
    QCOMPARE(process_is_running(query.toLatin1().constData()), running);
    QCOMPARE(Utils::isProcessExisted(query), running == 1);
    QCOMPARE(count_process(query.toLatin1().constData()), running);
}

void TestProcess::counts_data()
{
    QTest::addColumn<int>("copies");
    QTest::addColumn<bool>("selfExisted");
    QTest::newRow("none") << 0 << false;
    QTest::newRow("one") << 1 << false;
    QTest::newRow("two") << 2 << true;
    QTest::newRow("three") << 3 << false;
}

void TestProcess::counts()
{
    QFETCH(int, copies);
    QFETCH(bool, selfExisted);
    for (int i = 0; i < copies; ++i)
        startCopy("a");
    QCOMPARE(count_process(m_name.toLatin1().constData()), copies);
    QCOMPARE(process_is_running(m_name.toLatin1().constData()), copies > 0 ? 1 : 0);
    QCOMPARE(Utils::isSelfProcessExisted(m_name), selfExisted);
}

void TestProcess::otherUsersProcessesNeverMatch()
{
    if (geteuid() != 0)
        QSKIP("needs root to act as another user");
    startCopy("a");
    QCOMPARE(count_process(m_name.toLatin1().constData()), 1);
    // The "exe" link of root's process is not readable by an ordinary user.
    QCOMPARE(seteuid(65534), 0);
    const int seen = count_process(m_name.toLatin1().constData());
    const int running = process_is_running(m_name.toLatin1().constData());
    QCOMPARE(seteuid(0), 0);
    QCOMPARE(seen, 0);
    QCOMPARE(running, 0);
}

void TestProcess::shutdownSparesItsCaller()
{
    // Two copies of a sleeping program and a copy of this test program share one name; the
    // test program's copy ends the others and lives on.
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), m_dir.path() + "/b/" + m_name));
    QProcess *first = startCopy("a");
    QProcess *second = startCopy("a");
    QCOMPARE(count_process(m_name.toLatin1().constData()), 2);

    QProcess caller;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(ShutdownChildVariable, m_name);
    caller.setProcessEnvironment(environment);
    caller.start(m_dir.path() + "/b/" + m_name, QStringList());
    QVERIFY(caller.waitForFinished(20000));
    QCOMPARE(caller.exitStatus(), QProcess::NormalExit);
    QCOMPARE(caller.exitCode(), 0);
    const QByteArray output = caller.readAllStandardOutput();
    QVERIFY2(output.contains("ALIVE count=1\n"), output.constData());

    QVERIFY(first->waitForFinished(5000));
    QVERIFY(second->waitForFinished(5000));
    QCOMPARE(first->exitStatus(), QProcess::CrashExit);
    QCOMPARE(second->exitStatus(), QProcess::CrashExit);
    QCOMPARE(count_process(m_name.toLatin1().constData()), 0);
    QVERIFY(QFile::remove(m_dir.path() + "/b/" + m_name));
}

QTEST_MAIN(TestProcess)
#include "tst_process.moc"

// Mended faults of the command runner and the cipher: a mode that starts nothing, a shell that
// is not there, a command that never ends, a probe whose command hangs, and the bytes that round
// a short cipher text up to a block.
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <signal.h>

#include "log.h"
#include "paths.h"
#include "sm4.h"
#include "testenv.h"
#include "utils.h"

namespace {
// Set in a copy of this program that runs in a sandbox without the shell.
const char *const NoShellVariable = "KIV_NO_SHELL_CHILD";

// In the copy: every way of running a command, each with its answer and whether it came at
// once, then the log; the copy ends here.
void runWithoutShellAndExit()
{
    TestEnv::TempRoot root;
    Log::GetInstance()->setLogPath(Paths::logFile());
    root.writeConfig("[init]\n;add_domain_success=true\n");
    root.writeFile("/tmp/job.sh", "echo from script\n");
    QElapsedTimer timer;
    QStringList answers;
    const auto report = [&](const char *name, bool ok, const QString &output) {
        answers << QString("%1 ok=%2 output=<%3> fast=%4")
                       .arg(name)
                       .arg(ok ? 1 : 0)
                       .arg(output)
                       .arg(timer.elapsed() < 10000 ? 1 : 0);
    };
    timer.start();
    CmdResult result = Utils::exec_cmd("echo never", 0);
    report("mode0", result.ok, result.output);
    timer.start();
    result = Utils::exec_cmd(root.path("/tmp/job.sh"), 1);
    report("mode1", result.ok, result.output);
    timer.start();
    report("hasAddedDomain", Utils::hasAddedDomain(), QString());
    timer.start();
    report("ssh", false, Utils::get_ssh_status());
    std::printf("\nANSWERS<%s>\nLOG<%s>\n", qPrintable(answers.join('|')), qPrintable(root.logText()));
    std::fflush(stdout);
    std::_Exit(0);
}

bool processGone(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    // A zombie waiting for its parent has ended too.
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
}
}  // namespace

class TestFaultsUtils : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void unknownModeAnswersAtOnce_data();
    void unknownModeAnswersAtOnce();
    void missingShellAnswersAtOnce();
    void hangingCommandIsKilledAtTheLimit();
    void hangingProbeIsKilledAtTheLimit();
    void shortCipherIsRoundedUpWithZeros();

private:
    QScopedPointer<TestEnv::TempRoot> m_root;
};

void TestFaultsUtils::initTestCase()
{
    if (qEnvironmentVariableIsSet(NoShellVariable))
        runWithoutShellAndExit();
}

void TestFaultsUtils::init()
{
    m_root.reset(new TestEnv::TempRoot);
    Log::GetInstance()->setLogPath(Paths::logFile());
}

void TestFaultsUtils::cleanup()
{
    Utils::setCommandTimeLimitMs(120000);
    m_root.reset();
}

void TestFaultsUtils::unknownModeAnswersAtOnce_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("mode 2") << 2;
    QTest::newRow("mode -1") << -1;
}

void TestFaultsUtils::unknownModeAnswersAtOnce()
{
    QFETCH(int, mode);
    QElapsedTimer timer;
    timer.start();
    const CmdResult result = Utils::exec_cmd("echo never", mode);
    QVERIFY(!result.ok);
    QCOMPARE(result.output, QString());
    QVERIFY2(timer.elapsed() < Utils::commandTimeLimitMs(), "the runner waited for a process that never started");
    QVERIFY2(m_root->logText().contains(QString("exec_cmd: unknown mode %1 for command echo never").arg(mode)),
             qPrintable(m_root->logText()));
}

void TestFaultsUtils::missingShellAnswersAtOnce()
{
    // A copy of this program in a sandbox whose program folder is empty: the shell is gone.
    const QString shellFolder = QFileInfo("/bin/bash").canonicalPath();
    QVERIFY(!shellFolder.isEmpty());
    QStringList arguments{"--bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--die-with-parent"};
    for (const QString &folder : {shellFolder, QStringLiteral("/bin")}) {
        if (!QFileInfo(folder).isSymLink())
            arguments << "--tmpfs" << folder;
    }
    arguments << "--" << QCoreApplication::applicationFilePath();
    QProcess copy;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(NoShellVariable, "1");
    copy.setProcessEnvironment(environment);
    copy.start("bwrap", arguments);
    QVERIFY2(copy.waitForFinished(60000), "the runner waited for a shell that never started");
    const QString output = QString::fromUtf8(copy.readAllStandardOutput());
    const QRegularExpressionMatch answers = QRegularExpression("\nANSWERS<(.*)>\n").match(output);
    QVERIFY2(answers.hasMatch(), qPrintable(output + copy.readAllStandardError()));
    QCOMPARE(answers.captured(1), QString("mode0 ok=0 output=<> fast=1|mode1 ok=0 output=<> fast=1|"
                                          "hasAddedDomain ok=0 output=<> fast=1|ssh ok=0 output=<> fast=1"));
    const QString log = QRegularExpression("\nLOG<(.*)>\n", QRegularExpression::DotMatchesEverythingOption)
                            .match(output)
                            .captured(1);
    QCOMPARE(log.count("exec_cmd: cannot start /bin/bash: "), 2);
    QCOMPARE(log.count("run_program: cannot start bash -c "), 2);
}

void TestFaultsUtils::hangingCommandIsKilledAtTheLimit()
{
    QCOMPARE(Utils::commandTimeLimitMs(), 120000);
    Utils::setCommandTimeLimitMs(400);
    // The shell prints, starts a child that never ends and waits for it.
    const CmdResult result = Utils::exec_cmd("echo started; sleep 600 & echo $!; wait", 0);
    QVERIFY(!result.ok);
    const QStringList lines = result.output.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), QString("started"));
    // The whole command ended, the child it started included.
    const qint64 child = lines.last().toLongLong();
    QVERIFY(child > 0);
    QVERIFY(TestEnv::waitFor([child] { return processGone(child); }, 5000));
    QVERIFY2(m_root->logText().contains(
                 "exec_cmd: command did not end within 400 ms, killed: echo started; sleep 600 & echo $!; wait"),
             qPrintable(m_root->logText()));
}

void TestFaultsUtils::hangingProbeIsKilledAtTheLimit()
{
    QTemporaryDir bin;
    TestEnv::writeFakeCommand(bin.path(), "service", "echo ' [ + ]  ssh'; exec sleep 600");
    const QByteArray savedPath = qgetenv("PATH");
    TestEnv::prependPath(bin.path());
    Utils::setCommandTimeLimitMs(400);
    const QString status = Utils::get_ssh_status();
    qputenv("PATH", savedPath);
    // grep has its line but the pipeline never ends: nothing is trusted from it.
    QVERIFY(status.isEmpty() || status == " [ + ]  ssh\n");
    QVERIFY2(m_root->logText().contains("run_program: bash -c service --status-all | grep ssh did not end within "
                                        "400 ms, killed"),
             qPrintable(m_root->logText()));
}

void TestFaultsUtils::shortCipherIsRoundedUpWithZeros()
{
    const std::string key = "0123456789abcdef";
    sm4 cipher;
    cipher.setType(sm4::ECB);
    cipher.setKey(key);
    cipher.setIv("fedcba9876543210");
    sm4_ctx ctx;
    sm4_setkey_dec(&ctx, reinterpret_cast<const unsigned char *>(key.data()));

    // What the decryption must see for 20 bytes: the bytes followed by twelve zero bytes.
    const auto zeroFilled = [&](const std::string &shortText) {
        const std::string rounded = shortText + std::string(12, '\0');
        std::string plain(32, '\0');
        sm4_crypt_ecb(&ctx, 0, 32, reinterpret_cast<const unsigned char *>(rounded.data()),
                      reinterpret_cast<unsigned char *>(&plain[0]));
        return plain;
    };
    // A short text whose answer holds bytes of the partial block: its pad count is small.
    std::string shortText = cipher.encrypt(std::string(16, 'x')).substr(0, 16) + "0000";
    for (unsigned tail = 0; (unsigned char)zeroFilled(shortText)[19] > 3; ++tail)
        shortText.replace(16, 4, QByteArray::number(tail, 16).rightJustified(4, '0').toStdString());
    const std::string plain = zeroFilled(shortText);
    const std::string expected = plain.substr(0, 20 - (unsigned char)plain[19]);
    QVERIFY(expected.size() > 16);

    // Leave garbage in freed memory of the working buffers' size before every attempt.
    for (int attempt = 0; attempt < 20; ++attempt) {
        void *dirty = std::malloc(32);
        std::memset(dirty, 0xa5 + attempt, 32);
        std::free(dirty);
        QCOMPARE(QByteArray::fromStdString(cipher.decrypt(shortText)).toHex(),
                 QByteArray::fromStdString(expected).toHex());
    }
}

QTEST_MAIN(TestFaultsUtils)
#include "tst_faults_utils.moc"

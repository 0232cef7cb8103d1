// The agent runtime: the file logger in this process; the real agent's start-up from good and
// broken files, and how it ends; the /proc process probes on copies of a program.
#include <QtTest>

#include <csignal>
#include <unistd.h>

#include "fixture.h"
#include "log.h"
#include "paths.h"
#include "process.h"
#include "utils.h"

namespace {
const QString Stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";
const QString Hello = "[LOG_INFO] main:hello session agent!";
const QString RegisterError = "[LOG_ERROR] main:bus registerService error!bus.lastError().message() = ";
const QByteArray Valid = "[init]\nhostname=term-042\nip_port=127.0.0.1:1\nadd_domain_success=true\n"
                         "[style]\nforce_full_screen=true\n";
const char Garbage[] = "\x00\xff\xfe[init\nheartbeat=abc\n=\n[[]]\nip_port\n\x01=\x03";
}  // namespace

class TestRuntime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void fileLogger_data();
    void fileLogger();
    void startsWithDefaults_data();
    void startsWithDefaults();
    void endings_data();
    void endings();
    void processProbes_data();
    void processProbes();

private:
    std::unique_ptr<Fixture> m_fixture;
    QTemporaryDir m_programs;
    QString m_name;  // copies of a program under a name no other process has
};

void TestRuntime::initTestCase()
{
    m_fixture.reset(new Fixture(Fixture::Daemon, true));
    Log::GetInstance()->setLogPath(Paths::logFile());
    m_name = QString("kivprobe%1").arg(getpid());
    QVERIFY(QFile::copy("/bin/sleep", m_programs.filePath(m_name)));
}

void TestRuntime::init()
{
    m_fixture->stopAgent();
    m_fixture->reset();
    const QString config = m_fixture->root().path(TestEnv::ConfigIni);
    QDir(config).removeRecursively();
    QFile::remove(config);
}

void TestRuntime::fileLogger_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<int>("level");
    QTest::addColumn<QByteArray>("format");  // of one argument, a text holding % itself
    QTest::addColumn<QString>("line");       // after the time stamp; empty: nothing written

    QTest::newRow("info") << 0 << int(LOG_INFO) << QByteArray("%s:hello") << "[LOG_INFO] 创建%s%n:hello";
    QTest::newRow("level without a name") << 0 << 7 << QByteArray("%s") << "[] 创建%s%n";
    QTest::newRow("below the threshold") << int(LOG_WARN) << int(LOG_INFO) << QByteArray("%s") << "";
    QTest::newRow("above the threshold") << int(LOG_WARN) << int(LOG_ERROR) << QByteArray("%s") << "[LOG_ERROR] 创建%s%n";
    QTest::newRow("format over 8191 bytes refused") << 0 << int(LOG_INFO) << QByteArray(8192, 'a')
                                                    << "[LOG_ERROR] write too bigger log content";
    QTest::newRow("expansion cut at 8191 bytes") << 0 << int(LOG_INFO) << QByteArray("%20000s")
                                                 << "[LOG_INFO] " + QString(8191, ' ');
}

// Only a built text can make a format longer than the limit.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void TestRuntime::fileLogger()
{
    QFETCH(int, threshold);
    QFETCH(int, level);
    QFETCH(QByteArray, format);
    QFETCH(QString, line);

    Log::GetInstance()->setLogLevel(LOGLEVEL(threshold));
    Log::GetInstance()->SaveFileLog(LOGLEVEL(level), format.constData(), "创建%s%n");
    Log::GetInstance()->setLogLevel(LOG_DEBUG);
    const QString text = m_fixture->root().logText();
    QVERIFY2(line.isEmpty() ? text.isEmpty()
                            : QRegularExpression("^" + Stamp + QRegularExpression::escape(line) + "\n$").match(text).hasMatch(),
             qPrintable(text.left(300)));
}

void TestRuntime::startsWithDefaults_data()
{
    QTest::addColumn<QString>("config");  // valid, missing, empty, unreadable, folder, garbage
    QTest::addColumn<QByteArray>("osRelease");
    QTest::addColumn<bool>("schemas");  // the desktop's settings schemas are installed
    QTest::addColumn<bool>("policyEngine");

    QTest::newRow("good files") << "valid" << Kiv5Release << true << true;
    QTest::newRow("configuration missing") << "missing" << Kiv5Release << true << true;
    QTest::newRow("configuration empty") << "empty" << Kiv5Release << true << true;
    QTest::newRow("configuration unreadable") << "unreadable" << Kiv5Release << true << true;
    QTest::newRow("folder in place of the configuration") << "folder" << Kiv5Release << true << true;
    QTest::newRow("configuration garbage") << "garbage" << Kiv5Release << true << true;
    QTest::newRow("os-release empty") << "valid" << QByteArray("") << true << false;
    QTest::newRow("os-release of version 4") << "valid" << QByteArray("NAME_EN=KIVDesktop\nVERSION_ID=4.0\n") << true
                                             << false;
    QTest::newRow("desktop schemas missing") << "valid" << Kiv5Release << false << true;
}

void TestRuntime::startsWithDefaults()
{
    QFETCH(QString, config);
    QFETCH(QByteArray, osRelease);
    QFETCH(bool, schemas);
    QFETCH(bool, policyEngine);

    const TestEnv::TempRoot &root = m_fixture->root();
    if (config == "valid" || config == "unreadable")
        root.writeConfig(Valid);
    if (config == "unreadable")
        QVERIFY(QFile::setPermissions(root.path(TestEnv::ConfigIni), QFileDevice::Permissions()));
    else if (config == "empty")
        root.writeFile(TestEnv::ConfigIni, QByteArray());
    else if (config == "folder")
        root.makeDir(TestEnv::ConfigIni);
    else if (config == "garbage")
        root.writeFile(TestEnv::ConfigIni, QByteArray(Garbage, sizeof Garbage - 1) + QByteArray(5000, '\xc3'));

    // Without the desktop's schemas (an empty folder in their place) for the agent only.
    const QByteArray desktopSchemas = qgetenv("GSETTINGS_SCHEMA_DIR");
    if (!schemas)
        qputenv("GSETTINGS_SCHEMA_DIR", QFile::encodeName(m_fixture->root().path("/tmp")));
    const bool started = m_fixture->startAgent(QByteArray(), osRelease);
    qputenv("GSETTINGS_SCHEMA_DIR", desktopSchemas);
    QVERIFY(started);

    // The daemon is told the default heartbeat period, and the agent serves a log-in (which
    // switches the desktop's shortcuts on, where its schemas allow).
    QVERIFY(TestEnv::waitFor([&] { return !m_fixture->daemon().callsOf(TestEnv::AgentPath, "setHeartBeat").isEmpty(); }));
    QCOMPARE(m_fixture->daemon().callsOf(TestEnv::AgentPath, "setHeartBeat"), QList<QVariantList>{{10000}});
    QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
    const QString log = root.logText();
    QVERIFY2(QRegularExpression("^" + Stamp + QRegularExpression::escape(Hello) + "\n").match(log).hasMatch(),
             qPrintable(log.left(300)));
    QCOMPARE(log.contains("[Info][default] start policy sync"), policyEngine);
}

void TestRuntime::endings_data()
{
    QTest::addColumn<int>("sig");  // 0: no signal, the agent has no session bus
    QTest::addColumn<int>("status");
    QTest::newRow("SIGABRT") << int(SIGABRT) << 6;
    QTest::newRow("SIGSEGV") << int(SIGSEGV) << 11;
    QTest::newRow("no session bus") << 0 << 1;
}

void TestRuntime::endings()
{
    QFETCH(int, sig);
    QFETCH(int, status);

    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!sig)
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(m_fixture->root().path("/tmp/no-bus")));
    const bool started = m_fixture->startAgent(Valid, QByteArray(), sig != 0);
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
    QVERIFY(started);
    AgentRun &agent = m_fixture->agent();
    if (sig)
        agent.sendSignal(sig);
    QVERIFY(agent.waitForExit());
    QCOMPARE(agent.exitCode(), status);
    if (sig) {
        QVERIFY2(agent.output().contains(QString("Caught signal: %1\n").arg(sig)), qPrintable(agent.output()));
        return;
    }
    // The bus's error on both channels, the Qt one on standard output too; nothing after it.
    const QStringList lines = m_fixture->root().logText().split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).endsWith(Hello));
    const QRegularExpressionMatch debug = QRegularExpression(R"(^\[[^]]+\]\[Debug\]\[default\] (.+)$)").match(lines.at(1));
    QVERIFY2(debug.hasMatch(), qPrintable(lines.at(1)));
    QVERIFY2(lines.at(2).endsWith(RegisterError + debug.captured(1)), qPrintable(lines.at(2)));
    QVERIFY(agent.output().contains(lines.at(1) + "\n"));
}

void TestRuntime::processProbes_data()
{
    QTest::addColumn<int>("copies");
    QTest::addColumn<QString>("query");  // %1: the copies' name; "/" in front: their folder
    QTest::addColumn<uid_t>("asUser");
    QTest::addColumn<int>("count");

    QTest::newRow("none") << 0 << "%1" << 0u << 0;
    QTest::newRow("one") << 1 << "%1" << 0u << 1;
    QTest::newRow("two") << 2 << "%1" << 0u << 2;
    QTest::newRow("three") << 3 << "%1" << 0u << 3;
    QTest::newRow("longer name") << 1 << "%1x" << 0u << 0;
    QTest::newRow("full path") << 1 << "/%1" << 0u << 0;
    QTest::newRow("another user's processes") << 1 << "%1" << 65534u << 0;
}

void TestRuntime::processProbes()
{
    QFETCH(int, copies);
    QFETCH(QString, query);
    QFETCH(uid_t, asUser);
    QFETCH(int, count);

    std::vector<std::unique_ptr<QProcess>> started;
    for (int i = 0; i < copies; ++i) {
        started.emplace_back(new QProcess);
        started.back()->start(m_programs.filePath(m_name), {"300"});
        QVERIFY(started.back()->waitForStarted());
    }
    const QByteArray name = QString(query).replace("%1", m_name).replace(QRegularExpression("^/"), m_programs.path() + "/").toUtf8();
    QCOMPARE(seteuid(asUser), 0);
    const int counted = count_process(name.constData());
    const bool running = Utils::isProcessExisted(name), self = Utils::isSelfProcessExisted(name);
    QCOMPARE(seteuid(0), 0);
    QCOMPARE(counted, count);
    QCOMPARE(running, count > 0);
    QCOMPARE(self, count == 2);  // the caller counts itself: two are one more copy
    for (auto &copy : started) {
        copy->kill();
        copy->waitForFinished();
    }
}

QTEST_MAIN(TestRuntime)
#include "tst_runtime.moc"

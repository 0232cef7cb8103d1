// The agent runtime: the file logger in this process; the real agent's start-up and how it ends; /proc probes.
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
const QByteArray Valid = "[init]\nip_port=127.0.0.1:1\nadd_domain_success=true\n[style]\nforce_full_screen=true\n";
const char Garbage[] = "\x00\xff\xfe[init\nheartbeat=abc\n=\n[[]]\nip_port\n\x01=\x03";
}  // namespace

// Only a built text can make a format longer than the limit.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

class TestRuntime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.reset(new Fixture(Fixture::Daemon, true));
        Log::GetInstance()->setLogPath(Paths::logFile());
        QVERIFY(QFile::copy("/bin/sleep", m_programs.filePath(m_name)));
    }

    void init()
    {
        m_fixture->stopAgent();
        m_fixture->reset();
        m_fixture->root().remove(TestEnv::ConfigIni);
    }

    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void fileLogger_data()
    {
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("level");
        QTest::addColumn<QByteArray>("format");  // of one argument, a text holding % itself
        QTest::addColumn<QString>("line");       // after the time stamp; empty: nothing written

        QTest::newRow("level without a name") << 0 << 7 << QByteArray("%s:hello") << "[] 创建%s%n:hello";
        QTest::newRow("below the threshold") << int(LOG_WARN) << int(LOG_INFO) << QByteArray("%s") << "";
        QTest::newRow("above the threshold") << int(LOG_WARN) << int(LOG_ERROR) << QByteArray("%s") << "[LOG_ERROR] 创建%s%n";
        QTest::newRow("format over 8191 bytes") << 0 << int(LOG_INFO) << QByteArray(8192, 'a')
                                                << "[LOG_ERROR] write too bigger log content";
        QTest::newRow("expansion cut") << 0 << int(LOG_INFO) << QByteArray("%20000s") << "[LOG_INFO] " + QString(8191, ' ');
    }

    void fileLogger()
    {
        QFETCH(int, threshold);
        QFETCH(int, level);
        QFETCH(QByteArray, format);
        QFETCH(QString, line);

        Log::GetInstance()->setLogLevel(LOGLEVEL(threshold));
        Log::GetInstance()->SaveFileLog(LOGLEVEL(level), format.constData(), "创建%s%n");
        Log::GetInstance()->setLogLevel(LOG_DEBUG);
        QCOMPARE(m_fixture->root().logText().remove(QRegularExpression("^" + Stamp)), line.isEmpty() ? "" : line + "\n");
    }

    void starts_data()
    {
        QTest::addColumn<QString>("config");  // valid, missing, unreadable, garbage
        QTest::addColumn<QByteArray>("osRelease");
        QTest::addColumn<bool>("schemas");  // the desktop's settings schemas are installed, or only a part of one
        QTest::addColumn<int>("crash");     // the signal that ends the agent afterwards

        QTest::newRow("good files, then SIGABRT") << "valid" << Kiv5Release << true << int(SIGABRT);
        QTest::newRow("configuration missing, then SIGSEGV") << "missing" << Kiv5Release << true << int(SIGSEGV);
        QTest::newRow("configuration unreadable") << "unreadable" << Kiv5Release << true << 0;
        QTest::newRow("configuration garbage") << "garbage" << Kiv5Release << true << 0;
        QTest::newRow("system of version 4") << "valid" << QByteArray("NAME_EN=KIVDesktop\nVERSION_ID=4.0\n") << true << 0;
        QTest::newRow("desktop schemas missing, workspace keys lacking one") << "valid" << Kiv5Release << false << 0;
    }

    // The agent starts from whatever files it finds: the daemon is told the default heartbeat period, and it serves a
    // log-in (switching the desktop's shortcuts on where its schemas allow). A crash ends it with the signal.
    void starts()
    {
        QFETCH(QString, config);
        QFETCH(QByteArray, osRelease);
        QFETCH(bool, schemas);
        QFETCH(int, crash);

        const TestEnv::TempRoot &root = m_fixture->root();
        if (config == "valid" || config == "unreadable")
            root.writeConfig(Valid);
        if (config == "unreadable")
            QVERIFY(QFile::setPermissions(root.path(TestEnv::ConfigIni), QFileDevice::Permissions()));
        else if (config == "garbage")
            root.writeFile(TestEnv::ConfigIni, QByteArray(Garbage, sizeof Garbage - 1) + QByteArray(5000, '\xc3'));

        // Without the desktop's schemas for the agent only: in their place, the workspace key bindings without one of
        // the keys the lock-down switches.
        const QByteArray desktopSchemas = qgetenv("GSETTINGS_SCHEMA_DIR");
        root.writeFile("/schemas/wm.gschema.xml", "<schemalist><schema id='org.qoro.desktop.wm.keybindings' path='/org/"
                                                  "qoro/desktop/wm/keybindings/'><key name='switch-to-workspace-right' "
                                                  "type='as'><default>[]</default></key></schema></schemalist>");
        QCOMPARE(QProcess::execute("glib-compile-schemas", {"--strict", root.path("/schemas")}), 0);
        qputenv("GSETTINGS_SCHEMA_DIR", schemas ? desktopSchemas : QFile::encodeName(root.path("/schemas")));
        const bool started = m_fixture->startAgent(QByteArray(), osRelease);
        qputenv("GSETTINGS_SCHEMA_DIR", desktopSchemas);
        QVERIFY(started);

        const auto heartbeats = [this] { return m_fixture->daemon().callsOf(TestEnv::AgentPath, "setHeartBeat"); };
        QTRY_COMPARE_WITH_TIMEOUT(heartbeats(), QList<QVariantList>{{10000}}, 10000);
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        const QString log = root.logText();
        QVERIFY2(QString(log).remove(QRegularExpression("^" + Stamp)).startsWith(Hello + "\n"), qPrintable(log));
        // The policy engine runs on the client's own desktop 5 only.
        QCOMPARE(log.contains("[Info][default] start policy sync"), osRelease == Kiv5Release);
        QCOMPARE(log.contains("setWorkSpaceEnable: schema org.qoro.desktop.wm.keybindings has no key switch-to-workspace-up"),
                 !schemas);
        if (!crash)
            return;
        m_fixture->agent().sendSignal(crash);
        QVERIFY(m_fixture->agent().waitForExit());
        QCOMPARE(m_fixture->agent().exitCode(), crash);
        QVERIFY(m_fixture->agent().output().contains(QString("Caught signal: %1\n").arg(crash)));
    }

    // Without a session bus the agent ends with status 1 after the bus's error on both channels, the Qt one on standard
    // output too, and nothing after it.
    void noSessionBus()
    {
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(m_fixture->root().path("/tmp/no-bus")));
        const bool started = m_fixture->startAgent(Valid, QByteArray(), false);
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        QVERIFY(started && m_fixture->agent().waitForExit());
        QCOMPARE(m_fixture->agent().exitCode(), 1);
        const QStringList lines = m_fixture->root().logText().split('\n', Qt::SkipEmptyParts);
        const QString error = lines.value(1).section("[Debug][default] ", 1);
        QVERIFY2(lines.size() == 3 && lines.at(0).endsWith(Hello) && !error.isEmpty(), qPrintable(lines.join('\n')));
        QVERIFY(lines.at(2).endsWith(RegisterError + error));
        QVERIFY(m_fixture->agent().output().contains(lines.at(1) + "\n"));
    }

    void processProbes_data()
    {
        QTest::addColumn<int>("copies");
        QTest::addColumn<QString>("query");  // %1: the copies' name, %2: their folder
        QTest::addColumn<uid_t>("asUser");
        QTest::addColumn<int>("count");

        for (int copies : {0, 1, 2, 3})
            QTest::addRow("%d copies", copies) << copies << "%1" << 0u << copies;
        QTest::newRow("longer name") << 1 << "%1x" << 0u << 0;
        QTest::newRow("full path") << 1 << "%2/%1" << 0u << 0;
        QTest::newRow("another user's processes") << 1 << "%1" << 65534u << 0;
    }

    void processProbes()
    {
        QFETCH(int, copies);
        QFETCH(QString, query);
        QFETCH(uid_t, asUser);
        QFETCH(int, count);

        QProcess processes[3];  // killed with the row
        for (int i = 0; i < copies; ++i) {
            processes[i].start(m_programs.filePath(m_name), {"300"});
            QVERIFY(processes[i].waitForStarted());
        }
        const QString name = QString(query).replace("%1", m_name).replace("%2", m_programs.path());
        QCOMPARE(seteuid(asUser), 0);
        const QList<int> seen{count_process(qPrintable(name)), Utils::isProcessExisted(name),
                              Utils::isSelfProcessExisted(name)};
        QCOMPARE(seteuid(0), 0);
        QCOMPARE(seen, (QList<int>{count, count > 0, count == 2}));  // the caller counts itself: two are one more copy
    }

private:
    std::unique_ptr<Fixture> m_fixture;
    QTemporaryDir m_programs;
    const QString m_name = QString("kivprobe%1").arg(getpid());  // copies of a program under a name no other has
};

QTEST_MAIN(TestRuntime)
#include "tst_runtime.moc"

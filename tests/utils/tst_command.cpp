// The command runner and the service probes: exit codes and output of real shells, the event
// loop served while a command runs, the firewall settings file, systemd's StartUnit through
// dbusmock, and the USB and SSH probes with fixture files and fake commands.
#include <QtTest>

#include "dbusmock.h"
#include "log.h"
#include "paths.h"
#include "testenv.h"
#include "utils.h"

namespace {
const QString FirewallFile = "/etc/kiv-security/qoroconfig.xml";
}

class TestCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void execCmd_data();
    void execCmd();
    void execCmdServesEventsWhileWaiting();
    void firewallStatus_data();
    void firewallStatus();
    void startSystemdUnit_data();
    void startSystemdUnit();
    void initUsbStartsTheLoggerScript();
    void usbStatusIsTheFileText();
    void sshStatusIsTheFilteredServiceList();

private:
    QTemporaryDir m_bin;
};

void TestCommand::initTestCase()
{
    TestEnv::prependPath(m_bin.path());
    Utils::setCommandTimeLimitMs(20000);
}

void TestCommand::execCmd_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("script");  // for mode 1: the script file's content
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("output");

    QTest::newRow("silent exit 3") << "exit 3" << 0 << QByteArray() << false << "";
    QTest::newRow("two lines, exit 0") << "echo one; echo two" << 0 << QByteArray() << true << "one\ntwo\n";
    QTest::newRow("output kept on failure") << "echo partial; exit 1" << 0 << QByteArray() << false << "partial\n";
    QTest::newRow("standard error is not output") << "echo out; echo err >&2" << 0 << QByteArray() << true << "out\n";
    QTest::newRow("utf-8 output") << "printf '域名 ok'" << 0 << QByteArray() << true << QString::fromUtf8("域名 ok");
    QTest::newRow("output ends at a zero byte") << "printf 'ab\\0cd'" << 0 << QByteArray() << true << "ab";
    QTest::newRow("pipeline") << "printf 'b\\na\\n' | sort" << 0 << QByteArray() << true << "a\nb\n";
    QTest::newRow("command not found") << "no-such-command-here" << 0 << QByteArray() << false << "";
    QTest::newRow("killed by a signal") << "echo before; kill -9 $$" << 0 << QByteArray() << false << "before\n";
    QTest::newRow("script file") << "" << 1 << QByteArray("echo from script\nexit 0\n") << true << "from script\n";
    QTest::newRow("script file failing") << "" << 1 << QByteArray("exit 4\n") << false << "";
    QTest::newRow("missing script file") << "/nonexistent/script.sh" << 1 << QByteArray() << false << "";
}

void TestCommand::execCmd()
{
    QFETCH(QString, command);
    QFETCH(int, mode);
    QFETCH(QByteArray, script);
    QFETCH(bool, ok);
    QFETCH(QString, output);

    TestEnv::TempRoot root;
    if (!script.isEmpty()) {
        root.writeFile("/tmp/job.sh", script);
        command = root.path("/tmp/job.sh");
    }
    const CmdResult result = Utils::exec_cmd(command, mode);
    QCOMPARE(result.ok, ok);
    QCOMPARE(result.output, output);
}

void TestCommand::execCmdServesEventsWhileWaiting()
{
    // The command waits for a file that only a timer of this thread creates: it can end only
    // if the runner keeps serving events while it waits.
    TestEnv::TempRoot root;
    const QString flagFile = root.path("/tmp/flag");
    QTimer::singleShot(100, [&] { root.writeFile("/tmp/flag", "x"); });
    const CmdResult result =
        Utils::exec_cmd(QString("while [ ! -e '%1' ]; do sleep 0.02; done; echo seen").arg(flagFile), 0);
    QVERIFY(result.ok);
    QCOMPARE(result.output, QString("seen\n"));
}

void TestCommand::firewallStatus_data()
{
    QTest::addColumn<QByteArray>("file");  // empty: no file
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("enable");

    // Unchanged values are the start values 7 and 8.
    QTest::newRow("no file") << QByteArray() << 7 << 8;
    QTest::newRow("not xml") << QByteArray("<root><bases enable=\"1\"") << 7 << 8;
    QTest::newRow("other root tag") << QByteArray("<config><bases enable=\"1\" level=\"2\"/></config>") << 7 << 8;
    QTest::newRow("both attributes") << QByteArray("<root><bases enable=\"1\" level=\"2\"/></root>") << 2 << 1;
    QTest::newRow("only enable") << QByteArray("<root><bases enable=\"1\"/></root>") << 0 << 1;
    QTest::newRow("non-numeric") << QByteArray("<root><bases enable=\"on\" level=\"high\"/></root>") << 0 << 0;
    QTest::newRow("no attributes") << QByteArray("<root><bases/></root>") << 7 << 8;
    QTest::newRow("last bases wins")
        << QByteArray("<?xml version=\"1.0\"?>\n<root>\n  <!-- comment -->\n  <bases enable=\"1\" level=\"1\"/>\n"
                      "  <other enable=\"9\"/>\n  <bases enable=\"0\" level=\"3\"/>\n</root>\n")
        << 3 << 0;
    QTest::newRow("nested bases ignored") << QByteArray("<root><group><bases enable=\"1\" level=\"2\"/></group></root>")
                                          << 7 << 8;
    QTest::newRow("namespaced tag is not bases")
        << QByteArray("<root xmlns:s=\"urn:x\"><s:bases enable=\"1\" level=\"2\"/></root>") << 7 << 8;
}

void TestCommand::firewallStatus()
{
    QFETCH(QByteArray, file);
    QFETCH(int, level);
    QFETCH(int, enable);

    TestEnv::TempRoot root;
    if (!file.isEmpty())
        root.writeFile(FirewallFile, file);
    int gotLevel = 7, gotEnable = 8;
    Utils::get_firewall_status(gotLevel, gotEnable);
    QCOMPARE(gotLevel, level);
    QCOMPARE(gotEnable, enable);
}

void TestCommand::startSystemdUnit_data()
{
    QTest::addColumn<bool>("serviceRuns");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("known unit") << true << "ssh.service" << "start_systemd_unit: start ssh.service result(successed)";
    QTest::newRow("unknown unit") << true << "nope.service" << "start_systemd_unit: start nope.service result(failed)";
    QTest::newRow("no systemd on the bus") << false << "ssh.service"
                                           << "start_systemd_unit: start ssh.service result(failed)";
}

void TestCommand::startSystemdUnit()
{
    QFETCH(bool, serviceRuns);
    QFETCH(QString, unit);
    QFETCH(QString, logLine);

    TestEnv::TempRoot root;
    Log::GetInstance()->setLogPath(Paths::logFile());
    QScopedPointer<DBusMock> systemd;
    if (serviceRuns) {
        systemd.reset(DBusMock::fromTemplate("systemd", DBusMock::SystemBus));
        QVERIFY(systemd->isRunning());
        systemd->mock("/org/freedesktop/systemd1", "AddMockUnit", {"ssh.service"});
    }
    Utils::start_systemd_unit(unit);
    QVERIFY2(root.waitForLog(logLine, 5000), qPrintable(root.logText()));
    if (serviceRuns) {
        const QList<QVariantList> calls = systemd->callsOf("/org/freedesktop/systemd1", "StartUnit");
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls.first(), QVariantList({unit, "replace"}));
    }
}

void TestCommand::initUsbStartsTheLoggerScript()
{
    TestEnv::TempRoot root;
    Log::GetInstance()->setLogPath(Paths::logFile());
    const QString marker = root.path("/tmp/usb-args");
    root.writeFile("/usr/share/kiv-domain-client/usb/log-usb.sh",
                   QString("#!/bin/sh\necho \"$#:$1\" > '%1'\n").arg(marker).toUtf8(), true);
    Utils::initUsb();
    QVERIFY(TestEnv::waitFor([&] { return root.readFile("/tmp/usb-args") == "1:init\n"; }));

    root.remove("/usr/share/kiv-domain-client/usb/log-usb.sh");
    Utils::initUsb();
    QVERIFY2(root.waitForLog("initUsb: cannot start " + Paths::usbScript(), 5000), qPrintable(root.logText()));
}

void TestCommand::usbStatusIsTheFileText()
{
    TestEnv::TempRoot root;
    QCOMPARE(Utils::get_usb_status(), QString());
    root.writeFile("/usr/share/kiv-domain-client/usb/usbstatus", "usb=1\nstorage=0\n");
    QCOMPARE(Utils::get_usb_status(), QString("usb=1\nstorage=0\n"));
}

void TestCommand::sshStatusIsTheFilteredServiceList()
{
    TestEnv::writeFakeCommand(m_bin.path(), "service",
                              "[ \"$1\" = --status-all ] || exit 2\n"
                              "printf ' [ + ]  cron\\n [ + ]  ssh\\n [ - ]  sshguard\\n [ - ]  udev\\n'");
    QCOMPARE(Utils::get_ssh_status(), QString(" [ + ]  ssh\n [ - ]  sshguard\n"));
    TestEnv::writeFakeCommand(m_bin.path(), "service", "printf ' [ + ]  cron\\n'");
    QCOMPARE(Utils::get_ssh_status(), QString());
}

QTEST_MAIN(TestCommand)
#include "tst_command.moc"

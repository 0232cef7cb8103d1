// Task and reboot signals forged by a connection of the system bus that is not the daemon: the
// real agent on a private X server shows no dialog, logs no routing line and asks logind for
// no reboot. The daemon's own signal, sent the same way, does show its dialog.
#include <QtTest>

#include <QDBusConnectionInterface>

#include "../daemon/daemontestsupport.h"
#include "agentrun.h"
#include "faultsupport.h"

using namespace FaultTest;

namespace {
const QString Logind = QStringLiteral("/org/freedesktop/login1");
const QString BarrierLine = QStringLiteral("onSMSStatus: receive signal smsStatus");
}  // namespace

class TestFaultsForgedTasks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void forgedSignalIsIgnored_data();
    void forgedSignalIsIgnored();
    void daemonSignalShowsItsDialog();  // last: it leaves a dialog on the screen

private:
    // Lets the daemon itself send a signal that shows nothing, and waits until the agent has
    // handled it: everything the bus routed before it has been handled too.
    bool handledSoFar();

    std::unique_ptr<XServer> m_x;
    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<DBusMock> m_logind;
    std::unique_ptr<DBusMock> m_otherService;
    std::unique_ptr<AgentRun> m_agent;
    int m_barriers = 0;
};

void TestFaultsForgedTasks::initTestCase()
{
    m_x = std::make_unique<XServer>();
    QVERIFY(m_x->isRunning());
    m_root = std::make_unique<TestEnv::TempRoot>(false);
    m_root->writeConfig("[init]\nadd_domain_success=true\n");
    m_daemon = DaemonTest::startDaemon();
    m_logind.reset(DBusMock::fromTemplate("logind", DBusMock::SystemBus));
    m_otherService.reset(DBusMock::bare("com.kiv.forger", DaemonTest::TaskPath, DaemonTest::TaskInterface,
                                        DBusMock::SystemBus));
    QVERIFY(m_daemon->isRunning() && m_logind->isRunning() && m_otherService->isRunning());

    m_agent = std::make_unique<AgentRun>(*m_root);
    m_agent->setEnv("QT_QPA_PLATFORM", "xcb");
    m_agent->setEnv("DISPLAY", m_x->display());
    QVERIFY(m_agent->start());
    QCOMPARE(m_x->visibleWindows(m_agent->agentPid()), 0);
    m_logind->clearCalls(Logind);
}

void TestFaultsForgedTasks::cleanupTestCase()
{
    m_agent.reset();
    m_otherService.reset();
    m_logind.reset();
    m_daemon.reset();
    m_root.reset();
    m_x.reset();
    QDBusConnection::disconnectFromBus("forger");
}

bool TestFaultsForgedTasks::handledSoFar()
{
    ++m_barriers;
    m_daemon->emitSignal(DaemonTest::AgentPath, DaemonTest::AgentInterface, "smsStatus", "ss",
                         {QString("alice"), QString("barrier %1").arg(m_barriers)});
    return TestEnv::waitFor([&] { return m_root->countInLog(BarrierLine) >= m_barriers; });
}

void TestFaultsForgedTasks::forgedSignalIsIgnored_data()
{
    QTest::addColumn<QString>("forger");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QString>("routingLine");

    for (const QString forger : {"plain connection", "other service"}) {
        QTest::addRow("RebootNotify, %s", qPrintable(forger))
            << forger << "RebootNotify" << "ss" << QVariantList{"evil-1", "立即重启"} << "onRebootNotify: ";
        QTest::addRow("InstallNotify, %s", qPrintable(forger))
            << forger << "InstallNotify" << "ssbbi" << QVariantList{"evil-2", "木马", true, true, 1}
            << "onInstallNotify: ";
        QTest::addRow("ShowProgress, %s", qPrintable(forger))
            << forger << "ShowProgress" << "ss" << QVariantList{"evil-3", "木马"} << "onShowProgress: ";
    }
}

void TestFaultsForgedTasks::forgedSignalIsIgnored()
{
    QFETCH(QString, forger);
    QFETCH(QString, name);
    QFETCH(QString, signature);
    QFETCH(QVariantList, args);
    QFETCH(QString, routingLine);

    if (forger == "plain connection") {
        QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SystemBus, "forger");
        QVERIFY(connection.isConnected());
        QDBusMessage signal = QDBusMessage::createSignal(DaemonTest::TaskPath, DaemonTest::TaskInterface, name);
        signal.setArguments(args);
        QVERIFY(connection.send(signal));
        // A round trip on the same connection: the bus has routed the signal before it answers.
        QVERIFY(connection.interface()->isServiceRegistered("com.kiv.domain").value());
    } else {
        m_otherService->emitSignal(DaemonTest::TaskPath, DaemonTest::TaskInterface, name, signature, args);
    }
    QVERIFY(handledSoFar());

    QVERIFY2(!m_root->logText().contains(routingLine), qPrintable(m_root->logText()));
    QCOMPARE(m_x->visibleWindows(m_agent->agentPid()), 0);
    QVERIFY(m_logind->calls(Logind).isEmpty());
    QVERIFY(m_agent->agentPid() > 0);
}

void TestFaultsForgedTasks::daemonSignalShowsItsDialog()
{
    m_daemon->emitSignal(DaemonTest::TaskPath, DaemonTest::TaskInterface, "InstallNotify", "ssbbi",
                         {QString("t-7"), QString("办公套件"), false, false, 60});
    QVERIFY(m_root->waitForLog("onInstallNotify: taskId(t-7)"));
    QVERIFY(TestEnv::waitFor([&] { return m_x->visibleWindows(m_agent->agentPid()) == 1; }));
}

QTEST_MAIN(TestFaultsForgedTasks)
#include "tst_faults_forgedtasks.moc"

// The domain client daemon goes away while the agent runs (it is stopped, or it dies in the
// middle of a call) and comes back as a new process: the agent answers its callers meanwhile,
// follows the daemon's new connection for its signals and reaches it with its later calls.
#include <QtTest>

#include "../daemon/daemontestsupport.h"
#include "agentrun.h"
#include "domainserver.h"
#include "faultsupport.h"

using namespace FaultTest;

class TestFaultsDaemonRestart : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void agentFollowsRestartedDaemon_data();
    void agentFollowsRestartedDaemon();

private:
    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DomainServer> m_server;
    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<AgentRun> m_agent;
};

void TestFaultsDaemonRestart::init()
{
    m_root = std::make_unique<TestEnv::TempRoot>(false);
    m_server = std::make_unique<DomainServer>();
    QVERIFY(m_server->isRunning());
    QVERIFY(m_server->setReply("login", DomainServer::reply("welcome alice")));
    m_root->writeConfig(QString("[init]\nhostname=term-042\nip_port=%1\nadd_domain_success=true\n")
                            .arg(m_server->address())
                            .toUtf8());
    m_daemon = DaemonTest::startDaemon(R"({"replies": {"is_domain_online": false}})");
    QVERIFY(m_daemon->isRunning());
    m_agent = std::make_unique<AgentRun>(*m_root);
    QVERIFY(m_agent->start());
}

void TestFaultsDaemonRestart::cleanup()
{
    m_agent.reset();
    m_daemon.reset();
    m_server.reset();
    m_root.reset();
}

void TestFaultsDaemonRestart::agentFollowsRestartedDaemon_data()
{
    QTest::addColumn<bool>("diesInCall");
    QTest::newRow("stopped between calls") << false;
    QTest::newRow("dies in the middle of is_domain_online") << true;
}

void TestFaultsDaemonRestart::agentFollowsRestartedDaemon()
{
    QFETCH(bool, diesInCall);

    // While the daemon is away a log-in is answered at once and counts as offline.
    if (diesInCall)
        m_daemon->mock(DaemonTest::AgentPath, "SetVanish", {QString("is_domain_online")});
    else
        m_daemon->stop();
    QElapsedTimer answered;
    answered.start();
    QCOMPARE(postLoginResult(callAgent("post_login"), 20000), QString());
    QVERIFY2(answered.elapsed() < 5000, qPrintable(QString::number(answered.elapsed())));
    QVERIFY(TestEnv::waitFor([&] { return !m_daemon->isRunning(); }));
    QVERIFY(m_server->requests("login").isEmpty());
    QVERIFY(!m_root->exists(Marker));

    m_daemon = DaemonTest::startDaemon();
    QVERIFY(m_daemon->isRunning());

    // The new daemon's signals reach the agent: the owed log-in report goes out ...
    m_daemon->emitSignal(DaemonTest::AgentPath, DaemonTest::AgentInterface, "domainServerStatus", "b", {true});
    QVERIFY2(m_server->waitForRequests("login", 1), qPrintable(m_root->logText()));
    QVERIFY(m_root->waitForLog("receive websocket connected, m_isConnectedWS: false, status: true"));
    QVERIFY(m_root->exists(Marker));

    // ... and its task signals are routed.
    m_daemon->emitSignal(DaemonTest::TaskPath, DaemonTest::TaskInterface, "InstallNotify", "ssbbi",
                         {QString("t-after"), QString("重启后的任务"), false, false, 30});
    QVERIFY2(m_root->waitForLog("onInstallNotify: taskId(t-after)，taskName(重启后的任务), immediate(0), "
                                "completeTime(30)"),
             qPrintable(m_root->logText()));

    // Its answers reach the agent's calls: "online" leads to a new report once the marker is gone.
    m_root->remove(Marker);
    m_daemon->clearCalls(DaemonTest::AgentPath);
    QCOMPARE(postLoginResult(callAgent("post_login")), QString("welcome alice"));
    QCOMPARE(m_daemon->callsOf(DaemonTest::AgentPath, "is_domain_online").size(), 1);
    QCOMPARE(m_server->requests("login").size(), 2);
}

QTEST_MAIN(TestFaultsDaemonRestart)
#include "tst_faults_daemonrestart.moc"

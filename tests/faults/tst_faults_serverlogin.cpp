// The domain server fails while a log-in is being reported: it refuses connections, answers
// 500, answers something that is not HTTP, answers very slowly or accepts and never answers.
// The agent answers the caller of post_login, logs the failure, keeps serving other calls while
// the request is pending, and still delivers the report once the server answers again.
#include <QtTest>

#include "../daemon/daemontestsupport.h"
#include "agentrun.h"
#include "domainserver.h"
#include "faultsupport.h"

using namespace FaultTest;

class TestFaultsServerLogin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loginReportSurvivesServerFault_data();
    void loginReportSurvivesServerFault();
    void owedReportGoesOutWhenServerIsBackOnline();

private:
    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DomainServer> m_server;
    std::unique_ptr<ServerFront> m_front;
    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<AgentRun> m_agent;
};

void TestFaultsServerLogin::init()
{
    m_root = std::make_unique<TestEnv::TempRoot>(false);
    m_server = std::make_unique<DomainServer>();
    QVERIFY(m_server->isRunning());
    QVERIFY(m_server->setReply("login", DomainServer::reply("welcome alice")));
    m_front = std::make_unique<ServerFront>(m_server->port());
    m_root->writeConfig(QString("[init]\nhostname=term-042\nip_port=%1\nadd_domain_success=true\n")
                            .arg(m_front->address())
                            .toUtf8());
    m_daemon = DaemonTest::startDaemon();
    QVERIFY(m_daemon->isRunning());
    m_agent = std::make_unique<AgentRun>(*m_root);
    QVERIFY(m_agent->start());
}

void TestFaultsServerLogin::cleanup()
{
    m_agent.reset();
    m_daemon.reset();
    m_front.reset();
    m_server.reset();
    m_root.reset();
}

void TestFaultsServerLogin::loginReportSurvivesServerFault_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("pending");   // the server holds the request: other calls are served meanwhile
    QTest::addColumn<QString>("result");  // what post_login answers; empty: the report failed

    QTest::newRow("connection refused") << "refused" << 0 << false << "";
    QTest::newRow("HTTP 500") << "http500" << 0 << false << "";
    QTest::newRow("not HTTP") << "garbage" << 0 << false << "";
    QTest::newRow("HTML instead of JSON") << "notjson" << 0 << false << "<html><body>502 Bad Gateway</body></html>";
    QTest::newRow("very slow") << "delay" << 4000 << true << "welcome alice";
    QTest::newRow("never answers") << "hang" << 0 << true << "";
}

void TestFaultsServerLogin::loginReportSurvivesServerFault()
{
    QFETCH(QString, fault);
    QFETCH(int, delayMs);
    QFETCH(bool, pending);
    QFETCH(QString, result);

    if (fault == "refused")
        QVERIFY(m_front->setMode(ServerFront::Refuse));
    else if (fault == "garbage")
        QVERIFY(m_front->setMode(ServerFront::AnswerGarbage));
    else if (fault == "delay")  // the right answer, late
        QVERIFY(m_server->setReply("login", QJsonObject{{"body", "welcome alice"}, {"delay_ms", delayMs}}));
    else
        QVERIFY(m_server->setReply("login", DomainServer::fault(fault)));

    QElapsedTimer clock;
    clock.start();
    const QDBusPendingCall login = callAgent("post_login");
    if (pending) {
        QVERIFY(m_server->waitForRequests("login", 1));
        QVERIFY2(agentAnswers(), "a pending log-in report stopped the agent");
        QVERIFY(!login.isFinished());
    }
    QCOMPARE(postLoginResult(login), result);
    QVERIFY2(clock.elapsed() < 40000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(agentAnswers());

    if (!result.isEmpty()) {
        QVERIFY(m_root->exists(Marker));
        QCOMPARE(m_server->requests("login").size(), 1);
        return;
    }
    QVERIFY(m_root->waitForLog("[LOG_ERROR] requestLogin: post_login reply error!, reply = ", 20000));
    QVERIFY2(!m_root->exists(Marker), "a failed report counts as sent");

    // The server answers again: the next log-in call delivers the owed report.
    QVERIFY(m_front->setMode(ServerFront::Relay));
    QVERIFY(m_server->setReply("login", DomainServer::reply("welcome alice")));
    m_server->clearRequests();
    QCOMPARE(postLoginResult(callAgent("post_login")), QString("welcome alice"));
    QVERIFY(m_root->exists(Marker));
    QCOMPARE(m_server->requests("login").size(), 1);
    QCOMPARE(m_server->requests("login").first().value("body").toString(),
             QString("{\n    \"device_uuid\": \"term-042\",\n    \"domain_user\": \"alice\"\n}\n"));
}

void TestFaultsServerLogin::owedReportGoesOutWhenServerIsBackOnline()
{
    // The report at log-in fails although the daemon called the server online ...
    QVERIFY(m_server->setReply("login", DomainServer::fault("http500")));
    QCOMPARE(postLoginResult(callAgent("post_login")), QString());
    QVERIFY(!m_root->exists(Marker));

    // ... and the daemon later announces the server online again: the owed report goes out then,
    // not only at a later log-in call (which a session makes once).
    QVERIFY(m_server->setReply("login", DomainServer::reply("welcome alice")));
    m_server->clearRequests();
    m_daemon->emitSignal(DaemonTest::AgentPath, DaemonTest::AgentInterface, "domainServerStatus", "b", {true});
    QVERIFY2(m_server->waitForRequests("login", 1, 5000), "the owed report waits for the next log-in call");
    QVERIFY(m_root->exists(Marker));
}

QTEST_MAIN(TestFaultsServerLogin)
#include "tst_faults_serverlogin.moc"

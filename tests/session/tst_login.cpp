// Log-in reporting end to end: the real agent in its sandbox, `gdbus` as the session's caller,
// the stand-in daemon on the system bus and the stand-in domain server on loopback.
#include <QtTest>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

#include "agentrun.h"
#include "dbusmock.h"
#include "domainserver.h"
#include "testenv.h"

namespace {
const QString Marker = "/tmp/alice_post_login.txt";

class LoginObserver : public QObject
{
    Q_OBJECT
public:
    int logins = 0;
public slots:
    void onUserLogin() { ++logins; }
};

// The D-Bus result of post_login, as gdbus prints it: "('text',)".
QString postLogin()
{
    const TestEnv::CommandResult result = TestEnv::runCommand(
        "gdbus", {"call", "--session", "--dest", "com.kiv.domain.session", "--object-path", "/com/domain/agent",
                  "--method", "com.kiv.domain.agent.post_login"},
        60000);
    return result.exitCode == 0 ? result.output.trimmed() : "error: " + result.output;
}
}  // namespace

class TestLogin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void reportedOnceWhileServerOnline();
    void offlineLoginIsReportedWhenServerComesOnline();
    void forgedServerStatusSendsNothing();
    void plantedMarkerLinkIsNotFollowed();

private:
    void startAgent(bool online);
    void serverOnline(bool online);
    QList<QJsonObject> logins() { return m_server->requests("login"); }

    TestEnv::TempRoot *m_root = nullptr;
    DBusMock *m_daemon = nullptr;
    DomainServer *m_server = nullptr;
    AgentRun *m_agent = nullptr;
    LoginObserver m_observer;
};

void TestLogin::init()
{
    m_root = new TestEnv::TempRoot(false);
    m_server = new DomainServer();
    QVERIFY(m_server->isRunning());
    QVERIFY(m_server->setReply("login", DomainServer::reply("welcome alice")));
    m_root->writeConfig(QString("[init]\nhostname=term-042\nip_port=%1\nadd_domain_success=true\n"
                                         "auto_update_client=false\n")
                                     .arg(m_server->address())
                                     .toUtf8());
    m_daemon = DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus);
    QVERIFY(m_daemon->isRunning());
    QDBusConnection::sessionBus().connect("com.kiv.domain.session", "/com/domain/agent", "com.kiv.domain.agent",
                                          "user_login", &m_observer, SLOT(onUserLogin()));
    m_observer.logins = 0;
}

void TestLogin::cleanup()
{
    QDBusConnection::sessionBus().disconnect("com.kiv.domain.session", "/com/domain/agent",
                                             "com.kiv.domain.agent", "user_login", &m_observer,
                                             SLOT(onUserLogin()));
    delete m_agent;
    m_agent = nullptr;
    delete m_daemon;
    delete m_server;
    delete m_root;
}

void TestLogin::serverOnline(bool online)
{
    m_daemon->mock("/com/domain/agent", "SetReply",
                   {"is_domain_online", "b", QVariant::fromValue(QDBusVariant(online))});
}

void TestLogin::startAgent(bool online)
{
    serverOnline(online);
    m_agent = new AgentRun(*m_root);
    QVERIFY(m_agent->start());
}

void TestLogin::reportedOnceWhileServerOnline()
{
    startAgent(true);
    QCOMPARE(postLogin(), QString("('welcome alice',)"));
    QTRY_COMPARE_WITH_TIMEOUT(m_observer.logins, 1, 5000);

    const QList<QJsonObject> sent = logins();
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().value("method").toString(), QString("POST"));
    QCOMPARE(sent.first().value("body").toString(), QString("{\n"
                                                            "    \"device_uuid\": \"term-042\",\n"
                                                            "    \"domain_user\": \"alice\"\n"
                                                            "}\n"));
    QCOMPARE(sent.first().value("headers").toObject().value("Content-Type").toString(),
             QString("application/json"));
    QVERIFY(m_root->exists(Marker));
    QVERIFY(m_root->logText().contains("[LOG_INFO] 创建requestLogin临时文件成功"));
    QVERIFY(m_root->logText().contains(QString("[LOG_INFO] requestLogin: server_url = http://%1/mainapi/device/login/, "
                                               "sendData = {\n    \"device_uuid\"")
                                           .arg(m_server->address())));

    QCOMPARE(postLogin(), QString("('',)"));
    QTRY_COMPARE_WITH_TIMEOUT(m_observer.logins, 2, 5000);
    QCOMPARE(logins().size(), 1);
    QVERIFY(m_root->logText().contains("[LOG_INFO] 已经发送过request login"));
}

void TestLogin::offlineLoginIsReportedWhenServerComesOnline()
{
    startAgent(false);
    QCOMPARE(postLogin(), QString("('',)"));
    QTRY_COMPARE_WITH_TIMEOUT(m_observer.logins, 1, 5000);
    QVERIFY(!m_root->exists(Marker));
    QVERIFY(logins().isEmpty());

    m_daemon->emitSignal("/com/domain/agent", "com.kiv.domain.agent", "domainServerStatus", "b", {false});
    m_daemon->emitSignal("/com/domain/agent", "com.kiv.domain.agent", "domainServerStatus", "b", {true});
    QVERIFY(m_server->waitForRequests("login", 1));
    QVERIFY(m_root->waitForLog("receive websocket connected, m_isConnectedWS: false, status: true"));
    QVERIFY(m_root->exists(Marker));

    // Once reported, later "online" signals are ignored.
    m_daemon->emitSignal("/com/domain/agent", "com.kiv.domain.agent", "domainServerStatus", "b", {true});
    QCOMPARE(postLogin(), QString("('',)"));  // a round trip through the agent: the signal was handled
    QCOMPARE(logins().size(), 1);
    QCOMPARE(m_root->countInLog("receive websocket connected"), 1);
}

void TestLogin::forgedServerStatusSendsNothing()
{
    startAgent(false);
    QCOMPARE(postLogin(), QString("('',)"));

    // Any process on the system bus can send this signal; only the daemon's own counts.
    QDBusMessage forged = QDBusMessage::createSignal("/com/domain/agent", "com.kiv.domain.agent", "domainServerStatus");
    forged << true;
    QVERIFY(QDBusConnection::systemBus().send(forged));
    QCOMPARE(postLogin(), QString("('',)"));
    QVERIFY(logins().isEmpty());
    QVERIFY(!m_root->exists(Marker));

    m_daemon->emitSignal("/com/domain/agent", "com.kiv.domain.agent", "domainServerStatus", "b", {true});
    QVERIFY(m_server->waitForRequests("login", 1));
}

void TestLogin::plantedMarkerLinkIsNotFollowed()
{
    // Someone else put a link where the marker belongs, pointing at a file of the user's.
    m_root->writeFile("/tmp/victim.txt", "precious\n");
    QVERIFY(QFile::link(m_root->path("/tmp/victim.txt"), m_root->path(Marker)));
    startAgent(true);
    QCOMPARE(postLogin(), QString("('welcome alice',)"));
    QCOMPARE(m_root->readFile("/tmp/victim.txt"), QByteArray("precious\n"));
    QVERIFY(m_root->logText().contains("[LOG_ERROR] 创建requestLogin临时文件失败"));
    QCOMPARE(logins().size(), 1);
}

QTEST_MAIN(TestLogin)
#include "tst_login.moc"

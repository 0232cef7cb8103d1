// Log-in reporting end to end: the real agent in its sandbox, `gdbus` as the session's caller,
// the stand-in daemon on the system bus and the stand-in domain server on loopback.
#include <QtTest>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>

#include "agentrun.h"
#include "dbusmock.h"
#include "domainserver.h"
#include "testenv.h"

#include <sys/stat.h>
#include <unistd.h>

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
    const TestEnv::CommandResult result = TestEnv::callAgent("post_login", {}, 60000);
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
    void plantedMarkerDoesNotSilenceTheReport_data();
    void plantedMarkerDoesNotSilenceTheReport();
    void failedReportIsOwedToTheNextAgent();

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
    // The marker sits in a shared folder: the user's alone, readable by nobody else.
    struct stat marker;
    QCOMPARE(lstat(QFile::encodeName(m_root->path(Marker)).constData(), &marker), 0);
    QVERIFY(S_ISREG(marker.st_mode));
    QCOMPARE(marker.st_mode & 07777, mode_t(0600));
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
    // A round trip on the same connection: the bus has routed the forged signal to the agent
    // before it answers, so the agent's next daemon call (in post_login) is answered after it.
    QVERIFY(QDBusConnection::systemBus().interface()->isServiceRegistered("com.kiv.domain").value());
    QCOMPARE(postLogin(), QString("('',)"));
    QVERIFY(logins().isEmpty());
    QVERIFY(!m_root->exists(Marker));

    m_daemon->emitSignal("/com/domain/agent", "com.kiv.domain.agent", "domainServerStatus", "b", {true});
    QVERIFY(m_server->waitForRequests("login", 1));
}

void TestLogin::plantedMarkerDoesNotSilenceTheReport_data()
{
    QTest::addColumn<bool>("link");
    QTest::newRow("link to a file of the user's") << true;
    QTest::newRow("file of another user") << false;
}

void TestLogin::plantedMarkerDoesNotSilenceTheReport()
{
    QFETCH(bool, link);
    // Someone else put something where the marker belongs, before the user logs in.
    m_root->writeFile("/tmp/victim.txt", "precious\n");
    const QByteArray marker = QFile::encodeName(m_root->path(Marker));
    if (link) {
        QVERIFY(QFile::link(m_root->path("/tmp/victim.txt"), m_root->path(Marker)));
    } else {
        m_root->writeFile(Marker, "");
        // Another user than the agent's (the sandbox maps only this process's user to alice).
        QCOMPARE(chown(marker.constData(), 1001, 1001), 0);
    }
    startAgent(true);

    QCOMPARE(postLogin(), QString("('welcome alice',)"));
    QCOMPARE(logins().size(), 1);
    QCOMPARE(m_root->readFile("/tmp/victim.txt"), QByteArray("precious\n"));
    QVERIFY(m_root->logText().contains("[LOG_ERROR] 创建requestLogin临时文件失败"));
    QVERIFY(!m_root->logText().contains("已经发送过request login"));
    struct stat planted;
    QCOMPARE(lstat(marker.constData(), &planted), 0);
    QCOMPARE(S_ISLNK(planted.st_mode), link);
}

void TestLogin::failedReportIsOwedToTheNextAgent()
{
    // The server fails the report of this session's agent ...
    QVERIFY(m_server->setReply("login", DomainServer::fault("http500")));
    startAgent(true);
    QCOMPARE(postLogin(), QString("('',)"));
    QCOMPARE(logins().size(), 1);
    QVERIFY(m_root->logText().contains("[LOG_ERROR] requestLogin: post_login reply error!, reply = "));
    QVERIFY2(!m_root->exists(Marker), "a failed report counts as sent");

    // ... and the agent of the next session (the same boot) sends it.
    delete m_agent;
    m_agent = nullptr;
    QVERIFY(TestEnv::waitFor([] { return !sessionNameOwned(); }, 5000));
    QVERIFY(m_server->setReply("login", DomainServer::reply("welcome alice")));
    m_server->clearRequests();
    startAgent(true);
    QCOMPARE(postLogin(), QString("('welcome alice',)"));
    QCOMPARE(logins().size(), 1);
    QVERIFY(m_root->exists(Marker));
}

QTEST_MAIN(TestLogin)
#include "tst_login.moc"

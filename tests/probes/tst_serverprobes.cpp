// The domain-server probes against the stand-in server on 127.0.0.1: the ping and the rules it
// carries, the host-name check, the repository version, and servers that fail or never answer.
#include <QtTest>

#include <memory>

#include "domainserver.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "testenv.h"
#include "utils.h"

namespace {
using Rules = QMap<QString, QString>;

QJsonObject envelope(const QJsonObject &data) { return QJsonObject{{"data", data}}; }
}  // namespace

class TestServerProbes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void pingJudgesTheServer_data();
    void pingJudgesTheServer();
    void pingOfASilentServerEndsAfterFiveSeconds();
    void unreachableServerIsOffline();
    void hostnameCheckReturnsTheServersCode_data();
    void hostnameCheckReturnsTheServersCode();
    void hostnameReachesTheServerUnchanged_data();
    void hostnameReachesTheServerUnchanged();
    void repositoryVersionForTheSystem_data();
    void repositoryVersionForTheSystem();

private:
    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DomainServer> m_server;
    QString m_address;
};

void TestServerProbes::initTestCase()
{
    m_root = std::make_unique<TestEnv::TempRoot>();
    Log::GetInstance()->setLogPath(Paths::logFile());
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);
    m_server = std::make_unique<DomainServer>();
    QVERIFY(m_server->isRunning());
    m_address = m_server->address();
    m_root->writeConfig("[init]\nip_port=" + m_address.toUtf8() + "\n");
}

void TestServerProbes::cleanupTestCase() { m_server.reset(); }

void TestServerProbes::init() { m_server->clearRequests(); }

void TestServerProbes::pingJudgesTheServer_data()
{
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<bool>("online");
    QTest::addColumn<Rules>("rules");
    QTest::addColumn<QString>("logged");

    QTest::newRow("pong") << DomainServer::reply("pong") << true << Rules() << "ping_domain_server_result: pong";
    QTest::newRow("rules with sms only")
        << DomainServer::reply(QJsonObject{{"domain_rule", QJsonObject{{"sms_switch", 1}}}}) << true
        << Rules{{"set_sms_switch", "1"}, {"set_auto_hostname_switch", "0"}, {"set_edit_hostname_switch", "0"}}
        << "get_add_domain_rules rules: sms_switch(1) hostname_switch(0) edit_hostname_switch(0)";
    QTest::newRow("all rules")
        << DomainServer::reply(QJsonObject{
               {"domain_rule", QJsonObject{{"sms_switch", 0}, {"hostname_switch", 1}, {"edit_hostname_switch", 1}}}})
        << true
        << Rules{{"set_sms_switch", "0"}, {"set_auto_hostname_switch", "1"}, {"set_edit_hostname_switch", "1"}}
        << "get_add_domain_rules rules: sms_switch(0) hostname_switch(1) edit_hostname_switch(1)";
    QTest::newRow("domain_rule in a broken document") << DomainServer::reply("{\"domain_rule\": {") << true
                                                      << Rules() << "ping_domain_server: " ;
    QTest::newRow("other text") << DomainServer::reply("welcome") << false << Rules()
                                << "ping_domain_server_result: welcome";
    QTest::newRow("HTTP 500") << DomainServer::fault("http500") << false << Rules()
                              << "[LOG_ERROR] ping_domain_server_result: reply = ";
    QTest::newRow("not found") << DomainServer::reply("pong", 404) << false << Rules()
                               << "[LOG_ERROR] ping_domain_server_result: reply = ";
}

void TestServerProbes::pingJudgesTheServer()
{
    QFETCH(QJsonObject, reply);
    QFETCH(bool, online);
    QFETCH(Rules, rules);
    QFETCH(QString, logged);
    QVERIFY(m_server->setReply("ping", reply));

    QString server = m_address;
    QCOMPARE(Utils::ping_domain_server(server), online);
    QVERIFY(m_root->waitForLog("ping_domain_server: " + m_address + (online ? " online" : " offline")));
    bool reportedOnline = !online;
    QCOMPARE(Utils::get_add_domain_rules(server, reportedOnline), rules);
    QCOMPARE(reportedOnline, online);
    QVERIFY2(m_root->waitForLog(logged), qPrintable(logged));

    const QList<QJsonObject> requests = m_server->requests("ping");
    QCOMPARE(requests.size(), 2);
    for (const QJsonObject &request : requests) {
        QCOMPARE(request.value("method").toString(), QString("GET"));
        QCOMPARE(request.value("headers").toObject().value("Content-Type").toString(), QString("application/json"));
        QCOMPARE(request.value("body").toString(), QString());
    }
}

void TestServerProbes::pingOfASilentServerEndsAfterFiveSeconds()
{
    QVERIFY(m_server->setReply("ping", DomainServer::fault("hang")));
    // The agent's other work goes on while the ping waits.
    int ticks = 0;
    QTimer other;
    connect(&other, &QTimer::timeout, [&] { ++ticks; });
    other.start(100);

    QElapsedTimer clock;
    clock.start();
    QString server = m_address;
    QCOMPARE(Utils::ping_domain_server_result(server), QByteArray());
    const qint64 elapsed = clock.elapsed();
    // The limit is a coarse timer, which may end up to 5 % early.
    QVERIFY2(elapsed >= 4750 && elapsed < 8000, qPrintable(QString::number(elapsed)));
    QVERIFY(ticks >= 20);
    QVERIFY(m_root->waitForLog("[LOG_ERROR] ping_domain_server_result: timeout"));
}

void TestServerProbes::unreachableServerIsOffline()
{
    QString server = "127.0.0.1:1";
    bool online = true;
    QCOMPARE(Utils::get_add_domain_rules(server, online), Rules());
    QCOMPARE(online, false);
    QVERIFY(m_root->waitForLog("ping_domain_server: 127.0.0.1:1 offline"));
    QString domain = "keep", msg = "keep";
    QCOMPARE(Utils::checkHostnameValid(server, "pc-01", domain, msg), -1);
    QCOMPARE(domain, QString("keep"));
    QVERIFY(m_root->waitForLog("[LOG_ERROR] checkHostnameValid: failed to check hostname pc-01, reply = "));
}

void TestServerProbes::hostnameCheckReturnsTheServersCode_data()
{
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("domainName");
    QTest::addColumn<QString>("msg");

    QTest::newRow("code 0 and msg, no domain name")
        << DomainServer::reply(envelope({{"code", 0}, {"msg", "主机名可用"}})) << 0 << "keep" << "主机名可用";
    QTest::newRow("code, domain name and msg")
        << DomainServer::reply(envelope({{"code", 200}, {"domain_name", "corp.example"}, {"msg", "accepted"}}))
        << 200 << "corp.example" << "accepted";
    QTest::newRow("refused code") << DomainServer::reply(envelope({{"code", 1001}, {"msg", "duplicate"}})) << 1001
                                  << "keep" << "duplicate";
    QTest::newRow("data without code") << DomainServer::reply(envelope({{"msg", "half"}})) << -1 << "keep" << "half";
    QTest::newRow("no data") << DomainServer::reply(QJsonObject{{"code", 0}}) << -1 << "keep" << "keep";
    QTest::newRow("not JSON") << DomainServer::fault("notjson") << -1 << "keep" << "keep";
    QTest::newRow("HTTP 500") << DomainServer::fault("http500") << -1 << "keep" << "keep";
}

void TestServerProbes::hostnameCheckReturnsTheServersCode()
{
    QFETCH(QJsonObject, reply);
    QFETCH(int, code);
    QFETCH(QString, domainName);
    QFETCH(QString, msg);
    QVERIFY(m_server->setReply("check_hostname", reply));

    QString domain = "keep", message = "keep";
    QCOMPARE(Utils::checkHostnameValid(m_address, "pc-01", domain, message), code);
    QCOMPARE(domain, domainName);
    QCOMPARE(message, msg);
    const QString url = "http://" + m_address + "/mainapi/system/terminal/check_hostname/?hostname=pc-01";
    if (reply.contains("fault") && reply.value("fault") == "http500")
        QVERIFY(m_root->waitForLog("[LOG_ERROR] checkHostnameValid: failed to check hostname pc-01, reply = "));
    else
        QVERIFY(m_root->waitForLog("[LOG_INFO] checkHostnameValid: server_url = " + url + ", replyData = "));
}

void TestServerProbes::hostnameReachesTheServerUnchanged_data()
{
    QTest::addColumn<QString>("hostname");
    QTest::newRow("plain") << "pc-01";
    QTest::newRow("query characters") << "pc&hostname=evil";
    QTest::newRow("fragment and plus") << "pc#1+2";
    QTest::newRow("blank and percent") << "pc 100%";
    QTest::newRow("chinese") << "终端-01";
}

void TestServerProbes::hostnameReachesTheServerUnchanged()
{
    QFETCH(QString, hostname);
    QVERIFY(m_server->setReply("check_hostname", DomainServer::reply(envelope({{"code", 0}}))));
    QString domain, msg;
    QCOMPARE(Utils::checkHostnameValid(m_address, hostname, domain, msg), 0);
    const QList<QJsonObject> requests = m_server->requests("check_hostname");
    QCOMPARE(requests.size(), 1);
    const QJsonObject params = requests.first().value("params").toObject();
    QCOMPARE(params.keys(), QStringList{"hostname"});
    QCOMPARE(params.value("hostname").toString(), hostname);
}

void TestServerProbes::repositoryVersionForTheSystem_data()
{
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<QString>("osVersion");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("logged");  // empty: no version line

    const QJsonObject both = DomainServer::reply(envelope({{"code", 200}, {"kiv4-ver", "4.2.0"}, {"kiv5-ver", "5.1.3"}}));
    const QJsonObject only5 = DomainServer::reply(envelope({{"code", 200}, {"kiv5-ver", "5.1.3"}}));
    const QJsonObject only4 = DomainServer::reply(envelope({{"code", 204}, {"kiv4-ver", "4.2.0"}}));
    QTest::newRow("5.0") << both << "5.0" << "5.1.3" << "getRepoClientVersion: code:200, version = 5.1.3";
    QTest::newRow("4.0") << both << "4.0" << "4.2.0" << "getRepoClientVersion: code:200, version = 4.2.0";
    QTest::newRow("4.0 without its version") << only5 << "4.0" << "" << "";
    QTest::newRow("5.0 without its version") << only4 << "5.0" << "" << "getRepoClientVersion: code:204, version = ";
    QTest::newRow("other system") << both << "5.1" << "" << "";
    QTest::newRow("no data") << DomainServer::reply(QJsonObject{{"kiv5-ver", "5.1.3"}}) << "5.0" << "" << "";
    QTest::newRow("HTTP 500") << DomainServer::fault("http500") << "5.0" << ""
                              << "[LOG_ERROR] getRepoClientVersion: failed to getRepoClientVersion, reply = ";
}

void TestServerProbes::repositoryVersionForTheSystem()
{
    QFETCH(QJsonObject, reply);
    QFETCH(QString, osVersion);
    QFETCH(QString, version);
    QFETCH(QString, logged);
    QVERIFY(m_server->setReply("terminal_version", reply));
    const int versionLines = m_root->countInLog("getRepoClientVersion: code:");

    QCOMPARE(Utils::getRepoClientVersion(osVersion), version);
    QCOMPARE(m_server->requests("terminal_version").size(), 1);
    if (logged.isEmpty())
        QCOMPARE(m_root->countInLog("getRepoClientVersion: code:"), versionLines);
    else
        QVERIFY2(m_root->waitForLog(logged), qPrintable(logged));
}

QTEST_MAIN(TestServerProbes)
#include "tst_serverprobes.moc"

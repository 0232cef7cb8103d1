// The policy query client against the stand-in domain server: what each reply turns into, what
// is logged, what the server receives, the time limit, and queries asked inside another's wait.
#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>

#include "domainserver.h"
#include "httpproxy.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "testenv.h"

using PolicyQuery = HttpResult (HttpProxy::*)();
Q_DECLARE_METATYPE(PolicyQuery)

namespace {
const QString Host = "term-07";

QJsonObject wallpaperReply(const QJsonValue &policy, const QJsonValue &url)
{
    QJsonObject data{{"code", 200}, {"success", true}, {"switch_status", 1}, {"policy", policy}};
    if (!url.isUndefined())
        data.insert("wallpaper_url", url);
    return DomainServer::reply(QJsonObject{{"data", data}});
}

QJsonObject dataReply(const QJsonObject &data) { return DomainServer::reply(QJsonObject{{"data", data}}); }
}  // namespace

class TestHttpProxy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void replyTable_data();
    void replyTable();
    void everyQueryAsksForItsPolicy_data();
    void everyQueryAsksForItsPolicy();
    void addressIsTakenAtConstruction();
    void queryInsideAnotherQuerysWait_data();
    void queryInsideAnotherQuerysWait();

private:
    void configure(const QString &address);

    TestEnv::TempRoot *m_root = nullptr;
    DomainServer *m_server = nullptr;
};

void TestHttpProxy::initTestCase()
{
    m_root = new TestEnv::TempRoot;
    m_server = new DomainServer;
    QVERIFY(m_server->isRunning());
    Log::GetInstance()->setLogPath(Paths::logFile());
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);
}

void TestHttpProxy::cleanupTestCase()
{
    qInstallMessageHandler(nullptr);
    delete m_server;
    delete m_root;
}

void TestHttpProxy::configure(const QString &address)
{
    m_root->writeConfig(QString("[init]\nhostname=%1\nip_port=%2\n").arg(Host, address).toUtf8());
}

void TestHttpProxy::init()
{
    configure(m_server->address());
    QVERIFY(m_server->setScenario(QJsonObject{}));
    m_server->clearRequests();
    // The Qt channel keeps its file open: empty it rather than remove it.
    QFile(Paths::logFile()).resize(0);
}

void TestHttpProxy::replyTable_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("success");
    QTest::addColumn<bool>("switchStatus");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("valueType");
    QTest::addColumn<QString>("wallpaperUrl");
    QTest::addColumn<QStringList>("logged");  // each must be in the log
    QTest::addColumn<bool>("errorLogged");    // whether any LOG_ERROR line is expected

    const QString parseFailed = "[LOG_ERROR] getHttpReply: failed to parse reply to Json,";
    // %1 stands for the server's address.
    const QString received = "[LOG_INFO] getHttpReply: server_url = http://%1/mainapi/device/sync/policy/" + Host
                             + "/?policy_type=ssh, replyData = {\"data\":";

    QTest::newRow("enforceable") << "ssh" << DomainServer::policyReply(0, 1) << 200 << true << true << "0" << 1
                                 << "" << QStringList{"] url=http://%1/mainapi/", received} << false;
    QTest::newRow("switched off") << "ssh" << DomainServer::policyReply(0, 0) << 200 << true << false << "0" << 1
                                  << "" << QStringList{} << false;
    QTest::newRow("numeric value") << "usb_storage" << DomainServer::policyReply(2, 1) << 200 << true << true << "2"
                                   << 1 << "" << QStringList{} << false;
    QTest::newRow("wallpaper text") << "wallpaper"
                                    << wallpaperReply("file:///srv/corp.png", "http://srv/wall/corp.png") << 200
                                    << true << true << "file:///srv/corp.png" << 3 << "http://srv/wall/corp.png"
                                    << QStringList{} << false;
    QTest::newRow("wallpaper without url") << "wallpaper" << wallpaperReply("file:///srv/corp.png", QJsonValue())
                                           << 200 << true << true << "file:///srv/corp.png" << 3 << ""
                                           << QStringList{} << false;
    QTest::newRow("numeric policy sent as text") << "usb" << DomainServer::policyReply("1", 1) << 200 << true << true
                                                 << "0" << 1 << "" << QStringList{} << false;
    QTest::newRow("success false") << "usb" << DomainServer::policyReply(1, 1, 403, false) << 403 << false << false
                                   << "" << 1 << ""
                                   << QStringList{"[LOG_ERROR] getHttpReply: failed to parse http reply of usb, code = 403"}
                                   << true;
    QTest::newRow("success absent") << "usb"
                                    << dataReply({{"code", 200}, {"switch_status", 1}, {"policy", 1}}) << 200 << false
                                    << false << "" << 1 << ""
                                    << QStringList{"getHttpReply: failed to parse http reply of usb, code = 200"}
                                    << true;
    QTest::newRow("data without policy") << "ssh" << dataReply({{"code", 200}, {"success", true}}) << 200 << false
                                         << false << "" << 1 << "" << QStringList{"[LOG_ERROR] failed to get policy"}
                                         << true;
    QTest::newRow("no data") << "ssh" << DomainServer::reply(QJsonObject{{"code", 200}}) << 0 << false << false << ""
                             << 1 << "" << QStringList{} << false;
    QTest::newRow("array body") << "ssh" << DomainServer::reply(QJsonArray{1, 2}) << 0 << false << false << "" << 1
                                << "" << QStringList{parseFailed} << true;
    QTest::newRow("empty body") << "ssh" << DomainServer::reply("") << 0 << false << false << "" << 1 << ""
                                << QStringList{parseFailed} << true;
    QTest::newRow("not json") << "ssh" << DomainServer::fault("notjson") << 0 << false << false << "" << 1 << ""
                              << QStringList{parseFailed} << true;
    QTest::newRow("http 500") << "firewalld" << DomainServer::fault("http500") << 0 << false << false << "" << 1 << ""
                              << QStringList{"failed to get http policy request firewalld",
                                             "[LOG_ERROR] getHttpReply: failed to get http policy request firewalld, "
                                             "reply = "}
                              << true;
    QTest::newRow("never answers") << "idle-delay" << DomainServer::fault("hang") << 0 << false << false << "" << 1
                                   << ""
                                   << QStringList{"[LOG_ERROR] getHttpReply: failed to get http policy request "
                                                  "idle-delay, reply = no reply within 400 ms"}
                                   << true;
    QTest::newRow("server unreachable") << "ssh" << QJsonObject{} << 0 << false << false << "" << 1 << ""
                                        << QStringList{"getHttpReply: failed to get http policy request ssh, reply = "
                                                       "Connection refused"}
                                        << true;
}

void TestHttpProxy::replyTable()
{
    QFETCH(QString, type);
    QFETCH(QJsonObject, reply);
    QFETCH(int, code);
    QFETCH(bool, success);
    QFETCH(bool, switchStatus);
    QFETCH(QString, value);
    QFETCH(int, valueType);
    QFETCH(QString, wallpaperUrl);
    QFETCH(QStringList, logged);
    QFETCH(bool, errorLogged);

    const bool unreachable = reply.isEmpty();
    QString address = m_server->address();
    if (unreachable) {
        // A port that was free a moment ago: nothing listens there.
        DomainServer gone;
        address = gone.address();
        gone.stop();
        configure(address);
    } else {
        QVERIFY(m_server->setPolicy(type, reply));
    }

    HttpProxy proxy;
    QCOMPARE(proxy.timeLimit(), 30000);
    proxy.setTimeLimit(400);
    QElapsedTimer clock;
    clock.start();
    const HttpResult result = proxy.getHttpReply(
        "http://" + address + "/mainapi/device/sync/policy/" + Host + "/?policy_type=" + type, type);
    QVERIFY2(clock.elapsed() < 5000, "the query was not bounded");

    QCOMPARE(result.code, code);
    QCOMPARE(result.success, success);
    QCOMPARE(result.switchStatus, switchStatus);
    QCOMPARE(result.policyType, type);
    QCOMPARE(result.value, value);
    QCOMPARE(result.valueType, valueType);
    QCOMPARE(result.wallpaperUrl, wallpaperUrl);

    const QString log = m_root->logText();
    for (QString line : logged) {
        line.replace("%1", address);
        QVERIFY2(log.contains(line), qPrintable("missing \"" + line + "\" in:\n" + log));
    }
    QCOMPARE(log.contains("[LOG_ERROR]"), errorLogged);

    if (!unreachable) {
        // One plain GET, no body and no content type, for this terminal and this policy.
        const QList<QJsonObject> requests = m_server->requests("policy");
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].value("method").toString(), QString("GET"));
        QCOMPARE(requests[0].value("path").toString(), "/mainapi/device/sync/policy/" + Host + "/");
        QCOMPARE(requests[0].value("query").toString(), "policy_type=" + type);
        QCOMPARE(requests[0].value("body").toString(), QString());
        QVERIFY(!requests[0].value("headers").toObject().contains("Content-Type"));
    }
}

void TestHttpProxy::everyQueryAsksForItsPolicy_data()
{
    QTest::addColumn<PolicyQuery>("query");
    QTest::addColumn<QString>("name");

    QTest::newRow("ssh") << PolicyQuery(&HttpProxy::getSSHPolicy) << "ssh";
    QTest::newRow("usb") << PolicyQuery(&HttpProxy::getUSBPolicy) << "usb";
    QTest::newRow("usb storage") << PolicyQuery(&HttpProxy::getUSBStoragePolicy) << "usb_storage";
    QTest::newRow("wallpaper") << PolicyQuery(&HttpProxy::getWallPaperPolicy) << "wallpaper";
    QTest::newRow("firewall") << PolicyQuery(&HttpProxy::getFirewallldPolicy) << "firewalld";
    QTest::newRow("firewall level") << PolicyQuery(&HttpProxy::getFirewalldLevelPolicy) << "firewalld_level";
    QTest::newRow("idle delay") << PolicyQuery(&HttpProxy::getIdeldelayPolicy) << "idle-delay";
}

void TestHttpProxy::everyQueryAsksForItsPolicy()
{
    QFETCH(PolicyQuery, query);
    QFETCH(QString, name);

    // Each policy gets a value of its own, so that a query answered for another policy shows.
    int number = 0;
    for (const QString &policy : PolicyMap.keys()) {
        ++number;
        QVERIFY(m_server->setPolicy(policy, policy == "wallpaper" ? wallpaperReply("pic-" + policy, QJsonValue())
                                                                  : DomainServer::policyReply(number, 1)));
    }
    HttpProxy proxy;
    const HttpResult result = (proxy.*query)();

    QCOMPARE(result.policyType, name);
    const QString expected = name == "wallpaper" ? "pic-wallpaper"
                                                 : QString::number(PolicyMap.keys().indexOf(name) + 1);
    QCOMPARE(result.value, expected);
    QCOMPARE(m_server->policyQueries(), QStringList{name});
    QCOMPARE(m_server->requests("policy").first().value("path").toString(),
             "/mainapi/device/sync/policy/" + Host + "/");
}

void TestHttpProxy::addressIsTakenAtConstruction()
{
    QVERIFY(m_server->setPolicy("*", DomainServer::policyReply(1, 1)));
    HttpProxy proxy;
    configure("127.0.0.1:1");
    QCOMPARE(proxy.getUSBPolicy().value, QString("1"));
    QCOMPARE(m_server->policyQueries(), QStringList{"usb"});
}

void TestHttpProxy::queryInsideAnotherQuerysWait_data()
{
    QTest::addColumn<QJsonObject>("firstReply");
    QTest::addColumn<int>("nestedCount");
    QTest::addColumn<QString>("firstValue");
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<int>("firstExchangeMs");  // how long the usb exchange lasts at least

    // The first query (usb) waits; timers running inside that wait ask for ssh, then wallpaper.
    QJsonObject slow = DomainServer::policyReply(1, 1);
    slow.insert("delay_ms", 600);
    QTest::newRow("slow first") << slow << 1 << "1" << QStringList{"usb", "ssh"} << 600;
    QTest::newRow("slow first, two nested") << slow << 2 << "1" << QStringList{"usb", "wallpaper", "ssh"} << 600;
    QTest::newRow("first never answered") << DomainServer::fault("hang") << 1 << "" << QStringList{"usb", "ssh"}
                                          << 1500;
}

void TestHttpProxy::queryInsideAnotherQuerysWait()
{
    QFETCH(QJsonObject, firstReply);
    QFETCH(int, nestedCount);
    QFETCH(QString, firstValue);
    QFETCH(QStringList, order);
    QFETCH(int, firstExchangeMs);

    QVERIFY(m_server->setPolicy("usb", firstReply));
    QVERIFY(m_server->setPolicy("ssh", DomainServer::policyReply(7, 1)));
    QVERIFY(m_server->setPolicy("wallpaper", wallpaperReply("file:///nested.png", QJsonValue())));

    HttpProxy proxy;
    proxy.setTimeLimit(1500);
    HttpResult ssh, wallpaper;
    bool sshReturned = false, wallpaperReturned = false;
    QTimer::singleShot(50, [&] {
        ssh = proxy.getSSHPolicy();
        sshReturned = true;
    });
    if (nestedCount > 1) {
        // Fires inside the ssh query's wait for the usb exchange.
        QTimer::singleShot(150, [&] {
            wallpaper = proxy.getWallPaperPolicy();
            wallpaperReturned = true;
        });
    }
    QElapsedTimer clock;
    clock.start();
    const HttpResult usb = proxy.getUSBPolicy();

    QVERIFY(sshReturned);
    QCOMPARE(wallpaperReturned, nestedCount > 1);
    QVERIFY2(clock.elapsed() < 6000, "the queries were not bounded");
    QCOMPARE(usb.value, firstValue);
    QCOMPARE(ssh.policyType, QString("ssh"));
    QCOMPARE(ssh.value, QString("7"));
    if (nestedCount > 1)
        QCOMPARE(wallpaper.value, QString("file:///nested.png"));
    QCOMPARE(m_server->policyQueries(), order);
    // One exchange at a time: the nested ones reached the server only after the first ended.
    const QList<QJsonObject> requests = m_server->requests("policy");
    const double firstAt = requests.first().value("received_ms").toDouble();
    for (int i = 1; i < requests.size(); ++i)
        QVERIFY2(requests[i].value("received_ms").toDouble() - firstAt >= firstExchangeMs / 2,
                 qPrintable(QString::number(requests[i].value("received_ms").toDouble() - firstAt) + " " + requests[i].value("params").toObject().value("policy_type").toString()
                            + " was sent while the first query was waiting"));

    // The lock is free again: a later query goes straight through.
    QCOMPARE(proxy.getSSHPolicy().value, QString("7"));
}

QTEST_MAIN(TestHttpProxy)
#include "tst_httpproxy.moc"

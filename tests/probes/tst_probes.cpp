// The domain-server probes in this process against the stand-in server on the loopback, and the
// package probes with the real dpkg and stand-ins for dpkg-query and realm first on PATH.
#include <QtTest>

#include "fixture.h"
#include "log.h"
#include "paths.h"
#include "utils.h"

using Probe = std::function<QString()>;
Q_DECLARE_METATYPE(Probe)

namespace {
QJsonObject answer(const QJsonObject &data) { return DomainServer::reply(QJsonObject{{"data", data}}); }
}  // namespace

class TestProbes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { m_fixture->reset(); }
    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void serverProbes_data();
    void serverProbes();
    void packageProbes_data();
    void packageProbes();

private:
    Probe rules(const QString &server) const;
    Probe check(const QString &hostname, bool sent = false) const;

    std::unique_ptr<Fixture> m_fixture;
    QTemporaryDir m_bin;
};

void TestProbes::initTestCase()
{
    m_fixture.reset(new Fixture(Fixture::Server, true));
    m_fixture->root().writeConfig("[init]\nip_port=" + m_fixture->server().address().toUtf8() + "\n");
    Log::GetInstance()->setLogPath(Paths::logFile());
    TestEnv::prependPath(m_bin.path());
}

// Whether the ping finds the server online, and the add-domain rules it carries.
Probe TestProbes::rules(const QString &server) const
{
    return [this, server] {
        QString address = server.isEmpty() ? m_fixture->server().address() : server;
        bool online = false;
        const QMap<QString, QString> rules = Utils::get_add_domain_rules(address, online);
        QStringList text{online ? "online" : "offline"};
        for (auto it = rules.cbegin(); it != rules.cend(); ++it)
            text << it.key() + "=" + it.value();
        return text.join(' ');
    };
}

// The host-name check's code, domain name and message; or the host name as the server got it.
Probe TestProbes::check(const QString &hostname, bool sent) const
{
    return [this, hostname, sent] {
        QString domain = "keep", msg = "keep";
        const int code = Utils::checkHostnameValid(m_fixture->server().address(), hostname, domain, msg);
        const QJsonObject params = m_fixture->server().requests("check_hostname").value(0).value("params").toObject();
        return sent ? params.keys().join(',') + "=" + params.value("hostname").toString()
                    : QString("%1 %2 %3").arg(code).arg(domain, msg);
    };
}

void TestProbes::serverProbes_data()
{
    QTest::addColumn<QJsonObject>("replies");  // the server's reply for each endpoint named
    QTest::addColumn<Probe>("probe");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("limitMs");  // a silent server is given up after this long; 0: answers

    const auto row = [](const char *name, const QJsonObject &replies, const Probe &probe, const QString &expected,
                        int limitMs = 0) { QTest::newRow(name) << replies << probe << expected << limitMs; };
    const QJsonObject smsOnly{{"domain_rule", QJsonObject{{"sms_switch", 1}}}};
    row("ping: pong", {{"ping", DomainServer::reply("pong")}}, rules({}), "online");
    row("ping: rules", {{"ping", DomainServer::reply(smsOnly)}}, rules({}),
        "online set_auto_hostname_switch=0 set_edit_hostname_switch=0 set_sms_switch=1");
    row("ping: other text", {{"ping", DomainServer::reply("welcome")}}, rules({}), "offline");
    row("ping: not found", {{"ping", DomainServer::reply("pong", 404)}}, rules({}), "offline");
    row("ping: HTTP 500", {{"ping", DomainServer::fault("http500")}}, rules({}), "offline");
    row("ping: no server", {}, rules("127.0.0.1:1"), "offline");
    // Answers after the limit: a probe that waited longer would get it.
    row("ping: silent server", {{"ping", DomainServer::fault("delay", 8000)}}, rules({}), "offline", 5000);

    row("check: code and message", {{"check_hostname", answer({{"code", 0}, {"msg", "主机名可用"}})}}, check("pc-01"),
        "0 keep 主机名可用");
    row("check: code, domain and message",
        {{"check_hostname", answer({{"code", 200}, {"domain_name", "corp.example"}, {"msg", "accepted"}})}},
        check("pc-01"), "200 corp.example accepted");
    row("check: no data", {{"check_hostname", DomainServer::reply(QJsonObject{{"code", 0}})}}, check("pc-01"),
        "-1 keep keep");
    row("check: HTTP 500", {{"check_hostname", DomainServer::fault("http500")}}, check("pc-01"), "-1 keep keep");
    for (const char *name : {"pc&hostname=evil", "pc#1+2", "终端 100%"})
        row(qPrintable(QString("check: host name %1 sent as it is").arg(name)), {{"check_hostname", answer({})}},
            check(name, true), QString("hostname=") + name);

    const QJsonObject versions = answer({{"code", 200}, {"kiv4-ver", "4.2.0"}, {"kiv5-ver", "5.1.3"}});
    const auto version = [](const char *os) { return Probe([os] { return Utils::getRepoClientVersion(os); }); };
    row("version for 5.0", {{"terminal_version", versions}}, version("5.0"), "5.1.3");
    row("version for 4.0", {{"terminal_version", versions}}, version("4.0"), "4.2.0");
    row("version for 4.0 without its own", {{"terminal_version", answer({{"kiv5-ver", "5.1.3"}})}}, version("4.0"), "");
    row("version for another system", {{"terminal_version", versions}}, version("5.1"), "");
    row("version: HTTP 500", {{"terminal_version", DomainServer::fault("http500")}}, version("5.0"), "");
    // The version query starts while the check waits: both are given up within one limit.
    const Probe both = [hostnameCheck = check("pc-01")] {
        QString version = "unset";
        QTimer::singleShot(0, [&] { version = Utils::getRepoClientVersion("5.0"); });
        return hostnameCheck() + " version " + version;
    };
    row("silent server: check and version query",
        {{"check_hostname", DomainServer::fault("delay", 40000)}, {"terminal_version", DomainServer::fault("delay", 40000)}},
        both, "-1 keep keep version ", 30000);
}

void TestProbes::serverProbes()
{
    QFETCH(QJsonObject, replies);
    QFETCH(Probe, probe);
    QFETCH(QString, expected);
    QFETCH(int, limitMs);

    for (auto it = replies.constBegin(); it != replies.constEnd(); ++it)
        QVERIFY(m_fixture->server().setReply(it.key(), it.value().toObject()));
    // The agent's other work goes on while a probe waits.
    int ticks = 0;
    QTimer other;
    connect(&other, &QTimer::timeout, [&] { ++ticks; });
    other.start(100);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(probe(), expected);
    if (limitMs) {
        const qint64 waited = clock.elapsed();  // a coarse timer may end up to 5 % early
        QVERIFY2(waited >= limitMs * 95 / 100 && waited < limitMs + 2500, qPrintable(QString::number(waited)));
        QVERIFY(ticks >= limitMs / 200);
    }
}

void TestProbes::packageProbes_data()
{
    QTest::addColumn<QString>("dpkgQuery");  // stand-ins' scripts; empty: none
    QTest::addColumn<QString>("realm");
    QTest::addColumn<Probe>("probe");
    QTest::addColumn<QString>("expected");

    const auto compare = [](const QString &left, const char *op, const QString &right) {
        return Probe([=] {
            const bool holds = Utils::compare_version(left, right, op);
            return QString(holds ? "true" : "false") + (QFile::exists(Paths::under("/tmp/planted")) ? " planted" : "");
        });
    };
    const QString planted = Paths::under("/tmp/planted");
    QTest::newRow("newer is gt") << "" << "" << compare("4.0.1", "gt", "4.0.0") << "true";
    QTest::newRow("newer is not lt") << "" << "" << compare("4.0.1", "lt", "4.0.0") << "false";
    QTest::newRow("tilde sorts first") << "" << "" << compare("1.0~rc1", "lt", "1.0") << "true";
    QTest::newRow("version starting with -") << "" << "" << compare("--admindir=" + planted, "gt", "1") << "true";
    QTest::newRow("shell text stays text") << "" << "" << compare("1; touch " + planted, "gt", "$(touch " + planted + ")")
                                           << "false";

    const Probe version = [] { return Utils::get_client_version(); };
    const Probe joined = [] { return QString(Utils::check_add_domain_state() ? "joined" : "not joined"); };
    QTest::newRow("client installed") << "[ \"$*\" = '-W -f=${Version} kiv-domain-client' ] && printf 3.1.0-1" << ""
                                      << version << "3.1.0-1";
    QTest::newRow("client not installed") << "exit 1" << "" << version << "";
    const QString realmd = "[ \"$*\" = '-W -f=${Package} realmd' ] && printf realmd";
    QTest::newRow("joined through realmd") << realmd << "[ \"$*\" = list ] && echo corp.example" << joined << "joined";
    QTest::newRow("realmd without a realm") << realmd << "true" << joined << "not joined";
    QTest::newRow("realmd not installed") << "exit 1" << "echo corp.example" << joined << "not joined";
}

void TestProbes::packageProbes()
{
    QFETCH(QString, dpkgQuery);
    QFETCH(QString, realm);
    QFETCH(Probe, probe);
    QFETCH(QString, expected);

    for (const auto &standIn : {qMakePair(QString("dpkg-query"), dpkgQuery), qMakePair(QString("realm"), realm)}) {
        QFile::remove(m_bin.filePath(standIn.first));
        if (!standIn.second.isEmpty())
            TestEnv::writeFakeCommand(m_bin.path(), standIn.first, standIn.second);
    }
    QCOMPARE(probe(), expected);
}

QTEST_MAIN(TestProbes)
#include "tst_probes.moc"

// Probes of the stand-in server on the loopback, and package probes: the real dpkg; dpkg-query and realm stand-ins.
#include <QtTest>

#include "fixture.h"
#include "paths.h"
#include "utils.h"

using Probe = std::function<QString()>;
Q_DECLARE_METATYPE(Probe)

class TestProbes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.reset(new Fixture(Fixture::Server, true));
        m_fixture->root().writeConfig("[init]\nip_port=" + m_fixture->server().address().toUtf8() + "\n");
        TestEnv::prependPath(m_bin.path());
    }

    void init() { m_fixture->reset(); }
    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void probes_data()
    {
        QTest::addColumn<QJsonObject>("replies");  // the server's scenario: a reply for each endpoint named
        QTest::addColumn<QStringList>("scripts");  // of the stand-ins for dpkg-query and realm
        QTest::addColumn<Probe>("probe");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("limitMs");  // when not 0: a silent server is given up after this long
        const auto row = [](const char *name, const Probe &probe, const QString &expected, const QJsonObject &replies = {},
                            int limitMs = 0, const QStringList &scripts = {}) {
            QTest::newRow(name) << replies << scripts << probe << expected << limitMs;
        };
        QString server = m_fixture->server().address();
        const auto answer = [](const QJsonObject &data) { return DomainServer::reply(QJsonObject{{"data", data}}); };

        // Whether the ping finds the server online, and the add-domain rules it carries.
        const Probe rules = [server]() mutable {
            bool online = false;
            const QMap<QString, QString> rules = QCoro::waitFor(Utils::get_add_domain_rules(server, online));
            QStringList text{online ? "online" : "offline"};
            for (auto it = rules.cbegin(); it != rules.cend(); ++it)
                text << it.key() + "=" + it.value();
            return text.join(' ');
        };
        row("ping: pong", rules, "online", {{"ping", DomainServer::reply("pong")}});
        row("ping: rules", rules, "online set_auto_hostname_switch=0 set_edit_hostname_switch=0 set_sms_switch=1",
            {{"ping", DomainServer::reply(QJsonObject{{"domain_rule", QJsonObject{{"sms_switch", 1}}}})}});
        row("ping: other text", rules, "offline", {{"ping", DomainServer::reply("welcome")}});
        row("ping: not found", rules, "offline", {{"ping", DomainServer::reply("pong", 404)}});
        row("ping: silent server", rules, "offline", {{"ping", DomainServer::fault("delay", 8000)}}, 5000);

        // The host-name check's answers, the host name the server got, a version asked meanwhile: one limit for both.
        const QString host = "pc&hostname=x#1+2 终端 100%";
        const auto check = [this, server, host](const char *os) {
            return Probe([=, this]() mutable {
                QString domain = "keep", msg = "keep";
                auto versionQuery = Utils::getRepoClientVersion(os);
                const int code = QCoro::waitFor(Utils::checkHostnameValid(server, host, domain, msg));
                const QString version = QCoro::waitFor(versionQuery);
                const QJsonValue sent = m_fixture->server().requests("check_hostname").value(0).value("params");
                return QStringList{QString::number(code), domain, msg, sent["hostname"].toString(), version}.join(' ');
            });
        };
        const QJsonObject versions = answer({{"code", 200}, {"kiv4-ver", "4.2.0"}, {"kiv5-ver", "5.1.3"}});
        row("check: code and message; version for 5.0", check("5.0"), "0 keep 主机名可用 " + host + " 5.1.3",
            {{"check_hostname", answer({{"code", 0}, {"msg", "主机名可用"}})}, {"terminal_version", versions}});
        row("check: code, domain and message; version for 4.0", check("4.0"), "200 corp ok " + host + " 4.2.0",
            {{"check_hostname", answer({{"code", 200}, {"domain_name", "corp"}, {"msg", "ok"}})},
             {"terminal_version", versions}});
        row("check: no data; version for another system", check("5.1"), "-1 keep keep " + host + " ",
            {{"check_hostname", DomainServer::reply(QJsonObject{{"code", 0}})}, {"terminal_version", versions}});
        const QJsonObject silent = DomainServer::fault("delay", 40000);
        row("silent server", check("5.0"), "-1 keep keep " + host + " ",
            {{"check_hostname", silent}, {"terminal_version", silent}}, 30000);

        const QString planted = Paths::under("/tmp/planted");
        const auto compare = [](const QString &left, const char *op, const QString &right) {
            return Probe([=] { return QString(QCoro::waitFor(Utils::compare_version(left, right, op)) ? "true" : "false"); });
        };
        row("tilde sorts first", compare("1.0~rc1", "lt", "1.0"), "true");
        row("version starting with -", compare("--admindir=" + planted, "gt", "1"), "true");
        row("shell text stays text", compare("1; touch " + planted, "gt", "$(touch " + planted + ")"), "false");

        const Probe joined = [] { return QString(QCoro::waitFor(Utils::check_add_domain_state()) ? "joined" : "not joined"); };
        row("client installed", [] { return QCoro::waitFor(Utils::get_client_version()); }, "3.1.0-1", {}, 0,
            {"[ \"$*\" = '-W -f=${Version} kiv-domain-client' ] && printf 3.1.0-1"});
        const QString realmd = "[ \"$*\" = '-W -f=${Package} realmd' ] && printf realmd";
        row("joined through realmd", joined, "joined", {}, 0, {realmd, "[ \"$*\" = list ] && echo corp.example"});
        row("realmd without a realm", joined, "not joined", {}, 0, {realmd, "true"});
        row("realmd not installed", joined, "not joined", {}, 0, {"exit 1", "echo corp.example"});
    }

    void probes()
    {
        QFETCH(QJsonObject, replies);
        QFETCH(QStringList, scripts);
        QFETCH(Probe, probe);
        QFETCH(QString, expected);
        QFETCH(int, limitMs);

        QVERIFY(m_fixture->server().setScenario(replies));
        TestEnv::writeFakeCommand(m_bin.path(), "dpkg-query", scripts.value(0));
        TestEnv::writeFakeCommand(m_bin.path(), "realm", scripts.value(1));
        // The agent's other work goes on while a probe waits.
        QTimer other;
        QSignalSpy ticks(&other, &QTimer::timeout);
        other.start(100);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(probe(), expected);
        QVERIFY(!QFile::exists(Paths::under("/tmp/planted")));  // no text was taken as a command or an option
        if (limitMs) {
            const qint64 waited = clock.elapsed();  // a coarse timer may end up to 5 % early
            QVERIFY2(waited >= limitMs * 95 / 100 && waited < limitMs + 2500, qPrintable(QString::number(waited)));
            QVERIFY(ticks.size() >= limitMs / 200);
        }
    }

private:
    std::unique_ptr<Fixture> m_fixture;
    QTemporaryDir m_bin;
};

QTEST_MAIN(TestProbes)
#include "tst_probes.moc"

// The files the agent starts from are missing or broken: the client configuration missing,
// empty, unreadable, a folder or garbage; /etc/os-release missing or empty; a desktop settings
// schema not installed. The real agent starts, tells the daemon the default heartbeat period,
// answers a log-in and goes on serving.
#include <QtTest>

#include <QDir>
#include <QTemporaryDir>

#include "../daemon/daemontestsupport.h"
#include "agentrun.h"
#include "domainserver.h"
#include "faultsupport.h"

using namespace FaultTest;

class TestFaultsStartupFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsWithDefaults_data();
    void startsWithDefaults();

private:
    // The desktop's schemas compiled without one of them.
    bool compileSchemasWithout(const QString &schemaId);

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<QTemporaryDir> m_schemas;
    std::unique_ptr<DomainServer> m_server;
    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<AgentRun> m_agent;
};

void TestFaultsStartupFiles::init()
{
    m_root = std::make_unique<TestEnv::TempRoot>(false);
    m_server = std::make_unique<DomainServer>();
    QVERIFY(m_server->isRunning());
    QVERIFY(m_server->setReply("login", DomainServer::reply("welcome alice")));
    m_daemon = DaemonTest::startDaemon();
    QVERIFY(m_daemon->isRunning());
}

void TestFaultsStartupFiles::cleanup()
{
    m_agent.reset();
    m_daemon.reset();
    m_server.reset();
    const QString config = m_root->path(ConfigIni);
    QFile::setPermissions(config, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QDir(config).removeRecursively();
    m_root.reset();
    m_schemas.reset();
}

bool TestFaultsStartupFiles::compileSchemasWithout(const QString &schemaId)
{
    m_schemas = std::make_unique<QTemporaryDir>();
    const QDir desktop(TestEnv::binaryDir() + "/schemas");
    for (const QString &file : desktop.entryList({"*.gschema.xml"})) {
        if (file != schemaId + ".gschema.xml" && !QFile::copy(desktop.filePath(file), m_schemas->filePath(file)))
            return false;
    }
    QFile::setPermissions(m_schemas->path(), QFileDevice::Permissions(0x7755));
    return TestEnv::runCommand("glib-compile-schemas", {"--strict", m_schemas->path()}).exitCode == 0;
}

void TestFaultsStartupFiles::startsWithDefaults_data()
{
    QTest::addColumn<QString>("config");     // valid, missing, empty, unreadable, folder, garbage
    QTest::addColumn<QString>("osRelease");  // kiv5, null device, empty
    QTest::addColumn<QString>("missingSchema");
    QTest::addColumn<QString>("result");  // what post_login answers
    QTest::addColumn<QString>("logged");

    // Without a server address the report cannot be sent; the caller still gets an answer.
    const QString noAddress = "[LOG_ERROR] requestLogin: post_login reply error!, reply = ";
    QTest::newRow("configuration missing") << "missing" << "kiv5" << "" << "" << noAddress;
    QTest::newRow("configuration empty") << "empty" << "kiv5" << "" << "" << noAddress;
    QTest::newRow("configuration unreadable") << "unreadable" << "kiv5" << "" << "" << noAddress;
    QTest::newRow("folder in place of the configuration") << "folder" << "kiv5" << "" << "" << noAddress;
    QTest::newRow("configuration garbage") << "garbage" << "kiv5" << "" << "" << noAddress;
    QTest::newRow("os-release missing") << "valid" << "null device" << "" << "welcome alice" << "";
    QTest::newRow("os-release empty") << "valid" << "empty" << "" << "welcome alice" << "";
    QTest::newRow("background schema missing")
        << "valid" << "kiv5" << "org.qoro.desktop.background" << "welcome alice"
        << "[LOG_ERROR] monitor: settings schema org.qoro.desktop.background is not installed";
    QTest::newRow("session schema missing")
        << "valid" << "kiv5" << "org.qoro.desktop.session" << "welcome alice"
        << "[LOG_ERROR] monitor: settings schema org.qoro.desktop.session is not installed";
}

void TestFaultsStartupFiles::startsWithDefaults()
{
    QFETCH(QString, config);
    QFETCH(QString, osRelease);
    QFETCH(QString, missingSchema);
    QFETCH(QString, result);
    QFETCH(QString, logged);

    const QByteArray valid = QString("[init]\nhostname=term-042\nip_port=%1\nadd_domain_success=true\n"
                                     "[policy]\nitems=pictureUri,idleDelay\n")
                                 .arg(m_server->address())
                                 .toUtf8();
    if (config == "valid")
        m_root->writeFile(ConfigIni, valid);
    else if (config == "empty")
        m_root->writeFile(ConfigIni, QByteArray());
    else if (config == "folder")
        m_root->makeDir(ConfigIni);
    else if (config == "garbage")
        m_root->writeFile(ConfigIni, QByteArray("\x00\xff\xfe[init\nheartbeat=abc\n=\n[[]]\nip_port\n\x01\x02=\x03", 38)
                                         + QByteArray(5000, '\xc3'));
    if (config == "unreadable") {
        m_root->writeFile(ConfigIni, valid);
        QVERIFY(QFile::setPermissions(m_root->path(ConfigIni), QFileDevice::Permissions()));
        QVERIFY2(!readableInSandbox(m_root->path(ConfigIni)), "the sandboxed user can read a file of mode 000");
    }

    m_agent = std::make_unique<AgentRun>(*m_root);
    if (osRelease == "kiv5")
        m_root->writeFile("/etc/os-release", Kiv5Release);
    else if (osRelease == "empty")
        m_root->writeFile("/etc/os-release", QByteArray());
    else
        m_agent->addBind("/dev/null", "/etc/os-release");
    if (!missingSchema.isEmpty()) {
        QVERIFY(compileSchemasWithout(missingSchema));
        m_agent->setEnv("GSETTINGS_SCHEMA_DIR", m_schemas->path());
    }
    QVERIFY2(m_agent->start(), qPrintable(m_agent->output()));

    QVERIFY(TestEnv::waitFor([&] { return !m_daemon->callsOf(DaemonTest::AgentPath, "setHeartBeat").isEmpty(); }));
    QCOMPARE(m_daemon->callsOf(DaemonTest::AgentPath, "setHeartBeat"), QList<QVariantList>{{10000}});
    QCOMPARE(postLoginResult(callAgent("post_login")), result);
    if (!logged.isEmpty())
        QVERIFY2(m_root->waitForLog(logged), qPrintable(m_root->logText()));
    QCOMPARE(m_root->logText().contains("start policy sync"), osRelease == "kiv5");
    QVERIFY(agentAnswers());
    QVERIFY(m_agent->agentPid() > 0);
}

QTEST_MAIN(TestFaultsStartupFiles)
#include "tst_faults_startupfiles.moc"

// A domain server that accepts the host-name check and the version query and never answers
// holds neither for ever: both give up after their 30-second limit with a log line, and the
// agent's events are served meanwhile. Both wait at once (the version query starts inside the
// host-name check's wait), so the program takes the limit once.
#include <QtTest>

#include <memory>

#include "domainserver.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "testenv.h"
#include "utils.h"

class TestFaultsProbeLimits : public QObject
{
    Q_OBJECT

private slots:
    void silentServerIsGivenUpAfterTheLimit();
};

void TestFaultsProbeLimits::silentServerIsGivenUpAfterTheLimit()
{
    TestEnv::TempRoot root;
    Log::GetInstance()->setLogPath(Paths::logFile());
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);
    DomainServer server;
    QVERIFY(server.isRunning());
    root.writeConfig("[init]\nip_port=" + server.address().toUtf8() + "\n");
    QVERIFY(server.setReply("check_hostname", DomainServer::fault("hang")));
    QVERIFY(server.setReply("terminal_version", DomainServer::fault("hang")));

    QString version = "unset";
    QTimer::singleShot(0, [&] { version = Utils::getRepoClientVersion("5.0"); });
    int ticks = 0;
    QTimer other;
    connect(&other, &QTimer::timeout, [&] { ++ticks; });
    other.start(500);

    QElapsedTimer clock;
    clock.start();
    QString domain = "keep", msg = "keep";
    const int code = Utils::checkHostnameValid(server.address(), "pc-01", domain, msg);
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(code, -1);
    QCOMPARE(domain, QString("keep"));
    QCOMPARE(version, QString());
    // Coarse timers may end up to 5 % early.
    QVERIFY2(elapsed >= 28500 && elapsed < 45000, qPrintable(QString::number(elapsed)));
    QVERIFY(ticks >= 50);
    QCOMPARE(server.requests("check_hostname").size(), 1);
    QCOMPARE(server.requests("terminal_version").size(), 1);
    QVERIFY(root.waitForLog("[LOG_ERROR] checkHostnameValid: failed to check hostname pc-01, reply = timeout"));
    QVERIFY(root.waitForLog("[LOG_ERROR] getRepoClientVersion: failed to getRepoClientVersion, reply = timeout"));
}

QTEST_MAIN(TestFaultsProbeLimits)
#include "tst_faults_probelimits.moc"

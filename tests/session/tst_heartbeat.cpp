// The heartbeat: which domain types run it, its period, and the exact message the daemon gets.
#include <QtTest>

#include <QHostInfo>

#include "dbusmock.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "testenv.h"
#include "utils.h"
#include "websocket.h"

using TestEnv::ConfigIni;

class TestHeartbeat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void domainTypeDecides_data();
    void domainTypeDecides();
    void oneBeatHandsTheDaemonTheMessage_data();
    void oneBeatHandsTheDaemonTheMessage();

private:
    TestEnv::TempRoot *m_root = nullptr;
    DBusMock *m_daemon = nullptr;
};

void TestHeartbeat::initTestCase()
{
    m_root = new TestEnv::TempRoot();
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);
    m_daemon = DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus);
    QVERIFY(m_daemon->isRunning());
}

void TestHeartbeat::cleanupTestCase()
{
    delete m_daemon;
    delete m_root;
}

void TestHeartbeat::domainTypeDecides_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<int>("logged");
    QTest::addColumn<bool>("beats");

    QTest::newRow("type missing") << "" << 2 << false;
    QTest::newRow("type 0 counts as 2") << "[init]\ndomain_type=0\n" << 2 << false;
    QTest::newRow("type 1") << "[init]\ndomain_type=1\n" << 1 << true;
    QTest::newRow("type 2") << "[init]\ndomain_type=2\n" << 2 << false;
    QTest::newRow("type 3") << "[init]\ndomain_type=3\n" << 3 << true;
    QTest::newRow("type 4") << "[init]\ndomain_type=4\n" << 4 << false;
}

void TestHeartbeat::domainTypeDecides()
{
    QFETCH(QString, config);
    QFETCH(int, logged);
    QFETCH(bool, beats);

    m_root->writeConfig(config.toUtf8());
    const QString line = QString("[Info][default] domain type= %1\n").arg(logged);
    const int before = m_root->countInLog(line);
    WebSocket heartbeat;
    QCOMPARE(m_root->countInLog(line), before + 1);

    const QList<QTimer *> timers = heartbeat.findChildren<QTimer *>();
    if (!beats) {
        QVERIFY(timers.isEmpty());
        return;
    }
    QCOMPARE(timers.size(), 1);
    QVERIFY(timers.first()->isActive());
    QVERIFY(!timers.first()->isSingleShot());
    QCOMPARE(timers.first()->interval(), 60000);
}

void TestHeartbeat::oneBeatHandsTheDaemonTheMessage_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("hostname");

    QTest::newRow("configured host name") << "[init]\ndomain_type=3\nhostname=term-042\n" << "term-042";
    QTest::newRow("machine's host name") << "[init]\ndomain_type=1\n" << QHostInfo::localHostName();
}

void TestHeartbeat::oneBeatHandsTheDaemonTheMessage()
{
    QFETCH(QString, config);
    QFETCH(QString, hostname);

    m_root->writeConfig(config.toUtf8());
    m_daemon->clearCalls("/com/domain/agent");
    WebSocket heartbeat;
    QTimer *timer = heartbeat.findChild<QTimer *>();
    QVERIFY(timer);
    // One period elapsing, as the timer itself signals it.
    QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));

    const QList<QVariantList> calls = m_daemon->callsOf("/com/domain/agent", "sendWebSet");
    QCOMPARE(calls.size(), 1);
    const QString expected = QString("{\n"
                                     "    \"data\": {\n"
                                     "        \"hostname\": \"%1\",\n"
                                     "        \"username\": \"%2\"\n"
                                     "    },\n"
                                     "    \"sender\": 1,\n"
                                     "    \"sn\": \"9-1-1\"\n"
                                     "}\n")
                                 .arg(hostname, Utils::getLoginName());
    QCOMPARE(calls.first().value(0).toString(), expected);
    QVERIFY(m_root->logText().contains("[Info][default] session [send]:  \"{\\n    \\\"data\\\""));
}

QTEST_MAIN(TestHeartbeat)
#include "tst_heartbeat.moc"

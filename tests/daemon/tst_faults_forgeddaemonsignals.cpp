// Only the owner of "com.kiv.domain" speaks for the daemon: the same signal on the same path and
// interface from any other connection of the system bus (a plain client, another service) must
// not start a reboot count-down, an install prompt or a log-in report.
#include <QtTest>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include "daemontestsupport.h"
#include "domaindbusinterface.h"

using namespace DaemonTest;

class TestForgedDaemonSignals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void forgedSignalsAreNotRelayed_data();
    void forgedSignalsAreNotRelayed();

private:
    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<DBusMock> m_otherService;
};

void TestForgedDaemonSignals::initTestCase()
{
    QVERIFY(dbus::instance());
    m_daemon = startDaemon();
    QVERIFY(m_daemon->isRunning());
    m_otherService.reset(DBusMock::bare("com.kiv.forger", AgentPath, AgentInterface, DBusMock::SystemBus));
    QVERIFY(m_otherService->isRunning());
    m_otherService->addObject(AgentPath, TaskPath, TaskInterface);
}

void TestForgedDaemonSignals::cleanupTestCase()
{
    m_otherService.reset();
    m_daemon.reset();
    QDBusConnection::disconnectFromBus("forger");
}

void TestForgedDaemonSignals::forgedSignalsAreNotRelayed_data()
{
    QTest::addColumn<QString>("forger");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QVariantList>("forged");
    QTest::addColumn<QVariantList>("genuine");
    QTest::addColumn<QByteArray>("qtSignal");

    for (const QString forger : {"plain connection", "other service"}) {
        QTest::addRow("RebootNotify, %s", qPrintable(forger))
            << forger << TaskPath << TaskInterface << "RebootNotify" << "ss" << QVariantList{"evil", "reboot now"}
            << QVariantList{"t-1", "kernel"} << QByteArray(SIGNAL(RebootNotify(QString, QString)));
        QTest::addRow("InstallNotify, %s", qPrintable(forger))
            << forger << TaskPath << TaskInterface << "InstallNotify" << "ssbbi"
            << QVariantList{"evil", "malware", true, true, 1} << QVariantList{"t-2", "editor", false, false, 60}
            << QByteArray(SIGNAL(InstallNotify(QString, QString, bool, bool, int)));
        QTest::addRow("domainServerStatus, %s", qPrintable(forger))
            << forger << AgentPath << AgentInterface << "domainServerStatus" << "b" << QVariantList{true}
            << QVariantList{false} << QByteArray(SIGNAL(domainServerStatus(bool)));
    }
}

void TestForgedDaemonSignals::forgedSignalsAreNotRelayed()
{
    QFETCH(QString, forger);
    QFETCH(QString, path);
    QFETCH(QString, interface);
    QFETCH(QString, name);
    QFETCH(QString, signature);
    QFETCH(QVariantList, forged);
    QFETCH(QVariantList, genuine);
    QFETCH(QByteArray, qtSignal);

    QSignalSpy spy(dbus::instance(), qtSignal.constData());

    if (forger == "plain connection") {
        QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SystemBus, "forger");
        QVERIFY(connection.isConnected());
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
        signal.setArguments(forged);
        QVERIFY(connection.send(signal));
        // A round trip on the same connection: the bus has routed the forged signal before it answers.
        QVERIFY(connection.interface()->isServiceRegistered("com.kiv.domain").value());
    } else {
        // The mock answers EmitSignal only after the signal left it.
        m_otherService->emitSignal(path, interface, name, signature, forged);
    }

    // The daemon's own signal arrives behind the forged one and is the only one relayed.
    m_daemon->emitSignal(path, interface, name, signature, genuine);
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.size(), 1);
    QVERIFY(sameTyped(spy.first(), genuine));
}

QTEST_MAIN(TestForgedDaemonSignals)
#include "tst_faults_forgeddaemonsignals.moc"

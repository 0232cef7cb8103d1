// The daemon's signals as the proxy relays them: every one of the nine reaches its Qt signal with
// the same arguments, from a daemon that appears after the proxy was made and from one that was
// restarted; the log line of the domain-status relay comes first; the notice relay is Qt-only.
#include <QtTest>

#include <QDBusConnection>

#include "daemontestsupport.h"
#include "domaindbusinterface.h"

using namespace DaemonTest;

class TestDaemonSignals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void relaysEachSignal_data();
    void relaysEachSignal();
    void signalsOfARestartedDaemon();
    void domainStatusIsLoggedBeforeItIsRelayed();
    void noticeRelayIsTaggedAndQtOnly();

private:
    std::unique_ptr<DBusMock> m_daemon;
};

void TestDaemonSignals::initTestCase()
{
    // The proxy subscribes while the daemon is still away; its signals must reach it later.
    QVERIFY(dbus::instance());
    m_daemon = startDaemon();
    QVERIFY(m_daemon->isRunning());
}

void TestDaemonSignals::cleanupTestCase() { m_daemon.reset(); }

void TestDaemonSignals::relaysEachSignal_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QByteArray>("qtSignal");

    const QString agent = AgentPath, task = TaskPath;
    QTest::newRow("addDomainStatus") << agent << AgentInterface << "bs" << QVariantList{true, "joined kiv.lan"}
                                     << QByteArray(SIGNAL(addDomainStatus(bool, QString)));
    QTest::newRow("smsStatus") << agent << AgentInterface << "ss" << QVariantList{"alice", "code sent"}
                               << QByteArray(SIGNAL(smsStatus(QString, QString)));
    QTest::newRow("domainServerStatus") << agent << AgentInterface << "b" << QVariantList{true}
                                        << QByteArray(SIGNAL(domainServerStatus(bool)));
    QTest::newRow("domainServerStatus offline") << agent << AgentInterface << "b" << QVariantList{false}
                                                << QByteArray(SIGNAL(domainServerStatus(bool)));
    QTest::newRow("exitDomainStatus") << agent << AgentInterface << "bs" << QVariantList{false, "busy"}
                                      << QByteArray(SIGNAL(exitDomainStatus(bool, QString)));
    QTest::newRow("userInfo") << agent << AgentInterface << "s" << QVariantList{"{\"name\":\"alice\"}"}
                              << QByteArray(SIGNAL(userInfo(QString)));
    QTest::newRow("joinDomainVerifyResult") << agent << AgentInterface << "ssss"
                                            << QVariantList{"alice", "ok", "wrong code", "try again"}
                                            << QByteArray(SIGNAL(joinDomainVerifyResult(QString, QString, QString, QString)));
    QTest::newRow("InstallNotify") << task << TaskInterface << "ssbbi" << QVariantList{"t-1", "编辑器", true, false, 120}
                                   << QByteArray(SIGNAL(InstallNotify(QString, QString, bool, bool, int)));
    QTest::newRow("RebootNotify") << task << TaskInterface << "ss" << QVariantList{"t-2", "kernel"}
                                  << QByteArray(SIGNAL(RebootNotify(QString, QString)));
    QTest::newRow("ShowProgress") << task << TaskInterface << "ss" << QVariantList{"t-3", "office"}
                                  << QByteArray(SIGNAL(ShowProgress(QString, QString)));
}

void TestDaemonSignals::relaysEachSignal()
{
    QFETCH(QString, path);
    QFETCH(QString, interface);
    QFETCH(QString, signature);
    QFETCH(QVariantList, args);
    QFETCH(QByteArray, qtSignal);

    const QString name = QString::fromLatin1(QTest::currentDataTag()).section(' ', 0, 0);
    QSignalSpy first(dbus::instance(), qtSignal.constData());
    QSignalSpy second(dbus::instance(), qtSignal.constData());
    m_daemon->emitSignal(path, interface, name, signature, args);

    QVERIFY(first.wait(5000));
    QCOMPARE(first.size(), 1);
    QVERIFY(sameTyped(first.first(), args));
    // Every receiver gets the same arguments.
    QCOMPARE(second.size(), 1);
    QCOMPARE(second.first(), first.first());
}

void TestDaemonSignals::signalsOfARestartedDaemon()
{
    // A new daemon process has another unique name; the subscription follows the bus name.
    m_daemon->stop();
    m_daemon = startDaemon();
    QVERIFY(m_daemon->isRunning());
    QSignalSpy spy(dbus::instance(), SIGNAL(ShowProgress(QString, QString)));
    m_daemon->emitSignal(TaskPath, TaskInterface, "ShowProgress", "ss", {"t-4", "after restart"});
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.first(), QVariantList({"t-4", "after restart"}));
}

void TestDaemonSignals::domainStatusIsLoggedBeforeItIsRelayed()
{
    MessageLog log;
    QObject receiver;
    connect(dbus::instance(), &dbus::addDomainStatus, &receiver, [](bool added, const QString &reason) {
        MessageLog::messages().append({QtDebugMsg, "test", QString("relayed %1 %2").arg(added).arg(reason)});
    });
    QSignalSpy spy(dbus::instance(), &dbus::addDomainStatus);
    m_daemon->emitSignal(AgentPath, AgentInterface, "addDomainStatus", "bs", {false, "wrong password"});
    QVERIFY(spy.wait(5000));

    const int logged = MessageLog::indexOf("handAddDomainStatus: receive signal addDomainStatus");
    const int relayed = MessageLog::indexOf("relayed 0 wrong password", QtDebugMsg, "test");
    QVERIFY(logged >= 0);
    QVERIFY(relayed > logged);

    // The SMS relay logs its own line as well.
    QSignalSpy sms(dbus::instance(), &dbus::smsStatus);
    m_daemon->emitSignal(AgentPath, AgentInterface, "smsStatus", "ss", {"bob", "sent"});
    QVERIFY(sms.wait(5000));
    QVERIFY(MessageLog::contains("onSMSStatus: receive signal smsStatus"));
}

void TestDaemonSignals::noticeRelayIsTaggedAndQtOnly()
{
    MessageLog log;
    QSignalSpy spy(dbus::instance(), &dbus::requestShowNotify);
    QVERIFY(QMetaObject::invokeMethod(dbus::instance(), "onShowNotify", Q_ARG(QString, "disk almost full"),
                                      Q_ARG(int, 8)));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first(), QVariantList({"disk almost full", 8}));
    const LoggedMessage line = MessageLog::messages().value(MessageLog::indexOf("text: ", QtWarningMsg, "dbus"));
    QVERIFY2(QRegularExpression(R"(^\[onShowNotify:\d+\] text: disk almost full, time: 8$)").match(line.text).hasMatch(),
             qPrintable(line.text));

    // No daemon signal feeds it.
    QSignalSpy none(dbus::instance(), &dbus::requestShowNotify);
    QSignalSpy marker(dbus::instance(), &dbus::userInfo);
    m_daemon->emitSignal(AgentPath, AgentInterface, "onShowNotify", "si", {"from the bus", 3});
    m_daemon->emitSignal(AgentPath, AgentInterface, "requestShowNotify", "si", {"from the bus", 3});
    m_daemon->emitSignal(AgentPath, AgentInterface, "userInfo", "s", {"marker"});
    QVERIFY(marker.wait(5000));
    QCOMPARE(none.size(), 0);
}

QTEST_MAIN(TestDaemonSignals)
#include "tst_daemonsignals.moc"

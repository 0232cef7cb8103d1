// The session service in this process, exported on the test session bus and called with gdbus;
// the stand-in daemon on the test system bus records what the service asks of it.
#include <QtTest>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QLabel>

#include "dbusmock.h"
#include "log.h"
#include "logging.h"
#include "notify.h"
#include "paths.h"
#include "session_dbus_interface.h"
#include "testenv.h"

namespace {
using TestEnv::AgentPath;
using TestEnv::ConfigIni;
const QString ConfigPath = "/com/domain/config";

QList<Notify *> popups()
{
    QList<Notify *> result;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *popup = qobject_cast<Notify *>(widget))
            result << popup;
    }
    return result;
}

// Receives the service's signals on a second connection, as any other session client would.
class Observer : public QObject
{
    Q_OBJECT
public:
    QList<QPair<QString, int>> notices;
    int logins = 0;
public slots:
    void onRequestShowNotify(const QString &text, int time) { notices << qMakePair(text, time); }
    void onUserLogin() { ++logins; }
};

}  // namespace

class TestSessionService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void showNotifyOverTheBus_data();
    void showNotifyOverTheBus();
    void onlyTheServiceIsExported();
    void updateOrAddDomainAtConstruction_data();
    void updateOrAddDomainAtConstruction();
    void addDomainCheck_data();
    void addDomainCheck();
    void loginTimeIsRecordedThroughTheDaemon_data();
    void loginTimeIsRecordedThroughTheDaemon();

private:
    void setReply(const QString &method, const QString &signature, const QVariant &value);
    QList<int> addSystemCalls() const;

    TestEnv::TempRoot *m_root = nullptr;
    DBusMock *m_daemon = nullptr;
    session_dbus_interface *m_service = nullptr;
    Observer m_observer;
};

void TestSessionService::initTestCase()
{
    m_root = new TestEnv::TempRoot();
    Log::GetInstance()->setLogPath(Paths::logFile());
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);
    m_root->writeFile(ConfigIni, "[init]\nauto_update_client=false\nadd_domain_success=true\n");
    m_daemon = DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus);
    QVERIFY(m_daemon->isRunning());

    m_service = new session_dbus_interface();
    m_service->start();
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.registerService("com.kiv.domain.session"));
    QVERIFY(bus.registerObject(AgentPath, m_service,
                               QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                   QDBusConnection::ExportAllProperties));

    QDBusConnection observer = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "observer");
    QVERIFY(observer.connect("com.kiv.domain.session", AgentPath, "com.kiv.domain.agent", "requestShowNotify",
                             &m_observer, SLOT(onRequestShowNotify(QString, int))));
}

void TestSessionService::init()
{
    m_daemon->mock(AgentPath, "ResetReplies");
    for (const char *path : {"/com/domain/agent", "/com/domain/config"})
        m_daemon->clearCalls(path);
}

void TestSessionService::cleanupTestCase()
{
    QDBusConnection::sessionBus().unregisterObject(AgentPath);
    delete m_service;
    delete m_daemon;
    delete m_root;
}

void TestSessionService::setReply(const QString &method, const QString &signature, const QVariant &value)
{
    m_daemon->mock(AgentPath, "SetReply", {method, signature, QVariant::fromValue(QDBusVariant(value))});
}

QList<int> TestSessionService::addSystemCalls() const
{
    QList<int> result;
    for (const QVariantList &args : m_daemon->callsOf(AgentPath, "addSystem"))
        result << args.value(0).toInt();
    return result;
}

void TestSessionService::showNotifyOverTheBus_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("seconds");
    QTest::newRow("one second") << "请保存文件 save your files" << 1;
    QTest::newRow("zero: gone at once") << "" << 0;
}

void TestSessionService::showNotifyOverTheBus()
{
    QFETCH(QString, text);
    QFETCH(int, seconds);
    m_observer.notices.clear();
    QCOMPARE(TestEnv::callAgent("showNotify", {text, QString::number(seconds)}).exitCode, 0);

    QTRY_COMPARE_WITH_TIMEOUT(m_observer.notices.size(), 1, 5000);
    QCOMPARE(m_observer.notices.first(), qMakePair(text, seconds));
    QVERIFY(m_root->logText().contains("[session_dbus_interface] [showNotify:"));
    if (seconds > 0) {
        QCOMPARE(popups().size(), 1);
        QVERIFY(popups().first()->isVisible());
        QCOMPARE(popups().first()->findChild<QLabel *>("notify_label")->text(), text);
    }
    QTRY_VERIFY_WITH_TIMEOUT(popups().isEmpty(), seconds * 1000 + 3000);
}

void TestSessionService::onlyTheServiceIsExported()
{
    const TestEnv::CommandResult introspection = TestEnv::runCommand(
        "gdbus", {"introspect", "--session", "--dest", "com.kiv.domain.session", "--object-path", AgentPath});
    QCOMPARE(introspection.exitCode, 0);
    for (const char *member : {"post_login(out s ", "showNotify(in  s text,", "user_login();", "requestShowNotify(s text,"})
        QVERIFY2(introspection.output.contains(member), member);
    QVERIFY(!introspection.output.contains("onDomainServerStatus"));
    QVERIFY(!introspection.output.contains("requestLogin"));
    QVERIFY(TestEnv::callAgent("onDomainServerStatus", {"true"}).exitCode != 0);
}

void TestSessionService::updateOrAddDomainAtConstruction_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<bool>("updateCheckAnswer");
    QTest::addColumn<bool>("updateRequested");
    QTest::addColumn<bool>("addDomainChecked");

    QTest::newRow("update check taken") << "[init]\nauto_update_client=true\n" << true << true << false;
    QTest::newRow("update check refused") << "[init]\nauto_update_client=true\n" << false << false << true;
    QTest::newRow("update unset: stored, answered false")
        << "[init]\nauto_update_client=\n" << true << false << true;
    QTest::newRow("joined the domain") << "[init]\nauto_update_client=false\nadd_domain_success=true\n" << true
                                       << false << false;
    QTest::newRow("joined is exact text") << "[init]\nauto_update_client=false\nadd_domain_success=True\n"
                                          << true << false << true;
}

void TestSessionService::updateOrAddDomainAtConstruction()
{
    QFETCH(QString, config);
    QFETCH(bool, updateCheckAnswer);
    QFETCH(bool, updateRequested);
    QFETCH(bool, addDomainChecked);

    m_root->writeConfig(config.toUtf8());
    setReply("CheckUpdateCli", "b", updateCheckAnswer);
    const int updateLines = m_root->countInLog("[Info][default] request check update client");
    const int checkLines = m_root->countInLog("[Info][default] check auto add domain system");
    session_dbus_interface service;
    service.start();

    QCOMPARE(m_root->countInLog("request check update client") - updateLines, updateRequested ? 1 : 0);
    QCOMPARE(m_root->countInLog("check auto add domain system") - checkLines, addDomainChecked ? 1 : 0);
    QCOMPARE(addSystemCalls(), addDomainChecked ? QList<int>{2} : QList<int>{});
    if (config.contains("auto_update_client=\n"))
        QVERIFY(QString(m_root->readFile(ConfigIni)).contains("auto_update_client=true"));
}

void TestSessionService::addDomainCheck_data()
{
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("info");
    QTest::addColumn<QString>("storedType");
    QTest::addColumn<QList<int>>("addSystem");
    QTest::addColumn<QString>("logLine");

    const QString base = "[init]\nauto_update_client=false\n";
    QTest::newRow("type missing: mode 2, no area read")
        << base << "AREA=A1\n" << "" << QList<int>{2} << "";
    QTest::newRow("type 2") << base + "domain_type=2\n" << "AREA=A1\n" << "2" << QList<int>{2} << "";
    QTest::newRow("type 1, listed area") << base + "domain_type=1\n[style]\nauto_add_domain_area=A0,A1\n"
                                         << "AREA=A1\n" << "3" << QList<int>{3}
                                         << "checkAddDomainSystem: type(1), area(A1), need_auto_add_domain(1)";
    QTest::newRow("type 3, unlisted, not thin") << base + "domain_type=3\n[style]\nauto_add_domain_area=A0\n"
                                                << "AREA=B7\n" << "3" << QList<int>{3}
                                                << "checkAddDomainSystem: type(3), area(B7), need_auto_add_domain(0)";
    QTest::newRow("type 1, unlisted, not thin") << base + "domain_type=1\n[style]\nauto_add_domain_area=A0\n"
                                                << "AREA=B7\n" << "1" << QList<int>{}
                                                << "checkAddDomainSystem: type(1), area(B7), need_auto_add_domain(0)";
    QTest::newRow("type 1, unlisted, thin terminal")
        << base + "domain_type=1\n[style]\nauto_add_domain_area=A0\n" << "AREA=B7\nMACHINE=THIN\n" << "3"
        << QList<int>{3} << "checkAddDomainSystem: type(1), area(B7), need_auto_add_domain(1)";
    QTest::newRow("area match is case-sensitive")
        << base + "domain_type=1\n[style]\nauto_add_domain_area=a1\n" << "AREA=A1\n" << "1" << QList<int>{}
        << "checkAddDomainSystem: type(1), area(A1), need_auto_add_domain(0)";
    QTest::newRow("no info file, empty area not listed")
        << base + "domain_type=1\n[style]\nauto_add_domain_area=A0\n" << QString() << "1" << QList<int>{}
        << "checkAddDomainSystem: type(1), area(), need_auto_add_domain(0)";
}

void TestSessionService::addDomainCheck()
{
    QFETCH(QString, config);
    QFETCH(QString, info);
    QFETCH(QString, storedType);
    QFETCH(QList<int>, addSystem);
    QFETCH(QString, logLine);

    m_root->writeConfig(config.toUtf8());
    if (info.isNull())
        m_root->remove("/etc/kiv/info");
    else
        m_root->writeFile("/etc/kiv/info", info.toUtf8());
    const int lines = m_root->countInLog("checkAddDomainSystem:");

    session_dbus_interface service;
    service.start();

    QCOMPARE(addSystemCalls(), addSystem);
    QSettings stored(m_root->path(ConfigIni), QSettings::IniFormat);
    QCOMPARE(stored.value("init/domain_type").toString(), storedType);
    if (logLine.isEmpty()) {
        QCOMPARE(m_root->countInLog("checkAddDomainSystem:"), lines);
    } else {
        QCOMPARE(m_root->countInLog("checkAddDomainSystem:"), lines + 1);
        QVERIFY2(m_root->logText().contains("[LOG_INFO] " + logLine), qPrintable(m_root->logText().right(300)));
    }
}

void TestSessionService::loginTimeIsRecordedThroughTheDaemon_data()
{
    QTest::addColumn<QString>("previous");
    QTest::newRow("previous log-in") << "20261201083000";
    QTest::newRow("first log-in") << "";
}

void TestSessionService::loginTimeIsRecordedThroughTheDaemon()
{
    QFETCH(QString, previous);
    m_root->writeConfig(
        QString("[init]\nadd_domain_success=true\nauto_update_client=false\nthis_login_time=%1\n").arg(previous).toUtf8());
    const QByteArray before = m_root->readFile(ConfigIni);

    const QDateTime start = QDateTime::currentDateTime().addSecs(-1);
    session_dbus_interface service;
    service.start();
    const QDateTime end = QDateTime::currentDateTime().addSecs(1);

    const QList<QVariantList> updates = m_daemon->callsOf(ConfigPath, "UpdateConfig");
    QCOMPARE(updates.size(), 2);
    QCOMPARE(updates[0], (QVariantList{"last_login_time", previous}));
    QCOMPARE(updates[1].value(0).toString(), QString("this_login_time"));
    const QDateTime now = QDateTime::fromString(updates[1].value(1).toString(), "yyyyMMddhhmmss");
    QVERIFY2(now.isValid() && now >= start.addMSecs(-start.time().msec()) && now <= end,
             qPrintable(updates[1].value(1).toString()));
    QCOMPARE(m_root->readFile(ConfigIni), before);  // only the daemon writes the configuration
}

QTEST_MAIN(TestSessionService)
#include "tst_session_service.moc"

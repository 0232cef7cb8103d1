// The daemon method catalogue against the stand-in daemon on the test system bus: what reaches
// the daemon, what the caller gets back, the fallbacks when the daemon fails, answers with the
// wrong type or is absent, and the three call modes.
#include <QtTest>

#include <QDBusAbstractInterface>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>

#include <functional>

#include "daemontestsupport.h"
#include "domaindbusinterface.h"

using namespace DaemonTest;

namespace {
using Operation = std::function<QVariant()>;

// One operation of the catalogue: how it is called, what the daemon must receive, how it answers.
struct CatalogueRow {
    Operation op;
    QString path;
    QString method;
    QVariantList args;
    QString replySignature;  // empty: the method has no reply value
    QVariant reply;
    QVariant fallback;
    char mode = 'B';         // B blocking, E serves the event loop, A returns at once
    QString successLog;      // message logged when the call succeeded, if any
    QString failureLog;      // message logged when it failed, if any
    QString logCategory = "default";
};

dbus *proxy() { return dbus::instance(); }

QList<QPair<QByteArray, CatalogueRow>> catalogue()
{
    const QString a = "alpha", b = "bravo", c = "charlie", d = "delta";
    QList<QPair<QByteArray, CatalogueRow>> rows;
    const auto add = [&rows](const char *name, const CatalogueRow &row) { rows.append({name, row}); };
    const auto none = [](const std::function<void()> &f) { return Operation([f] { f(); return QVariant(); }); };

    add("set_process_restart", {none([] { proxy()->set_process_restart(); }), AgentPath, "set_process_restart", {}});
    add("clear_rc", {none([] { proxy()->clear_rc(); }), AgentPath, "clear_rc_deb", {}});
    add("is_domain_online", {[] { return QVariant(proxy()->is_domain_online()); }, AgentPath, "is_domain_online", {},
                             "b", true, false});
    add("get_domain_user_prefix", {[] { return QVariant(proxy()->get_domain_user_prefix()); }, AgentPath,
                                   "get_domain_user_prefix", {}, "s", QString("KIV\\"), QString()});
    add("GetAllEvents", {[] { return QVariant(proxy()->GetAllEvents()); }, EventsPath, "GetAllEvents", {}, "as",
                         QStringList{"e1", "e2"}, QStringList(), 'B', "", "failed to GetAllEvents"});
    add("syncAll", {none([] { proxy()->syncAll(); }), SyncPath, "syncAll", {}, "", {}, {}, 'A'});
    add("usbInit", {none([] { proxy()->usbInit(); }), AgentPath, "usbInit", {}});
    add("CheckUpdateCli", {[] { return QVariant(proxy()->CheckUpdateCli()); }, ConfigPath, "CheckUpdateCli", {}, "b",
                           true, false});
    add("recover_pam", {[] { return QVariant(proxy()->recover_pam()); }, AgentPath, "recover_pam", {}, "b", true,
                        false});
    add("Init", {none([] { proxy()->Init(); }), TaskPath, "Init", {}, "", {}, {}, 'B', "call Init result: success!",
                 "call Init result: failed!"});
    add("post_equipment_setting", {none([=] { proxy()->post_equipment_setting(a, b, c, 4, 5); }), AgentPath,
                                   "post_equipment_setting", {a, b, c, 4, 5}});
    add("set_salt_minion", {none([=] { proxy()->set_salt_minion(a, b); }), AgentPath, "set_salt_minion", {a, b}, "",
                            {}, {}, 'B', "set_salt_minion success!", "set_salt_minion failed!"});
    add("sync", {none([] { proxy()->sync("ssh", "1"); }), SyncPath, "sync", {QString("ssh"), QString("1")}});
    add("sendWebSet", {none([] { proxy()->sendWebSet("{\"sender\":1}"); }), AgentPath, "sendWebSet",
                       {QString("{\"sender\":1}")}});
    add("addSystem", {none([] { proxy()->addSystem(3); }), AgentPath, "addSystem", {3}});
    add("setHeartBeat", {none([] { proxy()->setHeartBeat(30000); }), AgentPath, "setHeartBeat", {30000}, "", {}, {},
                         'E', "setHeartBeat timeout(30000) result(successed)!",
                         "setHeartBeat timeout(30000) result(failed)!"});
    add("updateConfig", {none([] { proxy()->updateConfig("this_login_time", "2024-05-01 08:00:00"); }), ConfigPath,
                         "UpdateConfig", {QString("this_login_time"), QString("2024-05-01 08:00:00")}, "", {}, {}, 'E',
                         "update config key(this_login_time) value(2024-05-01 08:00:00) result(successed)!",
                         "update config key(this_login_time) value(2024-05-01 08:00:00) result(failed)!"});
    add("RecordEvent", {none([] { proxy()->RecordEvent(ADD_DOMAIN_FAILED, "timeout"); }), ConfigPath, "RecordEvent",
                        {3, QString("timeout")}, "", {}, {}, 'E', "RecordEvent actionType(3) value(timeout) result(successed)!",
                        "RecordEvent actionType(3) value(timeout) result(failed)!"});
    add("getUserInfo", {none([=] { proxy()->getUserInfo(a); }), AgentPath, "getUserInfo", {a}, "", {}, {}, 'E'});
    add("InstallRequest", {none([] { proxy()->InstallRequest("task-9", 1); }), TaskPath, "InstallRequest",
                           {QString("task-9"), 1}, "", {}, {}, 'E'});
    add("add_windows_domain", {[=] { return QVariant(proxy()->add_windows_domain(a, b, c, d)); }, AgentPath,
                               "add_windows_domain", {a, b, c, d}, "b", true, false, 'E'});
    add("execLogin", {[=] { return QVariant(proxy()->execLogin(a, b)); }, AgentPath, "execLogin", {a, b}, "b", true,
                      false, 'E'});
    add("modify_resolv_config", {[=] { return QVariant(proxy()->modify_resolv_config(a)); }, AgentPath,
                                 "modify_resolv_config", {a}, "b", true, false, 'E'});
    add("get_domain_info", {[=] { return QVariant(proxy()->get_domain_info(a, b)); }, AgentPath, "get_domain_info",
                            {a, b}, "s", QString("{\"domain\":\"kiv.lan\"}"), QString()});
    add("add_domain", {[=] { return QVariant(proxy()->add_domain(a, b, c, d)); }, AgentPath, "add_domain",
                       {a, b, c, d}, "s", QString("joined"), QString()});
    add("add_domain3", {[=] { return QVariant(proxy()->add_domain3(a, b, c, d)); }, AgentPath, "add_domain3",
                        {a, b, c, d}, "s", QString("joined3"), QString(), 'E'});
    add("get_add_domain_status", {[=] { return QVariant(proxy()->get_add_domain_status(a, b)); }, AgentPath,
                                  "get_add_domain_status", {a, b}, "s", QString("adding"), QString()});
    add("get_hostname", {[=] { return QVariant(proxy()->get_hostname(a)); }, AgentPath, "get_hostname", {a}, "s",
                         QString("pc-7"), QString()});
    add("modify_pwd", {[=] { return QVariant(proxy()->modify_pwd(a, b, c)); }, AgentPath, "modify_password",
                       {a, b, c}, "s", QString("changed"), QString()});
    add("modify_lpwd", {none([=] { proxy()->modify_lpwd(a); }), AgentPath, "modify_localpassword", {a}, "", {}, {},
                        'B', "control lpwd success", "control lpwd none", "dbus"});
    add("GetEventRecord", {[=] { return QVariant(proxy()->GetEventRecord(a)); }, EventsPath, "GetEventRecord", {a},
                           "s", QString("record-1"), QString(), 'E', "", "failed to GetEventRecord"});
    add("policy_info", {[=] { return QVariant(proxy()->policy_info(a, b, c)); }, AgentPath, "policy_info", {a, b, c},
                        "ay", QByteArray("{\"status\":1}"), QByteArray()});
    add("run_pre_add_domain", {[=] { return QVariant(proxy()->run_pre_add_domain(a)); }, AgentPath,
                               "run_pre_add_domain", {a}, "i", 0, 1, 'E'});
    return rows;
}

// A reply of another D-Bus type than the one the daemon is known to send.
QPair<QString, QVariant> wrongType(const QString &signature)
{
    if (signature == "b")
        return {"s", QString("true")};
    if (signature == "s")
        return {"b", true};
    if (signature == "as")
        return {"s", QString("e1")};
    if (signature == "ay")
        return {"s", QString("{\"status\":1}")};
    return {"u", 0u};  // an unsigned zero where a signed integer is expected
}

void checkLog(const CatalogueRow &row, bool succeeded)
{
    const QString expected = succeeded ? row.successLog : row.failureLog;
    const QString unexpected = succeeded ? row.failureLog : row.successLog;
    const QtMsgType type = row.failureLog.startsWith("failed to") ? QtWarningMsg : QtInfoMsg;
    if (!expected.isEmpty())
        QVERIFY2(MessageLog::contains(expected, type, row.logCategory), qPrintable(expected));
    if (!unexpected.isEmpty())
        QVERIFY2(!MessageLog::contains(unexpected, type, row.logCategory), qPrintable(unexpected));
}
}  // namespace

Q_DECLARE_METATYPE(CatalogueRow)

class TestDomainDbusInterface : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void constructionWithoutDaemon();
    void fallbacksWithoutDaemon_data();
    void fallbacksWithoutDaemon();
    void sendsArgumentsAndReturnsReply_data();
    void sendsArgumentsAndReturnsReply();
    void fallbacksOnBadReplies_data();
    void fallbacksOnBadReplies();
    void callModes_data();
    void callModes();
    void eventLoopCallServesIncomingCalls();
    void consecutiveCallsDoNotShareArguments();
    void daemonDyingDuringCall();
    void eventLoopCallEndsAtTheTimeOut();
    void singleInstanceAndItsProxies();

private:
    void catalogueData();
    DBusMock &daemon();

    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<MessageLog> m_log;
};

void TestDomainDbusInterface::initTestCase()
{
    qRegisterMetaType<CatalogueRow>();
    m_log = std::make_unique<MessageLog>();
}

void TestDomainDbusInterface::init() { MessageLog::messages().clear(); }

void TestDomainDbusInterface::cleanupTestCase()
{
    m_daemon.reset();
    m_log.reset();
}

DBusMock &TestDomainDbusInterface::daemon()
{
    if (!m_daemon || !m_daemon->isRunning())
        m_daemon = startDaemon();
    m_daemon->mock(AgentPath, "ResetReplies");
    for (const QString &path : {AgentPath, SyncPath, ConfigPath, EventsPath, TaskPath})
        m_daemon->clearCalls(path);
    return *m_daemon;
}

void TestDomainDbusInterface::catalogueData()
{
    QTest::addColumn<CatalogueRow>("row");
    for (const auto &entry : catalogue())
        QTest::newRow(entry.first.constData()) << entry.second;
}

void TestDomainDbusInterface::constructionWithoutDaemon()
{
    // The first use of the proxy happens here, while no daemon owns its name.
    QVERIFY(!QDBusConnection::systemBus().interface()->isServiceRegistered("com.kiv.domain").value());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(dbus::instance() != nullptr);
    QCOMPARE(dbus::instance()->is_domain_online(), false);
    QVERIFY2(timer.elapsed() < 5000, "an absent daemon must not hold up the agent");
}

void TestDomainDbusInterface::fallbacksWithoutDaemon_data() { catalogueData(); }

void TestDomainDbusInterface::fallbacksWithoutDaemon()
{
    QFETCH(CatalogueRow, row);
    QVERIFY(!m_daemon || !m_daemon->isRunning());
    const QVariant result = row.op();
    QCOMPARE(result, row.fallback);
    if (row.mode != 'A')
        checkLog(row, false);
}

void TestDomainDbusInterface::sendsArgumentsAndReturnsReply_data() { catalogueData(); }

void TestDomainDbusInterface::sendsArgumentsAndReturnsReply()
{
    QFETCH(CatalogueRow, row);
    DBusMock &mock = daemon();
    if (!row.replySignature.isEmpty())
        setReply(mock, row.method, row.replySignature, row.reply);

    const QVariant result = row.op();

    QList<QVariantList> calls;
    QVERIFY(TestEnv::waitFor([&] { return !(calls = mock.callsOf(row.path, row.method)).isEmpty(); }, 5000));
    QCOMPARE(calls.size(), 1);
    QVERIFY2(sameTyped(calls.first(), row.args), qPrintable(describe(calls.first())));
    QCOMPARE(result.userType(), row.reply.userType());
    QCOMPARE(result, row.reply);
    if (row.mode != 'A')
        checkLog(row, true);
}

void TestDomainDbusInterface::fallbacksOnBadReplies_data()
{
    QTest::addColumn<CatalogueRow>("row");
    QTest::addColumn<QString>("fault");
    for (const auto &entry : catalogue()) {
        if (entry.second.mode == 'A')
            continue;
        QStringList faults{"error"};
        if (!entry.second.replySignature.isEmpty())
            faults << "wrong type" << "no value";
        for (const QString &fault : faults)
            QTest::newRow(qPrintable(entry.first + " " + fault)) << entry.second << fault;
    }
}

void TestDomainDbusInterface::fallbacksOnBadReplies()
{
    QFETCH(CatalogueRow, row);
    QFETCH(QString, fault);
    DBusMock &mock = daemon();
    if (fault == "error") {
        setError(mock, row.method, "com.kiv.domain.Error.Failed");
    } else if (fault == "wrong type") {
        const auto wrong = wrongType(row.replySignature);
        setReply(mock, row.method, wrong.first, wrong.second);
    } else {
        setReply(mock, row.method, "", QString());
    }

    const QVariant result = row.op();

    QCOMPARE(result.userType(), row.fallback.userType());
    QCOMPARE(result, row.fallback);
    // Nothing is retried.
    QCOMPARE(mock.callsOf(row.path, row.method).size(), 1);
    if (fault == "error")
        checkLog(row, false);
}

void TestDomainDbusInterface::callModes_data() { catalogueData(); }

void TestDomainDbusInterface::callModes()
{
    QFETCH(CatalogueRow, row);
    DBusMock &mock = daemon();
    const double delaySeconds = 0.3;
    setDelay(mock, row.method, delaySeconds);

    bool timerRan = false;
    QTimer::singleShot(0, this, [&timerRan] { timerRan = true; });
    QElapsedTimer elapsed;
    elapsed.start();
    row.op();
    const qint64 took = elapsed.elapsed();
    const bool ranDuringCall = timerRan;

    switch (row.mode) {
    case 'A':
        QVERIFY2(took < 250, qPrintable(QString("took %1 ms").arg(took)));
        QVERIFY(!ranDuringCall);
        break;
    case 'E':
        QVERIFY2(took >= 250, qPrintable(QString("took %1 ms").arg(took)));
        QVERIFY2(ranDuringCall, "an event-loop call must keep serving events while it waits");
        break;
    default:
        QVERIFY2(took >= 250, qPrintable(QString("took %1 ms").arg(took)));
        QVERIFY2(!ranDuringCall, "a blocking call must not run the event loop");
    }
    // The daemon got the call in every mode (the asynchronous one too).
    QVERIFY(TestEnv::waitFor([&] { return mock.callsOf(row.path, row.method).size() == 1; }, 5000));
}

namespace {
// An object on the test's session bus that a process outside calls while the proxy waits.
class Echo : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "local.test.Echo")

public:
    int calls = 0;

public slots:
    Q_SCRIPTABLE QString ping(const QString &text)
    {
        ++calls;
        return text;
    }
};
}  // namespace

void TestDomainDbusInterface::eventLoopCallServesIncomingCalls()
{
    DBusMock &mock = daemon();
    Echo echo;
    QDBusConnection session = QDBusConnection::sessionBus();
    QVERIFY(session.registerObject("/test/echo", &echo, QDBusConnection::ExportScriptableSlots));

    // The daemon takes its time over the configuration write; meanwhile a caller reaches us.
    setDelay(mock, "UpdateConfig", 1.5);
    QProcess caller;
    caller.start("gdbus", {"call", "--session", "--dest", session.baseService(), "--object-path", "/test/echo",
                           "--method", "local.test.Echo.ping", "hello"});
    QVERIFY(caller.waitForStarted(5000));
    dbus::instance()->updateConfig("last_login_time", "2024-05-01 07:59:00");
    const int servedDuringCall = echo.calls;

    QVERIFY(TestEnv::waitFor([&] { return caller.state() == QProcess::NotRunning; }, 10000));
    session.unregisterObject("/test/echo");
    QCOMPARE(servedDuringCall, 1);
    QCOMPARE(caller.exitCode(), 0);
    QVERIFY(QString::fromUtf8(caller.readAllStandardOutput()).contains("hello"));
    QVERIFY(MessageLog::contains("update config key(last_login_time) value(2024-05-01 07:59:00) result(successed)!"));
}

void TestDomainDbusInterface::consecutiveCallsDoNotShareArguments()
{
    DBusMock &mock = daemon();
    dbus::instance()->addSystem(3);
    dbus::instance()->sync("ssh", "1");
    dbus::instance()->syncAll();
    QVERIFY(TestEnv::waitFor([&] { return mock.callsOf(SyncPath, "syncAll").size() == 1; }, 5000));
    QVERIFY(sameTyped(mock.callsOf(AgentPath, "addSystem").value(0), {3}));
    QVERIFY(sameTyped(mock.callsOf(SyncPath, "sync").value(0), {QString("ssh"), QString("1")}));
    QVERIFY(sameTyped(mock.callsOf(SyncPath, "syncAll").value(0), {}));
}

void TestDomainDbusInterface::daemonDyingDuringCall()
{
    // The daemon takes the call and leaves the bus without answering: the caller gets its
    // fallback at once instead of waiting out the minute of the agent interface.
    DBusMock &mock = daemon();
    mock.mock(AgentPath, "SetVanish", {QString("is_domain_online")});
    QElapsedTimer elapsed;
    elapsed.start();
    QCOMPARE(dbus::instance()->is_domain_online(), false);
    QVERIFY(elapsed.elapsed() < 10000);
    QVERIFY(TestEnv::waitFor([&] { return !mock.isRunning(); }));

    // The same for an event-loop call; the agent goes on serving when the daemon comes back.
    DBusMock &again = daemon();
    again.mock(AgentPath, "SetVanish", {QString("setHeartBeat")});
    dbus::instance()->setHeartBeat(10000);
    QVERIFY(MessageLog::contains("setHeartBeat timeout(10000) result(failed)!"));
    QVERIFY(TestEnv::waitFor([&] { return !again.isRunning(); }));

    daemon();
    QCOMPARE(dbus::instance()->is_domain_online(), true);
}

void TestDomainDbusInterface::eventLoopCallEndsAtTheTimeOut()
{
    // A daemon that answers only after the proxy has given up: the call ends at the proxy's
    // time-out with its fallback and its failure line, and events are served meanwhile. The
    // agent interface's minute is shortened here so the test need not wait it out.
    DBusMock &mock = daemon();
    QDBusAbstractInterface *agent = nullptr;
    for (QDBusAbstractInterface *proxy : dbus::instance()->findChildren<QDBusAbstractInterface *>())
        if (proxy->path() == AgentPath)
            agent = proxy;
    QVERIFY(agent);
    agent->setTimeout(1000);
    setDelay(mock, "setHeartBeat", 8);

    bool timerRan = false;
    QTimer::singleShot(0, this, [&timerRan] { timerRan = true; });
    QElapsedTimer elapsed;
    elapsed.start();
    dbus::instance()->setHeartBeat(20000);
    const qint64 took = elapsed.elapsed();
    agent->setTimeout(60000);

    QVERIFY2(took >= 900 && took < 7000, qPrintable(QString("took %1 ms").arg(took)));
    QVERIFY(timerRan);
    QVERIFY(MessageLog::contains("setHeartBeat timeout(20000) result(failed)!"));
    // The late answer, when it comes, is dropped; the next call gets its own reply.
    setDelay(mock, "is_domain_online", 0);
    QCOMPARE(dbus::instance()->is_domain_online(), true);
}

void TestDomainDbusInterface::singleInstanceAndItsProxies()
{
    dbus *first = dbus::instance();
    QCOMPARE(dbus::instance(), first);

    // Five proxies on the system bus, owned by the object; only the agent interface has a
    // time-out of its own.
    const QList<QDBusAbstractInterface *> proxies = first->findChildren<QDBusAbstractInterface *>();
    QCOMPARE(proxies.size(), 5);
    QMap<QString, int> timeouts;
    for (const QDBusAbstractInterface *proxy : proxies) {
        QCOMPARE(proxy->service(), QString("com.kiv.domain"));
        QCOMPARE(proxy->connection().baseService(), QDBusConnection::systemBus().baseService());
        timeouts.insert(proxy->path() + " " + proxy->interface(), proxy->timeout());
    }
    const QMap<QString, int> expected{
        {"/com/domain/agent com.kiv.domain.agent", 60000},
        {"/com/domain/sync com.domain.sync", -1},
        {"/com/domain/config com.domain.config", -1},
        {"/com/domain/events com.domain.events", -1},
        {"/com/domain/taskmanager com.domain.taskmanager", -1},
    };
    QCOMPARE(timeouts, expected);
}

QTEST_MAIN(TestDomainDbusInterface)
#include "tst_domaindbusinterface.moc"

// The daemon proxy against the stand-in daemon, which serves the daemon's contract
// (daemon/com.kiv.domain.xml): the catalogue of calls and the relayed signals held to that
// contract; what the daemon receives and what the caller gets back or falls back to; who may
// send the daemon's signals; time-outs, event-loop calls and a daemon that goes away; the
// heartbeat period the real agent tells the daemon at start; the desktop and session controls.
#include <QtTest>

#include <QDBusAbstractInterface>
#include <QDBusMetaType>
#include <QDomDocument>

#include <functional>

#include "domaindbusinterface.h"
#include "fixture.h"

namespace {
const QString AgentPath = "/com/domain/agent", TaskPath = "/com/domain/taskmanager";
const QStringList Users = {"/org/freedesktop/Accounts/User1000", "/org/freedesktop/Accounts/User1001"};

// One method or signal of the contract: its object, interface, argument and reply signatures.
struct Member {
    QString path, interface, in, out;
};
QMap<QString, Member> contract(const QString &kind)  // "method" or "signal"
{
    QFile file(TestEnv::sourceDir() + "/daemon/com.kiv.domain.xml");
    QDomDocument xml;
    if (!file.open(QIODevice::ReadOnly) || !xml.setContent(&file))
        qFatal("the daemon's contract is not readable");
    QMap<QString, Member> members;
    const QDomElement root = xml.documentElement();
    for (QDomElement node = root.firstChildElement("node"); !node.isNull(); node = node.nextSiblingElement("node")) {
        const QDomElement interface = node.firstChildElement("interface");
        if (interface.attribute("name") == "com.domain.remoteassist")
            continue;  // remote assistance's own proxy, tested with it
        for (QDomElement e = interface.firstChildElement(kind); !e.isNull(); e = e.nextSiblingElement(kind)) {
            Member &m = members[e.attribute("name")];
            m = {root.attribute("name") + "/" + node.attribute("name"), interface.attribute("name"), {}, {}};
            for (QDomElement arg = e.firstChildElement("arg"); !arg.isNull(); arg = arg.nextSiblingElement("arg"))
                (arg.attribute("direction") == "out" ? m.out : m.in) += arg.attribute("type");
        }
    }
    return members;
}

QString signatureOf(const QVariantList &values)
{
    QString signature;
    for (const QVariant &value : values)
        signature += value.isValid() ? QDBusMetaType::typeToSignature(value.userType()) : "";
    return signature;
}
// Values with their types, so that an int sent as a long or a string shows.
QString typed(const QVariantList &values)
{
    QString text;
    QDebug(&text) << values;
    return text;
}

// One operation of the catalogue: the call, the daemon method, the arguments as the daemon must
// receive them, the value returned on failure (invalid: returns nothing), the call mode (B waits,
// E serves the event loop while it waits, A returns at once), the line logged on failure and the
// type of a reply that the operation does not pass on.
struct Row {
    std::function<QVariant()> op;
    QString method;
    QVariantList args;
    QVariant fallback;
    char mode = 'B';
    QString failureLine;
    QString unusedReply;
};
dbus *d() { return dbus::instance(); }
#define RETURNS(call) [=] { return QVariant(d()->call); }
#define DOES(call) [=] { d()->call; return QVariant(); }

QList<Row> catalogue()
{
    const QString a = "alpha", b = "bravo", c = "charlie", e = "echo", no;
    return {
        {DOES(set_process_restart()), "set_process_restart", {}, {}},
        {DOES(clear_rc()), "clear_rc_deb", {}, {}},
        {RETURNS(is_domain_online()), "is_domain_online", {}, false},
        {RETURNS(get_domain_user_prefix()), "get_domain_user_prefix", {}, no},
        {RETURNS(GetAllEvents()), "GetAllEvents", {}, QStringList(), 'B', "failed to GetAllEvents"},
        {DOES(syncAll()), "syncAll", {}, {}, 'A'},
        {DOES(usbInit()), "usbInit", {}, {}},
        {RETURNS(CheckUpdateCli()), "CheckUpdateCli", {}, false},
        {RETURNS(recover_pam()), "recover_pam", {}, false},
        {DOES(Init()), "Init", {}, {}, 'B', "call Init result: failed!"},
        {DOES(post_equipment_setting(a, b, c, 4, 5)), "post_equipment_setting", {a, b, c, 4, 5}},
        {DOES(set_salt_minion(a, b)), "set_salt_minion", {a, b}, {}, 'B', "set_salt_minion failed!"},
        {DOES(sync("ssh", "1")), "sync", {QString("ssh"), QString("1")}, {}},
        {DOES(sendWebSet("{\"sender\":1}")), "sendWebSet", {QString("{\"sender\":1}")}, {}},
        {DOES(addSystem(3)), "addSystem", {3}, {}},
        {DOES(setHeartBeat(300)), "setHeartBeat", {300}, {}, 'E', "setHeartBeat timeout(300) result(failed)!"},
        {DOES(updateConfig(a, b)), "UpdateConfig", {a, b}, {}, 'E', "update config key(alpha) value(bravo) result(failed)!"},
        {DOES(RecordEvent(ADD_DOMAIN_FAILED, a)), "RecordEvent", {3, a}, {}, 'E',
         "RecordEvent actionType(3) value(alpha) result(failed)!"},
        {DOES(getUserInfo(a)), "getUserInfo", {a}, {}, 'E'},
        {DOES(InstallRequest("task-9", 1)), "InstallRequest", {QString("task-9"), 1}, {}, 'E'},
        {RETURNS(add_windows_domain(a, b, c, e)), "add_windows_domain", {a, b, c, e}, false, 'E'},
        {RETURNS(execLogin(a, b)), "execLogin", {a, b}, false, 'E'},
        {RETURNS(modify_resolv_config(a)), "modify_resolv_config", {a}, false, 'E'},
        {RETURNS(get_domain_info(a, b)), "get_domain_info", {a, b}, no},
        {RETURNS(add_domain(a, b, c, e)), "add_domain", {a, b, c, e}, no},
        {RETURNS(add_domain3(a, b, c, e)), "add_domain3", {a, b, c, e}, no, 'E'},
        {RETURNS(get_add_domain_status(a, b)), "get_add_domain_status", {a, b}, no},
        {RETURNS(get_hostname(a)), "get_hostname", {a}, no},
        {RETURNS(modify_pwd(a, b, c)), "modify_password", {a, b, c}, no},
        {DOES(modify_lpwd(a)), "modify_localpassword", {a}, {}, 'B', "control lpwd none", "s"},
        {RETURNS(GetEventRecord(a)), "GetEventRecord", {a}, no, 'E', "failed to GetEventRecord"},
        {RETURNS(policy_info(a, b, c)), "policy_info", {a, b, c}, QByteArray()},
        {RETURNS(run_pre_add_domain(a)), "run_pre_add_domain", {a}, 1, 'E'},
    };
}

// An answer of the method's own type that differs from the fallback.
QVariant sample(const QString &signature)
{
    static const QMap<QString, QVariant> samples{{"b", true}, {"i", 7}, {"s", "answer"},
                                                 {"as", QStringList{"e1", "e2"}}, {"ay", QByteArray("{}")}};
    return samples.value(signature);
}
// Arguments of a daemon signal (its types are b, s and i), its own or a forger's.
QVariantList signalArgs(const QString &signature, bool forged)
{
    QVariantList args;
    for (const QChar type : signature)
        args << (type == 'b' ? QVariant(!forged) : type == 'i' ? QVariant(forged ? 1 : 120)
                                                               : QVariant(QString(forged ? "伪造" : "任务 %1").arg(args.size())));
    return args;
}
// The proxy's Qt signal that relays a daemon signal: the same name and parameter types.
QByteArray relayOf(const QString &name, const QVariantList &args)
{
    QStringList types;
    for (const QVariant &arg : args)
        types << arg.typeName();
    return QString("%1(%2)").arg(name, types.join(',')).toLatin1();
}
QDBusAbstractInterface *proxyOf(const QString &path)
{
    for (QDBusAbstractInterface *proxy : d()->findChildren<QDBusAbstractInterface *>())
        if (proxy->path() == path)
            return proxy;
    return nullptr;
}

QStringList messages;
QtMessageHandler previousHandler = nullptr;
bool logged(const QString &text) { return messages.join('\n').contains(text); }

QStringList describe(const QString &who, const QList<MockCall> &calls)
{
    QStringList described;
    for (const MockCall &call : calls) {
        QStringList args;
        for (const QVariant &arg : call.args)
            args << arg.toString();
        described << QString("%1 %2(%3)").arg(who, call.method, args.join(", "));
    }
    return described;
}

// What a session client of the agent sees of its notices.
class Notices : public QObject
{
    Q_OBJECT
public:
    QStringList seen;
public slots:
    void onNotice(const QString &text, int time) { seen << QString("agent requestShowNotify(%1, %2)").arg(text).arg(time); }
};
}  // namespace

using Action = std::function<void()>;
Q_DECLARE_METATYPE(Row)
Q_DECLARE_METATYPE(Action)

class TestDaemon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void contract();
    void calls_data();
    void calls();
    void relays_data();
    void relays();
    void startup_data();
    void startup();
    void controls_data();
    void controls();

private:
    std::unique_ptr<Fixture> m_fixture;
    std::unique_ptr<DBusMock> m_forger;  // another service of the system bus
    Notices m_notices;
};

void TestDaemon::initTestCase()
{
    previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        messages << text.simplified();
        previousHandler(type, context, text);
    });
    // The proxy is made while no daemon is on the bus: it is there at once and answers "offline";
    // the daemon's signals reach it all the same once the daemon has come (the relay rows).
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(d()->is_domain_online(), false);
    QVERIFY(clock.elapsed() < 5000);

    m_fixture.reset(new Fixture(Fixture::Daemon | Fixture::Logind | Fixture::Accounts | Fixture::DesktopShell, true));
    m_forger.reset(DBusMock::bare("com.kiv.forger", AgentPath, "com.kiv.domain.agent", DBusMock::SystemBus));
    QVERIFY(m_forger->isRunning());
    m_forger->addObject(AgentPath, TaskPath, "com.domain.taskmanager");
    for (int i = 0; i < Users.size(); ++i)
        m_fixture->accounts().mock("/org/freedesktop/Accounts", "AddUser", {quint64(1000 + i), QString("user%1").arg(i)});
    QVERIFY(QDBusConnection::sessionBus().connect(TestEnv::AgentService, TestEnv::AgentPath, TestEnv::AgentInterface,
                                                  "requestShowNotify", &m_notices, SLOT(onNotice(QString, int))));
}

void TestDaemon::init()
{
    if (!m_fixture->daemon().isRunning())  // a row that failed before it brought the daemon back
        m_fixture->restart(Fixture::Daemon);
    m_fixture->stopAgent();
    m_fixture->reset();
    messages.clear();
    m_notices.seen.clear();
}

// ---- the catalogue and the relays, held to the daemon's contract

void TestDaemon::contract()
{
    const QMap<QString, Member> methods = ::contract("method"), daemonSignals = ::contract("signal");
    QStringList rows;
    for (const Row &row : ::catalogue()) {
        rows << row.method;
        QVERIFY2(methods.contains(row.method), qPrintable(row.method));
        QCOMPARE(signatureOf(row.args), methods[row.method].in);
        QCOMPARE(signatureOf({row.fallback}) + row.unusedReply, methods[row.method].out);
    }
    rows.sort();
    QCOMPARE(rows, methods.keys());  // every method of the contract has its row
    for (auto signal = daemonSignals.begin(); signal != daemonSignals.end(); ++signal)
        QVERIFY2(dbus::staticMetaObject.indexOfSignal(relayOf(signal.key(), signalArgs(signal->in, false))) >= 0,
                 qPrintable(signal.key()));
}

void TestDaemon::calls_data()
{
    QTest::addColumn<Row>("row");
    QTest::addColumn<QString>("fault");  // "": the daemon answers
    for (const Row &row : ::catalogue()) {
        QStringList faults{""};
        if (row.mode != 'A')  // an asynchronous call has no answer to fail
            faults << "error";
        if (row.fallback.isValid())
            faults << "wrong type" << "no value";
        // Time-outs and a daemon that goes away, for a blocking and an event-loop call.
        if (row.method == "is_domain_online" || row.method == "setHeartBeat")
            faults << "time-out" << "vanishes";
        if (row.method == "is_domain_online")
            faults << "stopped";
        for (const QString &fault : faults)
            QTest::addRow("%s %s", qPrintable(row.method), fault.isEmpty() ? "answers" : qPrintable(fault)) << row << fault;
    }
}

void TestDaemon::calls()
{
    QFETCH(Row, row);
    QFETCH(QString, fault);
    Fixture &f = *m_fixture;
    const Member member = ::contract("method").value(row.method);
    const QVariant answer = sample(member.out);
    // General requests may take a minute; the other interfaces keep the bus default. A time-out
    // row shortens the minute so that it need not wait it out.
    QDBusAbstractInterface *proxy = proxyOf(member.path);
    QCOMPARE(proxy->timeout(), member.interface == "com.kiv.domain.agent" ? 60000 : -1);
    const auto restore = qScopeGuard([proxy, was = proxy->timeout()] { proxy->setTimeout(was); });
    const double delay = fault == "time-out" ? 3 : row.mode == 'A' ? 1 : 0.3;
    if (fault.isEmpty() || fault == "time-out")
        f.daemonDelay(row.method, delay);
    if (fault.isEmpty() && answer.isValid())
        f.daemonReply(row.method, member.out, answer);
    if (fault == "time-out")
        proxy->setTimeout(500);
    if (fault == "error")
        f.daemonError(row.method, "com.kiv.domain.Error.Failed");
    if (fault == "wrong type")
        f.daemonReply(row.method, member.out == "s" ? "b" : "s", member.out == "s" ? QVariant(true) : QVariant("answer"));
    if (fault == "no value")
        f.daemonReply(row.method, "", QString());
    if (fault == "vanishes")
        f.daemon().mock(AgentPath, "SetVanish", {row.method});
    if (fault == "stopped")
        f.daemon().stop();

    QTimer timer;
    bool served = false;
    connect(&timer, &QTimer::timeout, [&served] { served = true; });
    timer.start(0);
    QElapsedTimer clock;
    clock.start();
    const QVariant result = row.op();
    const qint64 ms = clock.elapsed();

    QCOMPARE(typed({result}), typed({fault.isEmpty() && row.fallback.isValid() ? answer : row.fallback}));
    if (row.mode != 'E' || fault.isEmpty() || fault == "time-out")  // the daemon took its time
        QCOMPARE(served, row.mode == 'E');  // only an event-loop call serves events while it waits
    QVERIFY(row.failureLine.isEmpty() || logged(row.failureLine) == !fault.isEmpty());
    if (fault.isEmpty())  // waits for the answer; an asynchronous call returns before it
        QVERIFY2(row.mode == 'A' ? ms < delay * 1000 : ms >= delay * 1000 - 50, qPrintable(QString::number(ms)));
    else
        QVERIFY2(fault == "time-out" ? ms >= 450 && ms < 2500 : ms < 5000, qPrintable(QString::number(ms)));
    if (fault == "vanishes" || fault == "stopped") {
        QVERIFY(TestEnv::waitFor([&] { return !f.daemon().isRunning(); }));
        f.restart(Fixture::Daemon);
        // The daemon's new connection answers the calls and its signals are relayed.
        QSignalSpy progress(d(), &dbus::ShowProgress);
        f.daemonSignal(TaskPath, "ShowProgress", "ss", {"t-4", "after"});
        QVERIFY(progress.wait(5000));
        QCOMPARE(d()->is_domain_online(), true);
        return;
    }
    QList<QVariantList> calls;
    QVERIFY(TestEnv::waitFor([&] { return !(calls = f.daemon().callsOf(member.path, row.method)).isEmpty(); }));
    QCOMPARE(calls.size(), 1);  // once, never retried
    QCOMPARE(typed(calls.first()), typed(row.args));
}

// ---- the daemon's signals: relayed from the daemon, from nobody else

void TestDaemon::relays_data()
{
    QTest::addColumn<QString>("line");  // logged before the relay
    const QMap<QString, QString> lines{{"addDomainStatus", "handAddDomainStatus: receive signal addDomainStatus"},
                                       {"smsStatus", "onSMSStatus: receive signal smsStatus"}};
    for (const QString &name : ::contract("signal").keys())
        QTest::newRow(qPrintable(name)) << lines.value(name);
}

void TestDaemon::relays()
{
    QFETCH(QString, line);
    const QString name = QTest::currentDataTag();
    const Member member = ::contract("signal").value(name);
    const QVariantList args = signalArgs(member.in, false), forged = signalArgs(member.in, true);

    QSignalSpy spy(d(), "2" + relayOf(name, args));  // as SIGNAL() names it
    // Only the owner of "com.kiv.domain" speaks for the daemon: neither a plain connection nor
    // another service may start a reboot, an install prompt or a log-in report. Both forgeries
    // are on the bus before the daemon's own signal, so a relayed one would come first.
    Fixture::forgeSignal(member.path, member.interface, name, forged);
    m_forger->emitSignal(member.path, member.interface, name, member.in, forged);
    m_fixture->daemonSignal(member.path, name, member.in, args);
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(typed(spy.first()), typed(args));
    QVERIFY(line.isEmpty() || logged(line));
}

// ---- the real agent at start: USB handling, then the heartbeat period

void TestDaemon::startup_data()
{
    QTest::addColumn<QString>("seconds");  // "init/heartbeat"
    QTest::addColumn<int>("ms");           // 0: no daemon on the bus
    QTest::newRow("configured period") << "30" << 30000;
    // 2147484 s is the first period whose milliseconds pass an int: held, never wrapped negative.
    QTest::newRow("period past an int of ms") << "2147484" << 2147483647;
    QTest::newRow("daemon absent") << "" << 0;
}

void TestDaemon::startup()
{
    QFETCH(QString, seconds);
    QFETCH(int, ms);
    Fixture &f = *m_fixture;
    if (!ms)
        f.daemon().stop();
    QVERIFY(f.startAgent(("[init]\nadd_domain_success=true\nheartbeat=" + seconds + "\n").toUtf8()));
    if (!ms) {  // the agent goes on without its daemon
        QVERIFY2(f.root().waitForLog("setHeartBeat timeout(10000) result(failed)!"), qPrintable(f.root().logText()));
        QVERIFY(sessionNameOwned());
        f.restart(Fixture::Daemon);
        return;
    }
    const QRegularExpression startupCalls("^daemon (usbInit|setHeartBeat)\\(");
    QStringList sent;
    QVERIFY(TestEnv::waitFor([&] {
        return (sent = describe("daemon", f.daemon().calls(AgentPath)).filter(startupCalls)).size() >= 2;
    }));
    QCOMPARE(sent, (QStringList{"daemon usbInit()", QString("daemon setHeartBeat(%1)").arg(ms)}));
}

// ---- desktop and session controls, seen from their stand-ins

void TestDaemon::controls_data()
{
    QTest::addColumn<Action>("op");
    QTest::addColumn<QString>("peer");  // "logind" or "shell": refuses the call; "agent": runs
    QTest::addColumn<QString>("calls");
    QTest::addColumn<QString>("warning");
    const auto row = [](const char *name, const Action &op, const char *peer, const QString &calls, const char *warning) {
        QTest::newRow(name) << op << QString(peer) << calls << QString(warning);
    };
    // A power action lifts the lock-down (the task view comes back) whatever follows.
    const QString on = "; shell AppSwitcherSetEnable(true)", off = "shell AppSwitcherSetEnable(false)";
    row("power off", [] { d()->system_control(0); }, "", "logind PowerOff(true)" + on, "");
    row("reboot", [] { d()->system_control(1); }, "", "logind Reboot(true)" + on, "");
    row("other mode", [] { d()->system_control(2); }, "", on.mid(2), "");
    row("reboot refused", [] { d()->system_control(1); }, "logind", "logind Reboot(true)" + on, "call Reboot error:");
    row("task view hidden", [] { d()->setTaskViewVisible(false); }, "", off, "");
    row("task view, answer without boolean", [] { d()->setTaskViewVisible(false); }, "shell", off,
        "call AppSwitcherSetEnable error:");
    row("notice", [] { d()->showNotify("终端未加入域", 7); }, "agent", "agent requestShowNotify(终端未加入域, 7)", "");
    row("notice, no agent", [] { d()->showNotify("终端未加入域", 7); }, "", "", "call showNotify error:");
    row("automatic log-in off", [] { d()->cancelAutoLogin(); }, "",
        "accounts SetAutomaticLogin(false); accounts SetAutomaticLogin(false)", "");
}

void TestDaemon::controls()
{
    QFETCH(Action, op);
    QFETCH(QString, peer);
    QFETCH(QString, calls);
    QFETCH(QString, warning);
    Fixture &f = *m_fixture;
    if (peer == "logind")
        f.logind().addMethod("/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Reboot", "b", "",
                             "raise dbus.exceptions.DBusException('refused', name='org.freedesktop.login1.Refused')");
    if (peer == "shell")
        f.desktopShell().addMethod("/org/freedesktop/Desktop", "", "AppSwitcherSetEnable", "b", "s", "ret = 'done'");
    QVERIFY(peer != "agent" || f.startAgent("[init]\nadd_domain_success=true\n"));

    op();

    QStringList seen = describe("logind", f.logind().calls("/org/freedesktop/login1")) +
                       describe("shell", f.desktopShell().calls("/org/freedesktop/Desktop"));
    for (const QString &user : Users) {
        seen += describe("accounts", f.accounts().calls(user));
        f.accounts().clearCalls(user);
    }
    TestEnv::waitFor([&] { return !m_notices.seen.isEmpty(); }, peer == "agent" ? 5000 : 0);
    QCOMPARE((seen + m_notices.seen).join("; "), calls);
    QVERIFY2(warning.isEmpty() ? !logged(" error:") : logged(warning), qPrintable(messages.join('\n')));
    if (peer == "logind")
        f.restart(Fixture::Logind);
    if (peer == "shell")
        f.restart(Fixture::DesktopShell);
}

QTEST_MAIN(TestDaemon)
#include "tst_daemon.moc"

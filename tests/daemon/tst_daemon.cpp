// The daemon proxy against a stand-in serving its contract (daemon/com.kiv.domain.xml): each call and relayed signal,
// what each side gets, fallbacks, forgers, time-outs, a daemon that goes away; desktop controls and the agent's start.
#include <QtTest>

#include <QDomDocument>

#include "domaindbusinterface.h"
#include "fixture.h"

namespace {
const QStringList Users = {"/org/freedesktop/Accounts/User1000", "/org/freedesktop/Accounts/User1001"};

struct Member { QString path, interface, in, out; };  // method or signal: object, interface, in and out signatures
QMap<QString, Member> contract(const QString &kind)  // "method" or "signal"
{
    QFile file(TestEnv::sourceDir() + "/daemon/com.kiv.domain.xml");
    QDomDocument xml;
    if (!file.open(QIODevice::ReadOnly) || !xml.setContent(&file))
        qFatal("the daemon's contract is not readable");
    QMap<QString, Member> members;
    const QDomNodeList elements = xml.elementsByTagName(kind);
    for (int i = 0; i < elements.size(); ++i) {
        const QDomElement e = elements.at(i).toElement(), interface = e.parentNode().toElement();
        if (interface.attribute("name") == "com.domain.remoteassist")
            continue;  // remote assistance's own proxy, tested with it
        Member &m = members[e.attribute("name")];
        m = {"/com/domain/" + interface.parentNode().toElement().attribute("name"), interface.attribute("name"), {}, {}};
        for (QDomElement arg = e.firstChildElement("arg"); !arg.isNull(); arg = arg.nextSiblingElement("arg"))
            (arg.attribute("direction") == "out" ? m.out : m.in) += arg.attribute("type");
    }
    return members;
}

template <typename T> QString typed(const T &values)  // with their types: an int sent as a long or a string shows
{
    QString text;
    QDebug(&text) << values;
    return text;
}

// One operation of the catalogue: the call, the daemon method, the arguments as the daemon must receive them, the value
// returned on failure (invalid: none), the mode (E serves events while it waits, A returns at once), the failure's log.
struct Row {
    std::function<QVariant()> op;
    QString method;
    QVariantList args;
    QVariant fallback;
    char mode = 'E';
    QString failureLine;
};
dbus *d() { return dbus::instance(); }
#define RETURNS(call) [=] { return QVariant(QCoro::waitFor(d()->call)); }
#define DOES(call) [=] { QCoro::waitFor(d()->call); return QVariant(); }

QList<Row> catalogue()
{
    const QString a = "alpha", b = "bravo", c = "charlie", e = "echo", no;
    return {
        {DOES(set_process_restart()), "set_process_restart", {}, {}},
        {DOES(clear_rc()), "clear_rc_deb", {}, {}},
        {RETURNS(is_domain_online()), "is_domain_online", {}, false},
        {RETURNS(get_domain_user_prefix()), "get_domain_user_prefix", {}, no},
        {RETURNS(GetAllEvents()), "GetAllEvents", {}, QStringList(), 'E', "failed to GetAllEvents"},
        {[] { d()->syncAll(); return QVariant(); }, "syncAll", {}, {}, 'A'},
        {DOES(usbInit()), "usbInit", {}, {}},
        {RETURNS(CheckUpdateCli()), "CheckUpdateCli", {}, false},
        {RETURNS(recover_pam()), "recover_pam", {}, false},
        {DOES(Init()), "Init", {}, {}, 'E', "call Init result: failed!"},
        {DOES(post_equipment_setting(a, b, c, 4, 5)), "post_equipment_setting", {a, b, c, 4, 5}},
        {DOES(set_salt_minion(a, b)), "set_salt_minion", {a, b}, {}, 'E', "set_salt_minion failed!"},
        {DOES(sync("ssh", "1")), "sync", {QString("ssh"), QString("1")}, {}},
        {DOES(sendWebSet("{\"sender\":1}")), "sendWebSet", {QString("{\"sender\":1}")}, {}},
        {DOES(addSystem(3)), "addSystem", {3}, {}},
        {DOES(setHeartBeat(300)), "setHeartBeat", {300}, {}, 'E', "setHeartBeat timeout(300) result(failed)!"},
        {DOES(updateConfig(a, b)), "UpdateConfig", {a, b}, {}, 'E',
         "update config key(alpha) value(bravo) result(failed)!"},
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
        {DOES(modify_lpwd(a)), "modify_localpassword", {a}, {}, 'E', "control lpwd none"},  // its reply is not passed on
        {RETURNS(GetEventRecord(a)), "GetEventRecord", {a}, no, 'E', "failed to GetEventRecord"},
        {RETURNS(policy_info(a, b, c)), "policy_info", {a, b, c}, QByteArray()},
        {RETURNS(run_pre_add_domain(a)), "run_pre_add_domain", {a}, 1, 'E'},
    };
}

// For each reply signature, an answer that differs from the fallback.
const QMap<QString, QVariant> Samples{{"b", true}, {"i", 7}, {"s", "s1"}, {"as", QStringList{"e1"}}, {"ay", QByteArray("{}")}};
QVariantList signalArgs(const QString &signature, bool forged)  // types b, s and i; the daemon's or a forger's
{
    QVariantList args;
    for (const QChar type : signature)
        args << (type == 'b' ? QVariant(!forged) : type == 'i' ? QVariant(forged ? 1 : 120)
                                                               : QVariant(QString(forged ? "伪造" : "任务 %1").arg(args.size())));
    return args;
}

QStringList messages;
QtMessageHandler previousHandler = nullptr;
bool logged(const QString &text) { return messages.join('\n').contains(text); }
}  // namespace

using Action = std::function<void()>;
Q_DECLARE_METATYPE(Row)
Q_DECLARE_METATYPE(Action)

class TestDaemon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            messages << text.simplified();
            previousHandler(type, context, text);
        });
        const QDeadlineTimer limit(5000);  // made daemon-less, the proxy answers "offline" at once and relays later
        QCOMPARE(QCoro::waitFor(d()->is_domain_online()), false);
        QVERIFY(!limit.hasExpired());

        // Every method of the contract has its row (the stand-in refuses other signatures; replies are of its types).
        QStringList rows;
        std::ranges::transform(catalogue(), std::back_inserter(rows), &Row::method);
        rows.sort();
        QCOMPARE(rows, contract("method").keys());

        m_fixture.reset(new Fixture(Fixture::Daemon | Fixture::Logind | Fixture::Accounts | Fixture::DesktopShell, true));
        for (int i = 0; i < Users.size(); ++i)
            m_fixture->accounts().mock("/org/freedesktop/Accounts", "AddUser", {quint64(1000 + i), QString("user%1").arg(i)});
        QVERIFY(QDBusConnection::sessionBus().connect(TestEnv::AgentService, TestEnv::AgentPath, TestEnv::AgentInterface,
                                                      "requestShowNotify", this, SLOT(onNotice(QString, int))));
    }

    void init()
    {
        if (!m_fixture->daemon().isRunning())  // a row that failed before it brought the daemon back
            m_fixture->restart(Fixture::Daemon);
        for (const QString &user : Users)
            m_fixture->accounts().clearCalls(user);
        m_fixture->stopAgent();
        m_fixture->reset();
        messages.clear();
        m_notices.clear();
    }

    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void calls_data()
    {
        QTest::addColumn<Row>("row");
        QTest::addColumn<QString>("fault");  // "": the daemon answers
        for (const Row &row : ::catalogue()) {
            QStringList faults{""};
            if (row.mode != 'A')  // an asynchronous call has no answer to fail
                faults << "error";
            if (row.fallback.isValid())
                faults << "wrong type" << "no value";
            if (row.method == "is_domain_online" || row.method == "setHeartBeat")  // a blocking and an event-loop call
                faults << "time-out" << "vanishes";
            for (const QString &fault : faults)
                QTest::addRow("%s %s", qPrintable(row.method), fault.isEmpty() ? "answers" : qPrintable(fault)) << row << fault;
        }
    }

    void calls()
    {
        QFETCH(Row, row);
        QFETCH(QString, fault);
        Fixture &f = *m_fixture;
        const Member member = ::contract("method").value(row.method);
        const QVariant answer = Samples.value(member.out);
        // General requests may take a minute, other interfaces the bus default; a time-out row shortens the minute.
        const auto proxies = d()->findChildren<QDBusAbstractInterface *>();
        QDBusAbstractInterface *proxy = *std::ranges::find(proxies, member.path, &QDBusAbstractInterface::path);
        QCOMPARE(proxy->timeout(), member.interface == "com.kiv.domain.agent" ? 60000 : -1);
        const auto restore = qScopeGuard([proxy, was = proxy->timeout()] { proxy->setTimeout(was); });
        proxy->setTimeout(fault == "time-out" ? 500 : proxy->timeout());
        const double delay = fault == "time-out" ? 3 : row.mode == 'A' ? 1 : 0.3;
        if (fault.isEmpty() || fault == "time-out")
            f.daemonDelay(row.method, delay);
        if (fault.isEmpty() && answer.isValid())
            f.daemonReply(row.method, member.out, answer);
        if (fault == "error")
            f.daemonError(row.method, "com.kiv.domain.Error.Failed");
        if (fault == "wrong type")
            f.daemonReply(row.method, member.out == "s" ? "b" : "s", member.out == "s" ? QVariant(true) : QVariant("answer"));
        if (fault == "no value")
            f.daemonReply(row.method, "", QString());
        if (fault == "vanishes")
            f.daemon().mock(TestEnv::AgentPath, "SetVanish", {row.method});

        QTimer timer;
        QSignalSpy served(&timer, &QTimer::timeout);
        timer.start(0);
        QElapsedTimer clock;
        clock.start();
        const QVariant result = row.op();
        const qint64 ms = clock.elapsed();

        QCOMPARE(typed(result), typed(fault.isEmpty() && row.fallback.isValid() ? answer : row.fallback));
        if (row.mode != 'E' || fault.isEmpty() || fault == "time-out")  // the daemon took its time
            QCOMPARE(!served.isEmpty(), row.mode == 'E');  // only an event-loop call serves events while it waits
        QVERIFY(row.failureLine.isEmpty() || logged(row.failureLine) == !fault.isEmpty());
        if (fault.isEmpty())  // waits for the answer; an asynchronous call returns before it
            QVERIFY2(row.mode == 'A' ? ms < delay * 1000 : ms >= delay * 1000 - 50, qPrintable(QString::number(ms)));
        else
            QVERIFY2(fault == "time-out" ? ms >= 450 && ms < 2500 : ms < 5000, qPrintable(QString::number(ms)));
        if (fault == "vanishes") {  // the rows after it are served by the daemon's new connection
            QVERIFY(TestEnv::waitFor([&] { return !f.daemon().isRunning(); }));
            f.restart(Fixture::Daemon);
        } else {  // once, never retried, with the arguments' own types
            QTRY_COMPARE_WITH_TIMEOUT(typed(f.daemon().callsOf(member.path, row.method)),
                                      typed(QList<QVariantList>{row.args}), 5000);
        }
    }

    void relays_data()
    {
        QTest::addColumn<QString>("line");  // logged before the relay
        const QMap<QString, QString> lines{{"addDomainStatus", "handAddDomainStatus: receive signal addDomainStatus"},
                                           {"smsStatus", "onSMSStatus: receive signal smsStatus"}};
        for (const QString &name : ::contract("signal").keys())
            QTest::newRow(qPrintable(name)) << lines.value(name);
    }

    void relays()
    {
        QFETCH(QString, line);
        const QString name = QTest::currentDataTag();
        const Member member = ::contract("signal").value(name);
        const QVariantList args = signalArgs(member.in, false), forged = signalArgs(member.in, true);

        QStringList types;  // the proxy's Qt signal that relays it has the same name and parameter types
        std::ranges::transform(args, std::back_inserter(types), &QVariant::typeName);
        QSignalSpy spy(d(), QString("2%1(%2)").arg(name, types.join(',')).toLatin1());  // "2": as SIGNAL() names it
        // Only "com.kiv.domain"'s owner may signal a reboot, an install or a log-in report; the forgery is sent first.
        Fixture::forgeSignal(member.path, member.interface, name, forged);
        m_fixture->daemonSignal(member.path, name, member.in, args);
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.size(), 1);
        QCOMPARE(typed(spy.first()), typed(args));
        QVERIFY(line.isEmpty() || logged(line));
    }

    void controls_data()
    {
        QTest::addColumn<Action>("op");
        QTest::addColumn<QString>("peer");  // "logind" or "shell": refuses the call; "daemon": absent
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QString>("warning");  // of this process, or of the agent
        const auto row = [](const char *name, const Action &op, const char *peer, const QString &calls, const char *warning) {
            QTest::newRow(name) << op << QString(peer) << calls << QString(warning);
        };
        const auto startAgent = [this](const QByteArray &heartbeat) {
            QVERIFY(m_fixture->startAgent("[init]\nadd_domain_success=true\nheartbeat=" + heartbeat + "\n"));
        };
        // A power action lifts the lock-down (the task view comes back) whatever follows.
        const QString on = "; shell AppSwitcherSetEnable(true)", off = "shell AppSwitcherSetEnable(false)";
        row("power off", DOES(system_control(0)), "", "logind PowerOff(true)" + on, "");
        row("reboot refused", DOES(system_control(1)), "logind", "logind Reboot(true)" + on, "call Reboot error:");
        row("other mode", DOES(system_control(2)), "", on.mid(2), "");
        row("task view hidden", DOES(setTaskViewVisible(false)), "", off, "");
        row("task view, answer without boolean", DOES(setTaskViewVisible(false)), "shell", off,
            "call AppSwitcherSetEnable error:");
        row("notice, no agent", DOES(showNotify("终端未加入域", 7)), "", "", "call showNotify error:");
        row("automatic log-in off", DOES(cancelAutoLogin()), "",
            "accounts SetAutomaticLogin(false); accounts SetAutomaticLogin(false)", "");
        // At start the agent has the daemon set USB up, then tells it the heartbeat period: the default, or 2147484 s,
        // the first period whose milliseconds pass an int (held, never wrapped negative).
        const QString started = "daemon usbInit(); daemon setHeartBeat(%1)";
        row("notice through the agent", [startAgent] { startAgent(""); QCoro::waitFor(d()->showNotify("终端未加入域", 7)); }, "",
            started.arg(10000) + "; agent requestShowNotify(终端未加入域, 7)", "");
        row("period past an int of ms", [startAgent] { startAgent("2147484"); }, "", started.arg(2147483647), "");
        row("daemon absent", [startAgent] { startAgent(""); }, "daemon", "", "setHeartBeat timeout(10000) result(failed)!");
    }

    void controls()
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
        if (peer == "daemon")
            f.daemon().stop();

        op();

        const auto seen = [&] {
            QStringList seen;
            const auto describe = [&seen](const QString &who, const DBusMock &mock, const QString &path) {
                for (const MockCall &call : mock.calls(path))
                    seen << QString("%1 %2(%3)").arg(who, call.method, QVariant(call.args).toStringList().join(", "));
            };
            describe("daemon", f.daemon(), TestEnv::AgentPath);
            seen = seen.filter(QRegularExpression("(usbInit|setHeartBeat)\\("));  // of the daemon, the agent's start
            describe("logind", f.logind(), "/org/freedesktop/login1");
            describe("shell", f.desktopShell(), "/org/freedesktop/Desktop");
            for (const QString &user : Users)
                describe("accounts", f.accounts(), user);
            return (seen + m_notices).join("; ");
        };
        QTRY_COMPARE_WITH_TIMEOUT(seen(), calls, 10000);
        if (warning.isEmpty())
            QVERIFY2(!logged(" error:"), qPrintable(messages.join('\n')));
        else
            QVERIFY2(TestEnv::waitFor([&] { return logged(warning) || f.root().logText().contains(warning); }),
                     qPrintable(warning));
        QVERIFY(peer != "daemon" || sessionNameOwned());  // the agent goes on without its daemon
        if (!peer.isEmpty())  // undoes what the row did to the stand-in
            f.restart(peer == "logind" ? Fixture::Logind : peer == "shell" ? Fixture::DesktopShell : Fixture::Daemon);
    }

public slots:  // not a test: what a session client of the agent sees of its notices
    void onNotice(const QString &text, int ms) { m_notices << QString("agent requestShowNotify(%1, %2)").arg(text).arg(ms); }

private:
    std::unique_ptr<Fixture> m_fixture;
    QStringList m_notices;
};

QTEST_MAIN(TestDaemon)
#include "tst_daemon.moc"

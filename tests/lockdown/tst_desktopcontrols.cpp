// The daemon proxy's controls that go to other desktop services, seen from their stand-ins:
// logind's power actions after the lock-down is lifted, the shell's application switcher, the
// agent's own notice method and automatic log-in on AccountsService.
#include <QtTest>

#include <QDBusInterface>
#include <QDBusReply>
#include <QGSettings/QGSettings>

#include <memory>

#include "dbusmock.h"
#include "domaindbusinterface.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "testenv.h"

namespace {
const QString LogindPath = QStringLiteral("/org/freedesktop/login1");
const QString DesktopName = QStringLiteral("org.freedesktop.Desktop");
const QString DesktopPath = QStringLiteral("/org/freedesktop/Desktop");
using TestEnv::AgentService;
using TestEnv::AgentInterface;
using TestEnv::AgentPath;

// A tagged line of the "dbus" category: "[operation:line] message".
QRegularExpression tagged(const QString &level, const QString &operation, const QString &message)
{
    return QRegularExpression(QString(R"(\[%1\]\[dbus\] \[%2:\d+\] %3)")
                                  .arg(level, operation, QRegularExpression::escape(message)));
}
}  // namespace

class TestDesktopControls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void powerActionLiftsTheLockDownFirst_data();
    void powerActionLiftsTheLockDownFirst();
    void taskViewSendsTheFlag_data();
    void taskViewSendsTheFlag();
    void taskViewReplyWithoutBooleanIsAFailure();
    void noticeGoesToTheSessionService();
    void automaticLoginIsCancelledForEveryUser_data();
    void automaticLoginIsCancelledForEveryUser();
    void absentServicesAreLogged();

private:
    bool logMatches(const QRegularExpression &pattern) const
    {
        return TestEnv::waitFor([&] { return pattern.match(m_root->logText()).hasMatch(); }, 5000);
    }
    QList<bool> taskViewCalls() const;

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DBusMock> m_logind;
    std::unique_ptr<DBusMock> m_desktop;
    std::unique_ptr<DBusMock> m_agent;
};

void TestDesktopControls::initTestCase()
{
    m_root = std::make_unique<TestEnv::TempRoot>();
    Log::GetInstance()->setLogPath(Paths::logFile());
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);

    m_logind.reset(DBusMock::fromTemplate("logind", DBusMock::SystemBus));
    QVERIFY(m_logind->isRunning());
    m_desktop.reset(DBusMock::bare(DesktopName, DesktopPath, DesktopName, DBusMock::SessionBus));
    QVERIFY(m_desktop->isRunning());
    m_desktop->addMethod(DesktopPath, DesktopName, "AppSwitcherSetEnable", "b", "b", "ret = True");
    m_agent.reset(DBusMock::bare(AgentService, AgentPath, AgentInterface, DBusMock::SessionBus));
    QVERIFY(m_agent->isRunning());
    m_agent->addMethod(AgentPath, AgentInterface, "showNotify", "si", "", "");
}

void TestDesktopControls::cleanupTestCase()
{
    m_logind.reset();
    m_desktop.reset();
    m_agent.reset();
}

void TestDesktopControls::init()
{
    for (DBusMock *mock : {m_logind.get(), m_desktop.get(), m_agent.get()}) {
        if (mock->isRunning())
            mock->clearCalls(mock == m_logind.get() ? LogindPath : mock == m_desktop.get() ? DesktopPath : AgentPath);
    }
}

QList<bool> TestDesktopControls::taskViewCalls() const
{
    QList<bool> values;
    for (const QVariantList &args : m_desktop->callsOf(DesktopPath, "AppSwitcherSetEnable"))
        values << args.value(0).toBool();
    return values;
}

void TestDesktopControls::powerActionLiftsTheLockDownFirst_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("method");
    QTest::newRow("0 powers off") << 0 << "PowerOff";
    QTest::newRow("1 reboots") << 1 << "Reboot";
    QTest::newRow("2 calls nothing") << 2 << "";
    QTest::newRow("-1 calls nothing") << -1 << "";
}

void TestDesktopControls::powerActionLiftsTheLockDownFirst()
{
    QFETCH(int, mode);
    QFETCH(QString, method);

    QGSettings media("org.qoro.settings-daemon.plugins.media-keys");
    media.set("terminal", QString("[]"));
    QGSettings workspaces("org.qoro.desktop.wm.keybindings");
    workspaces.set("switch-to-workspace-up", QStringList());

    dbus::instance()->system_control(mode);

    QCOMPARE(media.get("terminal").toString(), QString("<Primary><Alt>t"));
    QCOMPARE(workspaces.get("switch-to-workspace-up").toStringList(), QStringList{"<Primary><Alt>Up"});
    QCOMPARE(taskViewCalls(), QList<bool>{true});
    QVERIFY(logMatches(tagged("Info", "system_control", "control model " + QString::number(mode))));

    QList<MockCall> power;
    for (const MockCall &call : m_logind->calls(LogindPath))
        if (call.method == "PowerOff" || call.method == "Reboot")
            power << call;
    if (method.isEmpty()) {
        QVERIFY(power.isEmpty());
    } else {
        QCOMPARE(power.size(), 1);
        QCOMPARE(power.first().method, method);
        QCOMPARE(power.first().args, QVariantList{true});
    }
    QVERIFY(!m_root->logText().contains(" error:"));
}

void TestDesktopControls::taskViewSendsTheFlag_data()
{
    QTest::addColumn<bool>("visible");
    QTest::newRow("hidden") << false;
    QTest::newRow("shown") << true;
}

void TestDesktopControls::taskViewSendsTheFlag()
{
    QFETCH(bool, visible);
    dbus::instance()->setTaskViewVisible(visible);
    QCOMPARE(taskViewCalls(), QList<bool>{visible});
    QVERIFY(logMatches(tagged("Info", "setTaskViewVisible", visible ? "true" : "false")));
    QVERIFY(!m_root->logText().contains("call AppSwitcherSetEnable error:"));
}

void TestDesktopControls::taskViewReplyWithoutBooleanIsAFailure()
{
    m_desktop->addMethod(DesktopPath, DesktopName, "AppSwitcherSetEnable", "b", "s", "ret = 'done'");
    dbus::instance()->setTaskViewVisible(false);
    m_desktop->addMethod(DesktopPath, DesktopName, "AppSwitcherSetEnable", "b", "b", "ret = True");
    QCOMPARE(taskViewCalls(), QList<bool>{false});
    QVERIFY(logMatches(tagged("Warning", "setTaskViewVisible", "call AppSwitcherSetEnable error:QDBusError(")));
}

void TestDesktopControls::noticeGoesToTheSessionService()
{
    dbus::instance()->showNotify("终端未加入域", 7);
    const QList<QVariantList> calls = m_agent->callsOf(AgentPath, "showNotify");
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first(), (QVariantList{QString("终端未加入域"), 7}));
    QVERIFY(logMatches(tagged("Info", "showNotify", "showNotify")));
    QVERIFY(!m_root->logText().contains("call showNotify error:"));
}

void TestDesktopControls::automaticLoginIsCancelledForEveryUser_data()
{
    QTest::addColumn<QString>("parameters");  // of the AccountsService stand-in; empty: absent
    QTest::addColumn<QStringList>("users");
    QTest::newRow("two users, one logs in automatically")
        << R"({"users": [[1000, "alice"], [1001, "bob"]], "automatic_login": 1000})"
        << QStringList{"/org/freedesktop/Accounts/User1000", "/org/freedesktop/Accounts/User1001"};
    QTest::newRow("no cached users") << R"({"users": []})" << QStringList();
    QTest::newRow("AccountsService absent") << "" << QStringList();
}

void TestDesktopControls::automaticLoginIsCancelledForEveryUser()
{
    QFETCH(QString, parameters);
    QFETCH(QStringList, users);

    std::unique_ptr<DBusMock> accounts;
    if (!parameters.isEmpty()) {
        accounts.reset(DBusMock::fromTemplate(TestEnv::simDir() + "/accountsservice.py", DBusMock::SystemBus,
                                              parameters));
        QVERIFY(accounts->isRunning());
    }
    const int before = m_root->countInLog(" call SetAutomaticLogin");

    dbus::instance()->cancelAutoLogin();

    QVERIFY(logMatches(tagged("Info", "cancelAutoLogin", QString::number(users.size()))));
    QCOMPARE(m_root->countInLog(" call SetAutomaticLogin"), before + users.size());
    for (const QString &path : users) {
        QCOMPARE(accounts->callsOf(path, "SetAutomaticLogin"), QList<QVariantList>{QVariantList{false}});
        QDBusInterface user("org.freedesktop.Accounts", path, "org.freedesktop.DBus.Properties",
                            QDBusConnection::systemBus());
        const QDBusReply<QDBusVariant> automatic =
            user.call("Get", "org.freedesktop.Accounts.User", "AutomaticLogin");
        QVERIFY(automatic.isValid());
        QCOMPARE(automatic.value().variant().toBool(), false);
        QVERIFY(logMatches(tagged("Info", "cancelAutoLogin", path + " call SetAutomaticLogin")));
    }
}

void TestDesktopControls::absentServicesAreLogged()
{
    m_logind->stop();
    m_desktop->stop();
    m_agent->stop();

    dbus::instance()->system_control(1);
    QVERIFY(logMatches(tagged("Warning", "setTaskViewVisible", "call AppSwitcherSetEnable error:")));
    QVERIFY(logMatches(tagged("Warning", "system_control", "call Reboot error:")));
    QVERIFY(m_root->logText().contains("org.freedesktop.DBus.Error.ServiceUnknown"));

    dbus::instance()->showNotify("text", 1);
    QVERIFY(logMatches(tagged("Warning", "showNotify", "call showNotify error:")));
}

QTEST_MAIN(TestDesktopControls)
#include "tst_desktopcontrols.moc"

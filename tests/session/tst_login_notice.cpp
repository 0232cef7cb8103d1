// A log-in on a terminal held in forced full screen that has not joined a domain: the shortcuts
// and task view come back, the user is told that the client will open, and it opens once after
// the notice time. The real agent in its sandbox; the desktop shell, daemon and settings are
// stand-ins seen from outside.
#include <QtTest>

#include <QDBusConnection>
#include <QDBusVariant>

#include "agentrun.h"
#include "dbusmock.h"
#include "testenv.h"

namespace {
const QString OfflineText = "检测域控服务已离线，请确认网线已连接，并通过入网认证，2分钟后自启动澄屿域控客户端，"
                            "请输入账户及密码完成加域；如需帮助，请联系IT服务台：61207345 转1。";
const QString OnlineText =
    "检测域控服务已在线，2分钟后自启动澄屿域控客户端，请输入账户及密码完成加域；如需帮助，请联系IT服务台：61207345 转1。";

class NoticeObserver : public QObject
{
    Q_OBJECT
public:
    QList<QPair<QString, int>> notices;
public slots:
    void onRequestShowNotify(const QString &text, int time) { notices << qMakePair(text, time); }
};

TestEnv::CommandResult gsettings(const QString &schemaDir, const QStringList &args)
{
    qputenv("GSETTINGS_SCHEMA_DIR", schemaDir.toLocal8Bit());
    const TestEnv::CommandResult result = TestEnv::runCommand("gsettings", args);
    return result;
}
}  // namespace

class TestLoginNotice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void noticeThenClientStarts_data();
    void noticeThenClientStarts();
    void noticeTimeOutOfRange_data();
    void noticeTimeOutOfRange();

private:
    void startAgent(const QString &schemaDir);

    QString m_desktopSchemas;
    QString m_clientSchemas;
    QString m_fakeVirt;
    TestEnv::TempRoot *m_root = nullptr;
    DBusMock *m_daemon = nullptr;
    DBusMock *m_shell = nullptr;
    AgentRun *m_agent = nullptr;
    NoticeObserver m_observer;
};

void TestLoginNotice::initTestCase()
{
    m_desktopSchemas = TestEnv::binaryDir() + "/schemas";
    m_clientSchemas = TestEnv::binaryDir() + "/schemas-client";
    if (!QFile::exists("/usr/bin/systemd-detect-virt"))
        QSKIP("the virtual-machine probe is not installed on this machine");
    QVERIFY(QDBusConnection::sessionBus().connect("com.kiv.domain.session", "/com/domain/agent",
                                                  "com.kiv.domain.agent", "requestShowNotify", &m_observer,
                                                  SLOT(onRequestShowNotify(QString, int))));
}

void TestLoginNotice::init()
{
    m_root = new TestEnv::TempRoot(false);
    m_observer.notices.clear();
    // A physical machine, whatever this test machine is.
    m_fakeVirt = m_root->path("/tmp/systemd-detect-virt");
    m_root->writeFile("/tmp/systemd-detect-virt", "#!/bin/sh\necho none\n", true);
    m_root->writeFile("/usr/share/kiv-domain-client/kiv-domain-client",
                      QString("#!/bin/sh\necho \"$@\" >> '%1'\n").arg(m_root->path("/tmp/client-runs")).toUtf8(), true);
    m_root->writeFile("/etc/kiv/info", "AREA=A1\nMACHINE=PC\n");
    m_root->writeFile("/etc/os-release", "NAME=\"Debian\"\nVERSION_ID=\"12\"\nID=debian\n");

    m_daemon = DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus);
    QVERIFY(m_daemon->isRunning());
    m_shell = DBusMock::bare("org.freedesktop.Desktop", "/org/freedesktop/Desktop", "org.freedesktop.Desktop",
                             DBusMock::SessionBus);
    QVERIFY(m_shell->isRunning());
    m_shell->addMethod("/org/freedesktop/Desktop", "org.freedesktop.Desktop", "AppSwitcherSetEnable", "b", "b",
                       "ret = True");
}

void TestLoginNotice::cleanup()
{
    delete m_agent;
    m_agent = nullptr;
    delete m_shell;
    delete m_daemon;
    delete m_root;
    qputenv("GSETTINGS_SCHEMA_DIR", m_desktopSchemas.toLocal8Bit());
}

void TestLoginNotice::startAgent(const QString &schemaDir)
{
    m_agent = new AgentRun(*m_root);
    m_agent->addBind(m_fakeVirt, "/usr/bin/systemd-detect-virt");
    m_agent->setEnv("GSETTINGS_SCHEMA_DIR", schemaDir);
    QVERIFY(m_agent->start());
}

void TestLoginNotice::noticeThenClientStarts_data()
{
    QTest::addColumn<bool>("clientSchema");
    QTest::addColumn<bool>("online");
    QTest::addColumn<int>("seconds");

    QTest::newRow("configuration, server offline") << false << false << 2;
    QTest::newRow("configuration, server online") << false << true << 1;
    QTest::newRow("client schema overrides the configuration") << true << false << 3;
}

void TestLoginNotice::noticeThenClientStarts()
{
    QFETCH(bool, clientSchema);
    QFETCH(bool, online);
    QFETCH(int, seconds);

    const QString schemaDir = clientSchema ? m_clientSchemas : m_desktopSchemas;
    if (clientSchema) {
        // The schema's keys take the place of the configuration's, which say otherwise here.
        m_root->writeConfig("[init]\nadd_domain_success=false\n[style]\nforce_full_screen=false\ntimeout=60\n"
                            "taskview_key=<Super>d\n");
        QCOMPARE(gsettings(schemaDir, {"set", "com.kiv.domain", "force-full-screen", "true"}).exitCode, 0);
        QCOMPARE(gsettings(schemaDir, {"set", "com.kiv.domain", "notify-timeout", QString::number(seconds)}).exitCode, 0);
    } else {
        m_root->writeConfig(QString("[init]\nadd_domain_success=false\n[style]\nforce_full_screen=true\n"
                                    "timeout=%1\ntaskview_key=<Super>d\n")
                                .arg(seconds)
                                .toUtf8());
    }
    QCOMPARE(gsettings(schemaDir, {"set", "org.gnome.desktop.wm.keybindings", "show-desktop", "[]"}).exitCode, 0);
    m_daemon->mock("/com/domain/agent", "SetReply", {"is_domain_online", "b", QVariant::fromValue(QDBusVariant(online))});
    startAgent(schemaDir);

    QElapsedTimer sinceLogin;
    sinceLogin.start();
    const TestEnv::CommandResult login = TestEnv::callAgent("post_login");
    QCOMPARE(login.exitCode, 0);

    // The escape routes come back before anything is shown.
    QCOMPARE(m_shell->callsOf("/org/freedesktop/Desktop", "AppSwitcherSetEnable"), QList<QVariantList>{{true}});
    QCOMPARE(gsettings(schemaDir, {"get", "org.gnome.desktop.wm.keybindings", "show-desktop"}).output.trimmed(),
             QString("['<Super>d']"));

    QTRY_COMPARE_WITH_TIMEOUT(m_observer.notices.size(), 1, 5000);
    QCOMPARE(m_observer.notices.first().first, online ? OnlineText : OfflineText);
    QCOMPARE(m_observer.notices.first().second, seconds);
    if (clientSchema)
        QVERIFY(m_root->waitForLog(QString("get gsetting notify-timeout %1").arg(seconds)));

    QVERIFY(TestEnv::waitFor([&] { return m_root->exists("/tmp/client-runs"); }, seconds * 1000 + 5000));
    // A coarse timer (2 s and longer) may fire up to 5 % early.
    QVERIFY2(sinceLogin.elapsed() >= seconds * 950 - 50, qPrintable(QString::number(sinceLogin.elapsed())));
    QVERIFY(m_root->waitForLog("timeout session"));
    QCOMPARE(m_root->readFile("/tmp/client-runs"), QByteArray("-f 1\n"));
}

void TestLoginNotice::noticeTimeOutOfRange_data()
{
    QTest::addColumn<QString>("seconds");
    QTest::addColumn<bool>("startsAtOnce");

    QTest::newRow("negative counts as 0") << "-5" << true;
    // 4294968 s are 4294968000 ms: held in an int they would wrap round to 704 ms.
    QTest::newRow("milliseconds overflow an int") << "4294968" << false;
}

void TestLoginNotice::noticeTimeOutOfRange()
{
    QFETCH(QString, seconds);
    QFETCH(bool, startsAtOnce);

    m_root->writeConfig(QString("[init]\nadd_domain_success=false\n[style]\nforce_full_screen=true\n"
                                "timeout=%1\ntaskview_key=<Super>d\n")
                            .arg(seconds)
                            .toUtf8());
    m_daemon->mock("/com/domain/agent", "SetReply", {"is_domain_online", "b", QVariant::fromValue(QDBusVariant(false))});
    QElapsedTimer sinceStart;
    sinceStart.start();
    startAgent(m_desktopSchemas);
    const TestEnv::CommandResult login = TestEnv::callAgent("post_login");
    QCOMPARE(login.exitCode, 0);
    const qint64 loggedInAfter = sinceStart.elapsed();
    QTRY_COMPARE_WITH_TIMEOUT(m_observer.notices.size(), 1, 5000);
    QCOMPARE(m_observer.notices.first().first, OfflineText);

    if (startsAtOnce) {
        QVERIFY(TestEnv::waitFor([&] { return m_root->exists("/tmp/client-runs"); }, 5000));
        QVERIFY(m_root->waitForLog("timeout session"));
        QCOMPARE(m_root->readFile("/tmp/client-runs"), QByteArray("-f 1\n"));
        return;
    }

    // The agent's own later timer: the task router asks the daemon for "Init" 5 s after start.
    // A notice timer that had wrapped round would have started the client before it.
    if (loggedInAfter > 4000)
        QSKIP("the log-in came too late after the start to order it before the router's first call");
    QVERIFY(TestEnv::waitFor([&] { return !m_daemon->callsOf("/com/domain/taskmanager", "Init").isEmpty(); }, 15000));
    QCOMPARE(m_root->countInLog("timeout session"), 0);
    QVERIFY(!m_root->exists("/tmp/client-runs"));
}

QTEST_MAIN(TestLoginNotice)
#include "tst_login_notice.moc"

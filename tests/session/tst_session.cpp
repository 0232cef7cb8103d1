// The session service: start-up work, callers, log-in report and notice, heartbeat. The real agent runs in its sandbox
// for what a caller sees; the start-up work and the heartbeat run in this process, against the same stand-in daemon.
#include <QtTest>

#include <QCoroTask>

#include <optional>

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QJsonDocument>

#include <sys/stat.h>
#include <unistd.h>

#include "fixture.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "session_dbus_interface.h"
#include "websocket.h"
#include "reportretry.h"

#include <csignal>

namespace {
const QString Marker = "/tmp/alice_post_login.txt";
const QByteArray Joined = "[init]\nhostname=term-042\nip_port=%SERVER%\nadd_domain_success=true\nauto_update_client=false\n";
const QString OfflineText = "检测域控服务已离线，请确认网线已连接，并通过入网认证，2分钟后自启动澄屿域控客户端，"
                            "请输入账户及密码完成加域；如需帮助，请联系IT服务台：61207345 转1。";
const QString OnlineText =
    "检测域控服务已在线，2分钟后自启动澄屿域控客户端，请输入账户及密码完成加域；如需帮助，请联系IT服务台：61207345 转1。";
}  // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.reset(new Fixture(Fixture::Daemon | Fixture::DesktopShell | Fixture::Server, true));
        Log::GetInstance()->setLogPath(Paths::logFile());
        setLoggingPath(Paths::logFile());
        qInstallMessageHandler(outputMessage);
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.connect(TestEnv::AgentService, TestEnv::AgentPath, TestEnv::AgentInterface, "user_login", this,
                            SLOT(onUserLogin())));
        QVERIFY(bus.connect(TestEnv::AgentService, TestEnv::AgentPath, TestEnv::AgentInterface, "requestShowNotify",
                            this, SLOT(onRequestShowNotify(QString, int))));
    }

    void init()
    {
        m_fixture->stopAgent();
        m_fixture->reset();
        m_userLogins = 0;
        m_notices.clear();
    }

    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void startUpWork_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("area");  // the info file's AREA line; null: no info file
        QTest::addColumn<bool>("updateAnswer");
        QTest::addColumn<QList<int>>("addSystem");
        QTest::addColumn<QString>("storedType");

        const QString manual = "[init]\nauto_update_client=false\n";
        const QString auto1 = manual + "domain_type=1\n[style]\nauto_add_domain_area=A0,A1\n";
        QTest::newRow("update check taken") << "[init]\nauto_update_client=true\n" << "A1" << true << QList<int>{} << "";
        QTest::newRow("update check refused") << "[init]\nauto_update_client=true\n" << "A1" << false << QList<int>{2} << "";
        QTest::newRow("update unset: stored, answered no") << "[init]\nauto_update_client=\n" << "A1" << true << QList<int>{2} << "";
        QTest::newRow("joined the domain") << manual + "add_domain_success=true\n" << "A1" << true << QList<int>{} << "";
        QTest::newRow("joined is exact text") << manual + "add_domain_success=True\n" << "A1" << true << QList<int>{2} << "";
        QTest::newRow("type 2") << manual + "domain_type=2\n" << "A1" << true << QList<int>{2} << "2";
        QTest::newRow("type 1, listed area") << auto1 << "A1" << true << QList<int>{3} << "3";
        QTest::newRow("type 3, unlisted area") << manual + "domain_type=3\n" << "B7" << true << QList<int>{3} << "3";
        QTest::newRow("type 1, unlisted area") << auto1 << "B7" << true << QList<int>{} << "1";
        QTest::newRow("type 1, thin terminal") << auto1 << "B7\nMACHINE=THIN" << true << QList<int>{3} << "3";
        QTest::newRow("area match is case-sensitive") << auto1 << "a1" << true << QList<int>{} << "1";
        QTest::newRow("no info file") << auto1 << QString() << true << QList<int>{} << "1";
    }

    void startUpWork()
    {
        QFETCH(QString, config);
        QFETCH(QString, area);
        QFETCH(bool, updateAnswer);
        QFETCH(QList<int>, addSystem);
        QFETCH(QString, storedType);

        const TestEnv::TempRoot &root = m_fixture->root();
        root.writeConfig((config + "\n[init]\nthis_login_time=20261201083000\n").toUtf8());
        if (area.isNull())
            root.remove("/etc/kiv/info");
        else
            root.writeFile("/etc/kiv/info", ("AREA=" + area + "\n").toUtf8());
        m_fixture->daemonReply("CheckUpdateCli", "b", updateAnswer);

        session_dbus_interface service;
        QCoro::waitFor(service.start());

        QList<int> addSystemCalls;
        for (const QVariantList &args : m_fixture->daemon().callsOf("/com/domain/agent", "addSystem"))
            addSystemCalls << args.value(0).toInt();
        QCOMPARE(addSystemCalls, addSystem);
        QCOMPARE(QSettings(root.path(TestEnv::ConfigIni), QSettings::IniFormat).value("init/domain_type").toString(),
                 storedType);
        // The log-in time goes through the daemon: the previous one, then now.
        const QList<QVariantList> times = m_fixture->daemon().callsOf("/com/domain/config", "UpdateConfig");
        QCOMPARE(times.size(), 2);
        QCOMPARE(times[0], (QVariantList{"last_login_time", "20261201083000"}));
        const QDateTime now = QDateTime::fromString(times[1].value(1).toString(), "yyyyMMddhhmmss");
        QCOMPARE(times[1].value(0).toString(), QString("this_login_time"));
        QVERIFY(qAbs(now.secsTo(QDateTime::currentDateTime())) < 5);
    }

    void heartbeat_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("beats");
        QTest::newRow("type missing") << "" << false;
        QTest::newRow("type 1") << "1" << true;
        QTest::newRow("type 3") << "3" << true;
        QTest::newRow("type 4") << "4" << false;
    }

    void heartbeat()
    {
        QFETCH(QString, type);
        QFETCH(bool, beats);
        m_fixture->root().writeConfig(("[init]\nhostname=term-042\ndomain_type=" + type + "\n").toUtf8());

        WebSocket socket;
        const QList<QTimer *> timers = socket.findChildren<QTimer *>();
        QCOMPARE(timers.size(), beats ? 1 : 0);
        if (!beats)
            return;
        QVERIFY(timers.first()->isActive());
        QCOMPARE(timers.first()->interval(), 60000);
        QMetaObject::invokeMethod(&socket, "onHeartbeatTimeout");  // one beat, without waiting a minute for it
        const auto sentBeats = [this] { return m_fixture->daemon().callsOf("/com/domain/agent", "sendWebSet"); };
        QTRY_COMPARE_WITH_TIMEOUT(sentBeats().size(), 1, 5000);
        const QJsonObject message = QJsonDocument::fromJson(sentBeats().first().value(0).toString().toUtf8()).object();
        QCOMPARE(message.value("sender").toInt(), 1);
        QCOMPARE(message.value("sn").toString(), QString("9-1-1"));
        QCOMPARE(message.value("data").toObject().value("hostname").toString(), QString("term-042"));
        QVERIFY(message.value("data").toObject().contains("username"));
    }

    void firstCaller_data()
    {
        QTest::addColumn<double>("daemonSeconds");
        QTest::newRow("fast daemon") << 0.0;
        QTest::newRow("daemon 1.5 s per answer") << 1.5;
    }

    void firstCaller()
    {
        QFETCH(double, daemonSeconds);
        for (const char *method : {"UpdateConfig", "is_domain_online", "setHeartBeat"})
            m_fixture->daemonDelay(method, daemonSeconds);
        m_fixture->server().setReply("login", DomainServer::reply("welcome alice"));
        QList<QDBusPendingCall> earlyCalls;  // a log-in script's, made the moment the agent's name has an owner
        QDBusServiceWatcher watcher(TestEnv::AgentService, QDBusConnection::sessionBus());
        connect(&watcher, &QDBusServiceWatcher::serviceRegistered, [&] { earlyCalls << Fixture::call("post_login"); });
        QVERIFY(m_fixture->startAgent(Joined, QByteArray(), false));

        QTRY_COMPARE_WITH_TIMEOUT(earlyCalls.size(), 1, 20000);
        QCOMPARE(Fixture::answer(earlyCalls.first()), QString("welcome alice"));
        QCOMPARE(logins().size(), 1);
        // The start-up work came first: the log-in time was recorded before the log-in was handled.
        const QString log = m_fixture->root().logText();
        const int recorded = log.indexOf("update config key(this_login_time)");
        QVERIFY(recorded >= 0 && recorded < log.indexOf("[post_login:"));
    }

    void secondAgentDoesNothing()
    {
        QVERIFY(m_fixture->startAgent(Joined));
        // A call is answered once the agent's start-up work is done: the log-in time is recorded.
        QCOMPARE(Fixture::answer(Fixture::call("showNotify", {QString(), 0})), QString());
        QCOMPARE(loginTimeUpdates(), 2);

        AgentRun second(m_fixture->root());
        QVERIFY(second.start(false));
        QVERIFY(second.waitForExit(20000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(m_fixture->root().logText().contains(
            "[LOG_ERROR] main:bus registerService error!bus.lastError().message() = "));
        QCOMPARE(loginTimeUpdates(), 2);
        QCOMPARE(Fixture::answer(Fixture::call("showNotify", {QString("still here"), 0})), QString());
    }

    void report_data()
    {
        QTest::addColumn<QString>("serverFault");  // "" answers, "refused" has no server
        QTest::addColumn<QJsonObject>("reply");    // the server's
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("reported");

        const QJsonObject welcome = DomainServer::reply("welcome alice");
        QTest::newRow("server answers") << "" << welcome << "welcome alice" << true;
        QTest::newRow("server slow") << "delay" << QJsonObject{{"body", "welcome alice"}, {"delay_ms", 3000}}
                                     << "welcome alice" << true;
        QTest::newRow("HTTP 500") << "http500" << DomainServer::fault("http500") << "" << false;
        QTest::newRow("connection refused") << "refused" << welcome << "" << false;
        // The caller has its empty answer before D-Bus's 25 s; the report fails at 30 s.
        QTest::newRow("server never answers") << "hang" << DomainServer::fault("hang") << "" << false;
        // The daemon does not say within 10 s whether the server is online: offline, the report is owed.
        QTest::newRow("daemon slow to say online") << "slow daemon" << welcome << "" << false;
    }

    void report()
    {
        QFETCH(QString, serverFault);
        QFETCH(QJsonObject, reply);
        QFETCH(QString, answer);
        QFETCH(bool, reported);

        DomainServer &server = m_fixture->server();
        QVERIFY(server.setReply("login", reply));
        QVERIFY(m_fixture->startAgent(serverFault == "refused" ? QByteArray(Joined).replace("%SERVER%", "127.0.0.1:1")
                                                               : Joined));

        if (serverFault == "slow daemon")
            m_fixture->daemonDelay("is_domain_online", 12);
        const QDeadlineTimer beforeDBusGivesUp(25000);
        const QDBusPendingCall login = Fixture::call("post_login");
        std::optional<QDBusPendingCall> joined;
        if (serverFault == "delay" || serverFault == "hang") {
            QVERIFY(server.waitForRequests("login", 1));
            // A report that waits for the server leaves the agent serving its callers, and a second log-in call joins
            // it: the same answer, from one report.
            QCOMPARE(Fixture::answer(Fixture::call("showNotify", {QString("仍在服务"), 0}), 5000), QString());
            joined = Fixture::call("post_login");
        }
        QCOMPARE(Fixture::answer(login), answer);
        QVERIFY(!beforeDBusGivesUp.hasExpired());
        if (joined)
            QCOMPARE(Fixture::answer(*joined), answer);
        QTRY_COMPARE_WITH_TIMEOUT(m_userLogins, joined ? 2 : 1, 5000);
        if (serverFault != "refused")
            QCOMPARE(logins().size(), serverFault == "slow daemon" ? 0 : 1);

        const TestEnv::TempRoot &root = m_fixture->root();
        if (reported) {
            const QJsonObject sent = logins().first();
            QCOMPARE(sent.value("method").toString(), QString("POST"));
            QCOMPARE(sent.value("body").toString(),
                     QString("{\n    \"device_uuid\": \"term-042\",\n    \"domain_user\": \"alice\"\n}\n"));
            QCOMPARE(sent.value("headers").toObject().value("Content-Type").toString(), QString("application/json"));
            // The marker: the user's own regular file, readable by nobody else.
            struct stat marker;
            QCOMPARE(lstat(QFile::encodeName(root.path(Marker)).constData(), &marker), 0);
            QVERIFY(S_ISREG(marker.st_mode));
            QCOMPARE(marker.st_mode & 07777, mode_t(0600));
            // Once per user: the next call sends nothing, nor does an agent the session starts again.
            QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
            QVERIFY(m_fixture->startAgent(Joined));
            QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
            QCOMPARE(logins().size(), 1);
            QVERIFY(root.logText().contains("[LOG_INFO] 已经发送过request login"));
            return;
        }
        // The report is owed: no marker, and the daemon's next "server online" sends it (or, where the server was never
        // reached, the next session's agent).
        if (serverFault != "slow daemon")
            QVERIFY(root.waitForLog("[LOG_ERROR] requestLogin: post_login reply error!, reply = ", 15000));
        QTRY_VERIFY_WITH_TIMEOUT(!root.exists(Marker), 5000);  // given back just after the error line
        server.setReply("login", DomainServer::reply("welcome alice"));
        server.clearRequests();
        if (serverFault == "refused") {
            QVERIFY(m_fixture->startAgent(Joined));
            QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString("welcome alice"));
        } else {
            m_fixture->daemonSignal("/com/domain/agent", "domainServerStatus", "b", {true});
            QVERIFY(server.waitForRequests("login", 1));
        }
        QCOMPARE(logins().size(), 1);
        QVERIFY(root.exists(Marker));
    }

    void reportRetryBounds()
    {
        // While a report is owed, each wait is drawn between half and all of its interval, which doubles from 30 s up to
        // ten minutes; once the report is sent nothing is timed, and a later failure starts from 30 s again.
        ReportRetry retry;
        const auto wait = [&retry] {
            const QList<QTimer *> timers = retry.findChildren<QTimer *>();
            return timers.size() == 1 && timers.first()->isActive() && timers.first()->isSingleShot()
                       ? timers.first()->interval() : -1;
        };
        for (const int interval : {30000, 60000, 120000, 240000, 480000, 600000, 600000}) {
            retry.failed();
            QVERIFY2(wait() >= interval / 2 && wait() <= interval, qPrintable(QString::number(wait())));
        }
        QSet<int> firstWaits;
        for (int i = 0; i < 20; ++i) {
            retry.sent();
            QVERIFY(retry.findChildren<QTimer *>().isEmpty());
            retry.failed();
            QVERIFY2(wait() >= 15000 && wait() <= 30000, qPrintable(QString::number(wait())));
            firstWaits << wait();
        }
        QVERIFY(firstWaits.size() > 1);  // drawn, not fixed
    }

    void reportTriedAgain()
    {
        // The server fails the report, then recovers; no caller calls again and the daemon says nothing: the agent tries
        // again by itself within the first back-off, and the report reaches the server once.
        DomainServer &server = m_fixture->server();
        QVERIFY(server.setReply("login", DomainServer::fault("http500")));
        QVERIFY(m_fixture->startAgent(Joined));
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        QVERIFY(m_fixture->root().waitForLog("post_login reply error!", 15000));
        QVERIFY(server.setReply("login", DomainServer::reply("welcome alice")));
        QVERIFY(server.waitForRequests("login", 2, 35000));
        QTRY_VERIFY_WITH_TIMEOUT(m_fixture->root().exists(Marker), 5000);
        QCOMPARE(logins().size(), 2);
    }

    void restartedInTheSameSession()
    {
        // An agent that crashes in the reboot count-down and is started again in the same log-in session: the daemon's
        // log-in times stay as they were, the count-down goes on with the time left, and an install prompt stays held.
        QVERIFY(m_fixture->startAgent(Joined));
        QTRY_COMPARE_WITH_TIMEOUT(loginTimeUpdates(), 2, 5000);
        m_fixture->daemonSignal("/com/domain/taskmanager", "RebootNotify", "ss", {QString("t-9"), QString("办公套件")});
        const QString pending = TestEnv::RuntimeDir + "/kiv-domain-session-agent.pending-reboot";
        QTRY_VERIFY_WITH_TIMEOUT(m_fixture->root().exists(pending), 5000);
        m_fixture->agent().sendSignal(SIGSEGV);
        QVERIFY(m_fixture->agent().waitForExit());
        QCOMPARE(m_fixture->agent().exitCode(), int(SIGSEGV));

        // As if the agent had died 80 s into its count-down.
        const TestEnv::TempRoot &root = m_fixture->root();
        QJsonObject entry = QJsonDocument::fromJson(root.readFile(pending)).object();
        entry["end"] = QString::number(QDateTime::currentMSecsSinceEpoch() + 100000);
        root.writeFile(pending, QJsonDocument(entry).toJson());
        QVERIFY(m_fixture->startAgent(QByteArray()));
        QVERIFY(root.waitForLog("s left", 10000));
        const QString resumed = root.logText().section("a reboot is owed from before the agent started again: ", 1).section(' ', 0, 0);
        QVERIFY2(resumed.toInt() >= 95 && resumed.toInt() <= 100, qPrintable(resumed));
        m_fixture->daemonSignal("/com/domain/taskmanager", "InstallNotify", "ssbbi",
                                {QString("t-10"), QString("输入法"), false, false, 0});
        QVERIFY(root.waitForLog("reboot notify is show", 5000));
        QVERIFY(Fixture::answer(Fixture::call("showNotify", {QString(), 0})).isEmpty());  // settled
        QCOMPARE(loginTimeUpdates(), 2);
    }

    void offlineReportFollowsTheServer()
    {
        m_fixture->daemonReply("is_domain_online", "b", false);
        QVERIFY(m_fixture->startAgent(Joined));
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        QVERIFY(!m_fixture->root().exists(Marker));

        // Anyone on the system bus can send the signal; only the daemon's own counts. The agent has the forged signal
        // before the daemon's answer to the next call, and handles it right after that call: by the answer to the call
        // after, a report would have claimed its marker.
        Fixture::forgeSignal("/com/domain/agent", "com.kiv.domain.agent", "domainServerStatus", {true});
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        QVERIFY(!m_fixture->root().exists(Marker));
        QVERIFY(logins().isEmpty());

        m_fixture->daemonSignal("/com/domain/agent", "domainServerStatus", "b", {false});
        m_fixture->daemonSignal("/com/domain/agent", "domainServerStatus", "b", {true});
        QVERIFY(m_fixture->server().waitForRequests("login", 1));
        QVERIFY(m_fixture->root().exists(Marker));
        // Once reported, later "online" signals send nothing.
        m_fixture->daemonSignal("/com/domain/agent", "domainServerStatus", "b", {true});
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        QCOMPARE(logins().size(), 1);
    }

    void plantedMarker_data()
    {
        QTest::addColumn<bool>("link");
        QTest::newRow("link to a file of the user's") << true;
        QTest::newRow("file of another user") << false;
    }

    void plantedMarker()
    {
        QFETCH(bool, link);
        const TestEnv::TempRoot &root = m_fixture->root();
        root.writeFile("/tmp/victim.txt", "precious\n");
        const QByteArray marker = QFile::encodeName(root.path(Marker));
        if (link) {
            QVERIFY(QFile::link(root.path("/tmp/victim.txt"), root.path(Marker)));
        } else {
            root.writeFile(Marker, "");
            QCOMPARE(chown(marker.constData(), 1001, 1001), 0);  // not the sandbox's user
        }
        m_fixture->server().setReply("login", DomainServer::reply("welcome alice"));
        QVERIFY(m_fixture->startAgent(Joined));

        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString("welcome alice"));
        QCOMPARE(logins().size(), 1);
        // The planted thing is not taken for the user's marker, nor over as one.
        QVERIFY(root.logText().contains("[LOG_ERROR] 创建requestLogin临时文件失败"));
        QCOMPARE(root.readFile("/tmp/victim.txt"), QByteArray("precious\n"));
        struct stat planted;
        QCOMPARE(lstat(marker.constData(), &planted), 0);
        QCOMPARE(S_ISLNK(planted.st_mode), link);
        QVERIFY(root.exists("/tmp/victim.txt"));
        QFile::remove(root.path(Marker));
    }

    // ---- the log-in notice of a forced-full-screen terminal that has not joined a domain
    void loginNotice_data()
    {
        QTest::addColumn<QString>("timeout");
        QTest::addColumn<bool>("online");
        QTest::addColumn<int>("startsAfterMs");  // -1: not within the agent's first seconds
        QTest::addColumn<bool>("clientSchema");  // the client's schema, which overrides the configuration
        QTest::newRow("server offline, 2 s") << "2" << false << 2000 << false;
        QTest::newRow("server online, 1 s") << "1" << true << 1000 << false;
        QTest::newRow("client schema: 3 s") << "3" << false << 3000 << true;
        QTest::newRow("negative counts as 0") << "-5" << false << 0 << false;
        // 4294968 s are 4294968000 ms: held in an int they would wrap round to 704 ms.
        QTest::newRow("milliseconds past an int") << "4294968" << false << -1 << false;
    }

    void loginNotice()
    {
        QFETCH(QString, timeout);
        QFETCH(bool, online);
        QFETCH(int, startsAfterMs);
        QFETCH(bool, clientSchema);

        const TestEnv::TempRoot &root = m_fixture->root();
        const QByteArray desktopSchemas = qgetenv("GSETTINGS_SCHEMA_DIR");
        const auto restoreSchemas = qScopeGuard([&] { qputenv("GSETTINGS_SCHEMA_DIR", desktopSchemas); });
        QString style = "force_full_screen=true\ntimeout=" + timeout + "\n";
        if (clientSchema) {
            qputenv("GSETTINGS_SCHEMA_DIR", (TestEnv::binaryDir() + "/schemas-client").toLocal8Bit());
            QCOMPARE(TestEnv::runCommand("gsettings", {"set", "com.kiv.domain", "force-full-screen", "true"}).exitCode, 0);
            QCOMPARE(TestEnv::runCommand("gsettings", {"set", "com.kiv.domain", "notify-timeout", timeout}).exitCode, 0);
            style = "force_full_screen=false\ntimeout=60\n";  // both overridden
        }
        // The client program the notice announces: records that it ran, and how; what was meant for the agent alone
        // does not reach it.
        root.writeFile("/usr/share/kiv-domain-client/kiv-domain-client",
                       "#!/bin/sh\necho \"$@$QT_BEARER_POLL_TIMEOUT$DESKTOP_AUTOSTART_ID\" > \"$TMPDIR/client-runs\"\n", true);
        root.remove("/tmp/client-runs");
        QCOMPARE(TestEnv::runCommand("gsettings", {"set", "org.gnome.desktop.wm.keybindings", "show-desktop", "[]"}).exitCode, 0);
        m_fixture->daemonReply("is_domain_online", "b", online);
        qputenv("QT_BEARER_POLL_TIMEOUT", "2147483647");
        qputenv("DESKTOP_AUTOSTART_ID", "autostart-42");
        const auto agentOnly = qScopeGuard([] { qunsetenv("QT_BEARER_POLL_TIMEOUT"), qunsetenv("DESKTOP_AUTOSTART_ID"); });
        QVERIFY(m_fixture->startAgent(("[init]\nadd_domain_success=false\nauto_update_client=false\ndomain_type=1\n"
                                       "[style]\ntaskview_key=<Super>d\n" + style).toUtf8()));
        QElapsedTimer sinceLogin;
        sinceLogin.start();
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());

        // The escape routes come back first: the task view and the show-desktop key.
        QCOMPARE(m_fixture->desktopShell().callsOf("/org/freedesktop/Desktop", "AppSwitcherSetEnable"),
                 QList<QVariantList>{{true}});
        QCOMPARE(TestEnv::runCommand("gsettings", {"get", "org.gnome.desktop.wm.keybindings", "show-desktop"}).output.trimmed(),
                 QString("['<Super>d']"));
        QTRY_COMPARE_WITH_TIMEOUT(m_notices.size(), 1, 5000);
        QCOMPARE(m_notices.first(), online ? OnlineText : OfflineText);

        if (startsAfterMs < 0) {
            // A wrapped timer would have started the client before the router's first call, 5 s in.
            QVERIFY(TestEnv::waitFor([&] { return !m_fixture->daemon().callsOf("/com/domain/taskmanager", "Init").isEmpty(); },
                                     15000));
            QVERIFY(!root.exists("/tmp/client-runs"));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(root.readFile("/tmp/client-runs"), QByteArray("-f 1\n"), startsAfterMs + 5000);
        QVERIFY(sinceLogin.elapsed() >= startsAfterMs * 95 / 100 - 50);  // a coarse timer may fire 5 % early
    }

private:
    QList<QJsonObject> logins() const { return m_fixture->server().requests("login"); }
    int loginTimeUpdates() const { return m_fixture->daemon().callsOf("/com/domain/config", "UpdateConfig").size(); }

    std::unique_ptr<Fixture> m_fixture;
    int m_userLogins = 0;   // "user_login" signals, as a session client sees them
    QStringList m_notices;  // the texts of "requestShowNotify" signals

public slots:
    void onUserLogin() { ++m_userLogins; }
    void onRequestShowNotify(const QString &text, int) { m_notices << text; }
};


QTEST_MAIN(TestSession)
#include "tst_session.moc"

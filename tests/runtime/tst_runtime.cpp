// The agent runtime: the file logger, the real agent's start-up and end (also under a session manager), /proc probes.
#include <QtTest>

#include <QtDBus>

#include <csignal>
#include <unistd.h>

#include "fixture.h"
#include "log.h"
#include "paths.h"
#include "process.h"
#include "utils.h"

namespace {
const QString Stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )", Hello = "[LOG_INFO] main:hello session agent!";
const QString RegisterError = "[LOG_ERROR] main:bus registerService error!bus.lastError().message() = ";
const QByteArray Valid = "[init]\nip_port=127.0.0.1:1\nadd_domain_success=true\n[style]\nforce_full_screen=true\n";
const QByteArray Joined = "[init]\nhostname=term-042\nip_port=%SERVER%\nadd_domain_success=true\nauto_update_client=false\n";
const QString Manager = "org.gnome.SessionManager", ManagerPath = "/org/gnome/SessionManager";
const QString ClientPath = ManagerPath + "/Client1", ClientInterface = Manager + ".ClientPrivate";
const QString NotRegistered = "[LOG_INFO] SessionClient: not registered with the session manager, running on: ";

QVariant managerCall(const QString &path, const QString &interface, const QString &method, const QVariantList &args = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(Manager, path, interface, method);
    call.setArguments(args);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ErrorMessage ? reply.errorName() : reply.arguments().value(0);
}
const char Garbage[] = "\x00\xff\xfe[init\nheartbeat=abc\n=\n[[]]\nip_port\n\x01=\x03";
}  // namespace

#pragma GCC diagnostic ignored "-Wformat-nonliteral"  // only a built text can make a format longer than the limit

class TestRuntime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.reset(new Fixture(Fixture::Daemon | Fixture::SessionManager | Fixture::Server, true));
        Log::GetInstance()->setLogPath(Paths::logFile());
        QVERIFY(QFile::copy("/bin/sleep", m_programs.filePath(m_name)));
    }

    void init()
    {
        m_fixture->stopAgent();
        m_fixture->reset();
        m_fixture->root().remove(TestEnv::ConfigIni);
    }

    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void fileLogger_data()
    {
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("level");
        QTest::addColumn<QByteArray>("format");  // of one argument, a text holding % itself
        QTest::addColumn<QString>("line");       // after the time stamp; empty: nothing written

        QTest::newRow("level without a name") << 0 << 7 << QByteArray("%s:hello") << "[] 创建%s%n:hello";
        QTest::newRow("below the threshold") << int(LOG_WARN) << int(LOG_INFO) << QByteArray("%s") << "";
        QTest::newRow("above the threshold") << int(LOG_WARN) << int(LOG_ERROR) << QByteArray("%s") << "[LOG_ERROR] 创建%s%n";
        QTest::newRow("format over 8191 bytes") << 0 << int(LOG_INFO) << QByteArray(8192, 'a')
                                                << "[LOG_ERROR] write too bigger log content";
        QTest::newRow("expansion cut") << 0 << int(LOG_INFO) << QByteArray("%20000s") << "[LOG_INFO] " + QString(8191, ' ');
    }

    void fileLogger()
    {
        QFETCH(int, threshold);
        QFETCH(int, level);
        QFETCH(QByteArray, format);
        QFETCH(QString, line);

        Log::GetInstance()->setLogLevel(LOGLEVEL(threshold));
        Log::GetInstance()->SaveFileLog(LOGLEVEL(level), format.constData(), "创建%s%n");
        Log::GetInstance()->setLogLevel(LOG_DEBUG);
        QCOMPARE(m_fixture->root().logText().remove(QRegularExpression("^" + Stamp)), line.isEmpty() ? "" : line + "\n");
    }

    void starts_data()
    {
        QTest::addColumn<QString>("config");  // valid, missing, unreadable, garbage
        QTest::addColumn<QByteArray>("osRelease");
        QTest::addColumn<bool>("schemas");  // the desktop's settings schemas are installed, or only a part of one
        QTest::addColumn<int>("crash");     // the signal that ends the agent afterwards

        QTest::newRow("good files, then SIGABRT") << "valid" << Kiv5Release << true << int(SIGABRT);
        QTest::newRow("configuration missing, then SIGSEGV") << "missing" << Kiv5Release << true << int(SIGSEGV);
        QTest::newRow("configuration unreadable") << "unreadable" << Kiv5Release << true << 0;
        QTest::newRow("configuration garbage") << "garbage" << Kiv5Release << true << 0;
        QTest::newRow("system of version 4") << "valid" << QByteArray("NAME_EN=KIVDesktop\nVERSION_ID=4.0\n") << true << 0;
        QTest::newRow("desktop schemas missing, workspace keys lacking one") << "valid" << Kiv5Release << false << 0;
    }

    // The agent starts from whatever files it finds: the daemon is told the default heartbeat period, and it serves a
    // log-in (switching the desktop's shortcuts on where its schemas allow). A crash ends it with the signal.
    void starts()
    {
        QFETCH(QString, config);
        QFETCH(QByteArray, osRelease);
        QFETCH(bool, schemas);
        QFETCH(int, crash);

        const TestEnv::TempRoot &root = m_fixture->root();
        if (config == "valid" || config == "unreadable")
            root.writeConfig(Valid);
        if (config == "unreadable")
            QVERIFY(QFile::setPermissions(root.path(TestEnv::ConfigIni), QFileDevice::Permissions()));
        else if (config == "garbage")
            root.writeFile(TestEnv::ConfigIni, QByteArray(Garbage, sizeof Garbage - 1) + QByteArray(5000, '\xc3'));

        // Without the desktop's schemas: only the workspace key bindings, lacking a key the lock-down switches.
        const QByteArray desktopSchemas = qgetenv("GSETTINGS_SCHEMA_DIR");
        root.writeFile("/schemas/wm.gschema.xml", "<schemalist><schema id='org.qoro.desktop.wm.keybindings' path='/org/"
                                                  "qoro/desktop/wm/keybindings/'><key name='switch-to-workspace-right' "
                                                  "type='as'><default>[]</default></key></schema></schemalist>");
        QCOMPARE(QProcess::execute("glib-compile-schemas", {"--strict", root.path("/schemas")}), 0);
        qputenv("GSETTINGS_SCHEMA_DIR", schemas ? desktopSchemas : QFile::encodeName(root.path("/schemas")));
        const bool started = m_fixture->startAgent(QByteArray(), osRelease);
        qputenv("GSETTINGS_SCHEMA_DIR", desktopSchemas);
        QVERIFY(started);

        const auto heartbeats = [this] { return m_fixture->daemon().callsOf(TestEnv::AgentPath, "setHeartBeat"); };
        QTRY_COMPARE_WITH_TIMEOUT(heartbeats(), QList<QVariantList>{{10000}}, 10000);
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        const QString log = root.logText();
        QVERIFY2(QString(log).remove(QRegularExpression("^" + Stamp)).startsWith(Hello + "\n"), qPrintable(log));
        // The policy engine runs on the client's own desktop 5 only.
        QCOMPARE(log.contains("[Info][default] start policy sync"), osRelease == Kiv5Release);
        QCOMPARE(log.contains("setWorkSpaceEnable: schema org.qoro.desktop.wm.keybindings has no key switch-to-workspace-up"),
                 !schemas);
        if (!crash)
            return;
        m_fixture->agent().sendSignal(crash);
        QVERIFY(m_fixture->agent().waitForExit());
        QCOMPARE(m_fixture->agent().exitCode(), crash);
        QVERIFY(m_fixture->agent().output().contains(QString("Caught signal: %1\n").arg(crash)));
    }

    // Without a session bus the agent exits 1 after the bus's error on both channels (Qt's on stdout too), no more.
    void noSessionBus()
    {
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(m_fixture->root().path("/tmp/no-bus")));
        const bool started = m_fixture->startAgent(Valid, QByteArray(), false);
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        QVERIFY(started && m_fixture->agent().waitForExit());
        QCOMPARE(m_fixture->agent().exitCode(), 1);
        const QStringList lines = m_fixture->root().logText().split('\n', Qt::SkipEmptyParts);
        const QString error = lines.value(1).section("[Debug][default] ", 1);
        QVERIFY2(lines.size() == 3 && lines.at(0).endsWith(Hello) && !error.isEmpty(), qPrintable(lines.join('\n')));
        QVERIFY(lines.at(2).endsWith(RegisterError + error));
        QVERIFY(m_fixture->agent().output().contains(lines.at(1) + "\n"));
    }

    void sessionManager_data()
    {
        QTest::addColumn<QString>("manager");  // serves, refuses, absent
        QTest::addColumn<QString>("event");    // a signal of the manager to the agent's client object; forged: sent by another
        QTest::addColumn<bool>("answers");     // with EndSessionResponse(true, "")
        QTest::addColumn<QString>("quits");    // the log's reason; empty: runs on

        QTest::newRow("registers, answers the query, runs on") << "serves" << "QueryEndSession" << true << "";
        QTest::newRow("end of the session") << "serves" << "EndSession" << true << "the session ends";
        QTest::newRow("stopped") << "serves" << "Stop" << false << "the session manager stops the agent";
        // While the start-up waits for the daemon, before the agent's event loop runs.
        QTest::newRow("stopped at start-up") << "serves" << "Stop at start-up" << false << "the session manager stops the agent";
        // The stop is handled before the answer that names the agent's object (Qt can hand the answer on later than a
        // signal that follows it).
        QTest::newRow("stopped as it registers") << "stops first" << "" << false << "the session manager stops the agent";
        QTest::newRow("forged stop") << "serves" << "forged" << false << "";
        QTest::newRow("refused") << "refuses" << "" << false << "";
        QTest::newRow("no session manager") << "absent" << "" << false << "";
    }

    // The agent registers with the startup id its starter gave it; it answers the end of the session at once and quits
    // at its end, cleanly; without a manager, or refused, it logs it once and runs on.
    void sessionManager()
    {
        QFETCH(QString, manager);
        QFETCH(QString, event);
        QFETCH(bool, answers);
        QFETCH(QString, quits);

        DBusMock &stand = m_fixture->sessionManager();
        const auto restore = qScopeGuard([this] { m_fixture->restart(Fixture::SessionManager); });
        stand.clearCalls(ClientPath);
        if (manager == "refuses")
            stand.addMethod(ManagerPath, Manager, "RegisterClient", "ss", "o",
                            "raise dbus.exceptions.DBusException('no', name='org.gnome.SessionManager.AlreadyRegistered')");
        else if (manager == "absent")
            stand.stop();
        else if (manager == "stops first")
            stand.addMethod(ManagerPath, Manager, "RegisterClient", "ss", "o",
                            "get_object('" + ClientPath + "').EmitSignal('" + ClientInterface + "', 'Stop', '', [])\n"
                            "time.sleep(0.5)\nret = dbus.ObjectPath('" + ClientPath + "')");
        const bool atStartUp = event == "Stop at start-up";
        if (atStartUp)
            m_fixture->daemonDelay("setHeartBeat", 3);
        qputenv("DESKTOP_AUTOSTART_ID", "autostart-42");
        const bool started = m_fixture->startAgent(Valid, QByteArray(), !atStartUp && manager != "stops first");
        qunsetenv("DESKTOP_AUTOSTART_ID");
        QVERIFY(started);

        const TestEnv::TempRoot &root = m_fixture->root();
        const QList<QVariantList> registered{{"kiv-domain-session-agent", "autostart-42"}}, answer{{true, ""}};
        if (manager == "refuses" || manager == "absent")
            QVERIFY(root.waitForLog(NotRegistered));
        else
            QVERIFY(TestEnv::waitFor([&] { return stand.callsOf(ManagerPath, "RegisterClient") == registered; }, 5000));
        if (event == "forged")
            QVERIFY(QDBusConnection::sessionBus().send(QDBusMessage::createSignal(ClientPath, ClientInterface, "Stop")));
        else if (event.startsWith("Stop"))
            stand.emitSignal(ClientPath, ClientInterface, "Stop", "", {});
        else if (!event.isEmpty())
            stand.emitSignal(ClientPath, ClientInterface, event, "u", {1u});
        if (answers)
            QVERIFY(TestEnv::waitFor([&] { return stand.callsOf(ClientPath, "EndSessionResponse") == answer; }, 5000));
        if (!quits.isEmpty()) {
            QVERIFY(m_fixture->agent().waitForExit(5000));
            QCOMPARE(m_fixture->agent().exitCode(), 0);
            QVERIFY(root.logText().contains("[LOG_INFO] SessionClient: " + quits + ", quitting\n"));
        } else {  // served after the signal: by its answer the agent would have quit
            QCOMPARE(Fixture::answer(Fixture::call("showNotify", {QString(), 0})), QString());
            QVERIFY(!root.logText().contains(", quitting"));
            QCOMPARE(root.countInLog(NotRegistered), manager == "serves" ? 0 : 1);
            if (manager == "serves")
                QCOMPARE(stand.callsOf(ClientPath, "EndSessionResponse").size(), int(answers));
        }
    }

    void realSessionManager_data()
    {
        QTest::addColumn<QString>("road");  // before the log-out: crash, a log-in report the server never answers
        QTest::newRow("log-out") << "";
        QTest::newRow("crash, then log-out") << "crash";
        QTest::newRow("log-out while the server hangs") << "hang";
    }

    // The desktop's own session manager starts the agent from its autostart entry and takes it for that entry's
    // application: it starts it again after a crash, and a log-out ends the session at once with the agent's answers.
    void realSessionManager()
    {
        QFETCH(QString, road);
        const TestEnv::TempRoot &root = m_fixture->root();
        m_fixture->sessionManager().stop();
        const auto restore = qScopeGuard([this] { m_fixture->restart(Fixture::SessionManager); });
        QProcess x, session;
        x.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp"});
        QVERIFY(TestEnv::waitFor([&] { return x.canReadLine(); }));

        // The agent's own autostart entry, its program run in the sandbox; an empty session of the builtin manager.
        if (road == "hang")
            m_fixture->server().setReply("login", DomainServer::fault("hang"));
        m_fixture->prepareAgent(Joined);
        root.writeFile("/gs/agent.sh", m_fixture->agent().script().toUtf8(), true);
        QFile entry(TestEnv::sourceDir() + "/data/kiv-domain-session-agent.desktop");
        QVERIFY(entry.open(QIODevice::ReadOnly));
        root.writeFile("/gs/config/autostart/kiv-domain-session-agent.desktop",
                       entry.readAll().replace("Exec=/usr/share/kiv-domain-client/kiv-domain-session-agent",
                                               QFile::encodeName("Exec=" + root.path("/gs/agent.sh"))));
        root.writeFile("/gs/data/gnome-session/sessions/empty.session", "[GNOME Session]\nName=Empty\nRequiredComponents=\n");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", ":" + x.readLine().trimmed());
        env.insert("XDG_CONFIG_DIRS", root.path("/gs/config"));
        env.insert("XDG_DATA_DIRS", root.path("/gs/data") + ":/usr/share");
        session.setProcessEnvironment(env);
        session.setStandardOutputFile(QProcess::nullDevice());
        session.setStandardErrorFile(QProcess::nullDevice());
        session.start("gnome-session", {"--builtin", "--session=empty"});
        const auto end = qScopeGuard([&] {
            TestEnv::endProcess(session);
            TestEnv::endProcess(x);
            const qint64 agent = root.readFile("/tmp/program.pid").toLongLong();  // one that outlived the session
            QFile command(QString("/proc/%1/cmdline").arg(agent));
            if (agent > 0 && command.open(QIODevice::ReadOnly) && command.readAll().contains(AGENT_PROGRAM))
                ::kill(pid_t(agent), SIGKILL);
        });

        const auto registered = [&] {  // taken for the autostart entry's application: the startup id matched
            const auto clients = qdbus_cast<QList<QDBusObjectPath>>(managerCall(ManagerPath, Manager, "GetClients"));
            for (const QDBusObjectPath &client : clients)  // none when the manager answered with an error
                if (managerCall(client.path(), Manager + ".Client", "GetAppId") == "kiv-domain-session-agent.desktop")
                    return client.path();
            return QString();
        };
        QVERIFY(TestEnv::waitFor([&] { return !registered().isEmpty() && sessionNameOwned(); }, 10000));
        if (road == "crash") {
            const QString crashed = registered();
            const QByteArray pid = root.readFile("/tmp/program.pid");
            ::kill(pid_t(pid.toLongLong()), SIGSEGV);
            // A new agent registers only once it owns the name.
            QVERIFY(TestEnv::waitFor([&] { return registered() != crashed && !registered().isEmpty() && sessionNameOwned(); },
                                     5000));
            QVERIFY(root.readFile("/tmp/program.pid") != pid);
        } else if (road == "hang") {
            QVERIFY(root.waitForLog("setHeartBeat timeout("));
            Fixture::call("post_login");
            QVERIFY(m_fixture->server().waitForRequests("login", 1));
        }

        QCOMPARE(managerCall(ManagerPath, Manager, "Logout", {1u}), QVariant());
        QVERIFY2(session.waitForFinished(2000), qPrintable(root.logText()));
        // The agent ends by itself: its sandbox outlives the session manager.
        const QRegularExpression quit("SessionClient: (the session ends|the session manager stops the agent), quitting\n");
        QVERIFY2(TestEnv::waitFor([&] { return !sessionNameOwned() && root.logText().contains(quit); }, 5000),
                 qPrintable(root.logText()));
    }

    void processProbes_data()
    {
        QTest::addColumn<int>("copies");
        QTest::addColumn<QString>("query");  // %1: the copies' name, %2: their folder
        QTest::addColumn<uid_t>("asUser");
        QTest::addColumn<int>("count");

        for (int copies : {0, 1, 2, 3})
            QTest::addRow("%d copies", copies) << copies << "%1" << 0u << copies;
        QTest::newRow("longer name") << 1 << "%1x" << 0u << 0;
        QTest::newRow("full path") << 1 << "%2/%1" << 0u << 0;
        QTest::newRow("another user's processes") << 1 << "%1" << 65534u << 0;
    }

    void processProbes()
    {
        QFETCH(int, copies);
        QFETCH(QString, query);
        QFETCH(uid_t, asUser);
        QFETCH(int, count);

        QProcess processes[3];  // killed with the row
        for (int i = 0; i < copies; ++i) {
            processes[i].start(m_programs.filePath(m_name), {"300"});
            QVERIFY(processes[i].waitForStarted());
        }
        const QString name = QString(query).replace("%1", m_name).replace("%2", m_programs.path());
        QCOMPARE(seteuid(asUser), 0);
        const QList<int> seen{count_process(qPrintable(name)), Utils::isProcessExisted(name),
                              Utils::isSelfProcessExisted(name)};
        QCOMPARE(seteuid(0), 0);
        QCOMPARE(seen, (QList<int>{count, count > 0, count == 2}));  // the caller counts itself: two are one more copy
    }

private:
    std::unique_ptr<Fixture> m_fixture;
    QTemporaryDir m_programs;
    const QString m_name = QString("kivprobe%1").arg(getpid());  // copies of a program under a name no other has
};

QTEST_MAIN(TestRuntime)
#include "tst_runtime.moc"

// The task dialogs and the notice on a real X display, drawn by the real agent: where each window lies on screens this
// process cannot have, what a screen reader hears and where the keyboard goes, in English and Chinese.
#include <QtTest>

#include <QDBusInterface>
#include <QJsonDocument>
#include <QJsonObject>

#include "fixture.h"
#include "xscreen.h"

class TestTasksOnScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.reset(new Fixture(Fixture::Daemon | Fixture::Server));
        m_fixture->root().writeFile("/usr/share/kiv-domain-client/tasks/t-1/office.deb", "!<arch>\n");
        QFile catalogue(TestEnv::binaryDir() + "/translations/kiv-domain-session-agent_en.qm");
        QVERIFY(catalogue.open(QIODevice::ReadOnly));
        m_fixture->root().writeFile("/usr/share/kiv-domain-client/translations/kiv-domain-session-agent_en.qm",
                                    catalogue.readAll());
        qputenv("QT_QPA_PLATFORM", "xcb");  // for the agent; this process keeps its own platform
        // A screen reader's bus beside the session bus.
        m_a11yBus.start("/usr/libexec/at-spi-bus-launcher", {"--launch-immediately"});
        QVERIFY(TestEnv::waitFor(
            [] { return QDBusInterface("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus").isValid(); }));
    }

    void cleanupTestCase() { TestEnv::endProcess(m_a11yBus); }
    void init() { m_fixture->reset(); }

    void cleanup()
    {
        m_fixture->stopAgent();
        for (QProcess *process : {&m_other, &m_reader, &m_windowManager})
            TestEnv::endProcess(*process);
        m_x.reset();
        m_fixture->agentAsTestUser = false;
        for (const char *name : {"LC_ALL", "LANGUAGE", "QT_ACCESSIBILITY", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON"})
            qunsetenv(name);
        QVERIFY(m_fixture->standInsAlive());
    }

    void keyboardAndScreenReader_data()
    {
        QTest::addColumn<QString>("locale");  // LC_ALL, and LANGUAGE where given
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QStringList>("said");   // announced as it shows: the title, then a part of the message
        QTest::addColumn<QStringList>("keys");   // pressed once the window manager gave the window the keyboard
        QTest::addColumn<QStringList>("focus");  // the button the keyboard starts on, then the one after each key but the last
        QTest::addColumn<int>("request");        // InstallRequest's code; -1 none

        const QString later = "稍后安装";
        QTest::newRow("prompt, zh_CN: Tab round, Enter installs later")
            << "zh_CN.UTF-8 zh_CN:en" << "prompt" << QStringList{"软件安装提示", "即将开始软件安装任务“办公套件”"}
            << QStringList{"Tab", "Tab", "Tab", "shift+Tab", "Tab", "Return"}
            << QStringList{later, "关闭", "立即安装", later, "立即安装", later} << 1;
        QTest::newRow("prompt, English: keypad Enter on install now")
            << "en_US.UTF-8" << "prompt" << QStringList{"Software installation", "task “办公套件” will start soon"}
            << QStringList{"shift+Tab", "KP_Enter"} << QStringList{"Install later", "Install now"} << 0;
        QTest::newRow("prompt, C: Escape answers nothing")
            << "C" << "prompt" << QStringList{"软件安装提示", "安装可能关闭当前正在运行的程序"} << QStringList{"Escape"}
            << QStringList{later} << -1;
        QTest::newRow("count-down, English: not on restart, Space closes")
            << "en_US.UTF-8" << "count-down" << QStringList{"Restart count-down", "The computer restarts in 180 seconds"}
            << QStringList{"Tab", "Tab", "space"} << QStringList{"Close", "Restart now", "Close"} << -1;
        QTest::newRow("progress, zh_CN: Escape")
            << "zh_CN.UTF-8" << "progress" << QStringList{"软件安装进度", "软件安装任务 “办公套件” 当前进度："}
            << QStringList{"Escape"} << QStringList{"关闭"} << -1;
        QTest::newRow("notice, English: announced") << "en_US.UTF-8" << "notice" << QStringList{"Notice", "终端"}
                                                    << QStringList() << QStringList() << -1;
    }

    // Each window is announced as an alert (title, message) and leaves the keyboard where the user types; the window
    // cycle reaches it, on the safe button; Tab, Shift+Tab go round, Enter, KP_Enter, Space press, Escape closes.
    void keyboardAndScreenReader()
    {
        QFETCH(QString, locale);
        QFETCH(QString, dialog);
        QFETCH(QStringList, said);
        QFETCH(QStringList, keys);
        QFETCH(QStringList, focus);
        QFETCH(int, request);
        m_x.reset(new XScreen({"1280x800"}, 96));
        QVERIFY(m_x->isRunning());
        QVERIFY(TestEnv::waitFor([this] {
            if (m_windowManager.state() == QProcess::NotRunning)  // the display may not take clients at once
                m_windowManager.start("openbox", {"--sm-disable"});
            return xTool({"-root", "_NET_SUPPORTING_WM_CHECK"}, "xprop").contains("window id");
        }));
        // The display names the screen reader's bus, as a session's launcher does; Qt finds it there at start (the window manager
        // keeps the display from resetting).
        const QDBusMessage a11yBus = QDBusInterface("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus").call("GetAddress");
        xTool({"-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS", a11yBus.arguments().value(0).toString()}, "xprop");
        m_reader.start("/usr/bin/python3", {TestEnv::sourceDir() + "/tests/tasks/atspi-events.py"});
        QVERIFY(TestEnv::waitFor([this] { return m_reader.canReadLine(); }) && m_reader.readLine() == "ready\n");
        for (const char *name : {"QT_ACCESSIBILITY", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON"})
            qputenv(name, "1");
        qputenv("LC_ALL", locale.section(' ', 0, 0).toUtf8());
        qputenv("LANGUAGE", locale.section(' ', 1).toUtf8());
        m_fixture->agentAsTestUser = true;
        QVERIFY(m_fixture->startAgent("[init]\nadd_domain_success=true\n"));
        QVERIFY(TestEnv::waitFor([this] { return m_reader.canReadLine() && m_reader.readLine() == "agent\n"; }));

        // The user works in another program, which has the keyboard.
        m_other.start("xev", {"-event", "keyboard"});
        QString other;
        QVERIFY(TestEnv::waitFor([&] { return !(other = xTool({"search", "--onlyvisible", "--name", "Event Tester"})).isEmpty(); }));
        QVERIFY(TestEnv::waitFor([&] { return xTool({"getwindowfocus"}) == other; }));
        QStringList known = m_x->windows();
        QCOMPARE(showDialog(dialog, "办公套件", "终端未加入域"), QString());
        const QString window = m_x->waitForNewWindow(known);
        QVERIFY(!window.isEmpty());
        const QJsonObject shown = heard("object:state-changed:showing", "alert");
        QCOMPARE(shown.value("name").toString(), said.first());
        QVERIFY2(shown.value("description").toString().contains(said.last()), qPrintable(shown.value("description").toString()));
        QCOMPARE(xTool({"getwindowname", window}), said.first());
        if (dialog == "notice")
            return;
        // An ordinary window: every window manager's window cycle and window list take it (some leave tool windows out).
        // The first type the window manager reads is its type; Qt adds "normal" after it for window managers without it.
        const QStringList types = xTool({"-id", window, "_NET_WM_WINDOW_TYPE"}, "xprop").section("= ", 1).split(", ");
        QCOMPARE(types.filter(QRegularExpression("^_NET_WM_WINDOW_TYPE_")).value(0), QString("_NET_WM_WINDOW_TYPE_NORMAL"));

        // Typing meant for the other program stays there.
        QCOMPARE(xTool({"key", "space", "Return", "KP_Enter", "Escape"}), QString());
        QVERIFY(TestEnv::waitFor([this] { return m_otherOutput.append(m_other.readAll()).contains("Escape"); }));
        QCOMPARE(xTool({"getwindowfocus"}), other);
        QVERIFY(m_x->windows().contains(window));

        xTool({"key", "alt+Tab"});
        QStringList focused;
        for (const QString &key : keys) {
            focused << heard("object:state-changed:focused", "push button").value("name").toString();
            xTool({"key", key});
        }
        QCOMPARE(focused, focus);
        QVERIFY(TestEnv::waitFor([&] { return !m_x->windows().contains(window); }));
        const QList<QVariantList> requests = m_fixture->daemon().callsOf(TaskManager, "InstallRequest");
        QCOMPARE(requests, (request < 0 ? QList<QVariantList>() : QList<QVariantList>{{"t-1", request}}));
        if (dialog == "prompt")  // the log keeps the system's own words
            QVERIFY(m_fixture->root().logText().contains("即将开始软件安装任务“办公套件”，\" \"安装可能关闭当前正在运行的程序"));
    }

    // Answers come at once while the server (policy query, log-in report) or the daemon (server online?) is slow; an
    // early log-in call (as the name is owned) on a hanging server leaves reboot notices showing the count-down.
    void servedWhilePeersAreSlow_data()
    {
        QTest::addColumn<QString>("slow");
        QTest::newRow("server slow on a policy query") << "policy";
        QTest::newRow("server slow on the log-in report") << "report";
        QTest::newRow("daemon slow to say the server is online") << "daemon";
        QTest::newRow("count-down after an early log-in on a hanging server") << "early";
    }

    void servedWhilePeersAreSlow()
    {
        QFETCH(QString, slow);
        m_x.reset(new XScreen({"1280x800"}, 96));
        QVERIFY(m_x->isRunning());
        DomainServer &server = m_fixture->server();
        const QJsonObject slowAnswer{{"body", "welcome alice"}, {"delay_ms", 12000}};
        QVERIFY(server.setReply("login", slow == "early" ? DomainServer::fault("hang") : slowAnswer));
        QJsonObject policy = DomainServer::policyReply("file:///srv/corp.png");
        policy.insert("delay_ms", 12000);
        QVERIFY(server.setPolicy("wallpaper", policy));
        const QByteArray config = "[init]\nadd_domain_success=true\nip_port=%SERVER%\n[policy]\nitems=pictureUri\n";
        QStringList known = m_x->windows();
        if (slow == "early") {
            QVERIFY(m_fixture->startAgent(config, Kiv5Release, false));
            QVERIFY(TestEnv::waitFor([] { return sessionNameOwned(); }));
            const QDBusPendingCall login = Fixture::call("post_login");
            QVERIFY(server.waitForRequests("login", 1));
            showDialog("count-down", "办公套件");
            QVERIFY(!m_x->waitForNewWindow(known).isEmpty());
            return;
        }
        QVERIFY(m_fixture->startAgent(config, Kiv5Release));
        showDialog("prompt", "办公套件");
        const QString window = m_x->waitForNewWindow(known);
        QVERIFY(!window.isEmpty());
        if (slow == "policy") {
            QCOMPARE(TestEnv::runCommand("gsettings", {"set", "org.qoro.desktop.background", "picture-uri", "'file:///cat.png'"})
                         .exitCode, 0);
            QVERIFY(TestEnv::waitFor([&] { return server.policyQueries().contains("wallpaper"); }));
        } else {
            if (slow == "daemon")
                m_fixture->daemonDelay("is_domain_online", 5);
            Fixture::call("post_login");
            if (slow == "report")
                QVERIFY(server.waitForRequests("login", 1));
        }
        // The window takes the keyboard from a click, and Return answers the focused "稍后安装".
        const QRect shown = m_x->geometry(window);
        const QStringList click{"mousemove", QString::number(shown.center().x()), QString::number(shown.top() + 10), "click", "1"};
        QCOMPARE(TestEnv::runCommand("xdotool", click).exitCode, 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(TestEnv::runCommand("xdotool", {"key", "Return"}).exitCode, 0);
        QVERIFY(TestEnv::waitFor([&] { return !m_x->windows().contains(window); }, 5000));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(m_fixture->daemon().callsOf(TaskManager, "InstallRequest"),
                                  (QList<QVariantList>{{"t-1", 1}}), 15000);
    }

    void windowsLieOnThePrimaryScreen_data()
    {
        QTest::addColumn<QStringList>("monitors");
        QTest::addColumn<int>("dpi");
        QTest::addColumn<QRect>("panel");  // the work area once the prompt shows
        QTest::addColumn<QRect>("area");   // where the windows must lie, in screen pixels
        QTest::addColumn<int>("scale");

        const QRect narrowArea(100, 40, 540, 440), rightArea(200, 0, 1080, 800);  // what the panels leave
        QTest::newRow("192 dpi") << QStringList{"2560x1600"} << 192 << QRect() << QRect(0, 0, 2560, 1600) << 2;
        QTest::newRow("two monitors") << QStringList{"1280x800", "1024x768"} << 96 << QRect() << QRect(0, 0, 1280, 800)
                                      << 1;
        QTest::newRow("narrow screen, panels arrive") << QStringList{"640x480"} << 96 << narrowArea << narrowArea << 1;
        QTest::newRow("a panel arrives on the left") << QStringList{"1280x800"} << 96 << rightArea << rightArea << 1;
    }

    // Each window lies on the primary screen's available area, at its top centre (the progress dialog in its middle),
    // also after the area changed (fitted again where it narrowed); on a 192-dpi screen it is twice as large.
    void windowsLieOnThePrimaryScreen()
    {
        QFETCH(QStringList, monitors);
        QFETCH(int, dpi);
        QFETCH(QRect, panel);
        QFETCH(QRect, area);
        QFETCH(int, scale);
        m_x.reset(new XScreen(monitors, dpi));
        QVERIFY(m_x->isRunning());
        QVERIFY(m_fixture->startAgent("[init]\nadd_domain_success=true\n"));

        if (!panel.isNull()) {
            // A work area change while nothing shows measures no texts: fonts (megabytes for Chinese) stay unloaded.
            QVERIFY(m_x->setWorkArea(area.united(QRect(0, 0, 1, 1)).adjusted(0, 0, 0, -1)));  // as wide as the screen
            QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
            QFile maps(QString("/proc/%1/maps").arg(m_fixture->agent().agentPid()));
            QVERIFY2(maps.open(QIODevice::ReadOnly), qPrintable(maps.errorString()));
            QCOMPARE(QString::fromUtf8(maps.readAll()).split('\n').filter("/fonts/"), QStringList());
        }
        QStringList known = m_x->windows();
        const QString name = QString("办公套件").repeated(5), notice = QString("终端未加入域，请联系管理员处理。").repeated(4);
        for (const QString &dialog : {"prompt", "progress", "count-down", "notice"}) {
            QCOMPARE(showDialog(dialog, name, notice, 30), QString());
            const QString window = m_x->waitForNewWindow(known);
            QVERIFY2(!window.isEmpty(), qPrintable(dialog));
            if (dialog == "prompt" && !panel.isNull()) {
                QVERIFY(m_x->setWorkArea(panel));
                QVERIFY(TestEnv::waitFor([&] {  // placed again
                    const QRect moved = m_x->geometry(window);
                    return moved.top() >= panel.top() && qAbs(moved.center().x() - panel.center().x()) <= 1;
                }));
            }

            const QRect shown = m_x->geometry(window);
            const QString where =
                dialog + QString(": %1,%2 %3x%4").arg(shown.x()).arg(shown.y()).arg(shown.width()).arg(shown.height());
            const int top = dialog == "progress" ? area.center().y() - shown.height() / 2 : area.top() + 10 * scale;
            const bool centred = qAbs(shown.center().x() - area.center().x()) <= 1 && qAbs(shown.top() - top) <= 1;
            QVERIFY2(area.contains(shown) && centred, qPrintable(where));

            if (dialog == "prompt") {
                // "X" answers Escape, once a click gave the window the keyboard (there is no window manager).
                const QPoint title(shown.left() + 20 * scale, shown.bottom() - 12 * scale);
                const QStringList click{"mousemove", QString::number(title.x()), QString::number(title.y()), "click", "1"};
                QCOMPARE(TestEnv::runCommand("xdotool", click + QStringList{"key", "Escape"}).exitCode, 0);
                QVERIFY(TestEnv::waitFor([&] { return !m_x->windows().contains(window); }));
            }
        }
    }

private:
    // The daemon asks for a dialog about the task, or a peer for the notice; the peer's answer, if any.
    QString showDialog(const QString &dialog, const QString &name, const QString &notice = {}, int completeTime = 0)
    {
        if (dialog == "notice")
            return Fixture::answer(Fixture::call("showNotify", {notice, 30}));
        if (dialog == "prompt")
            m_fixture->daemonSignal(TaskManager, "InstallNotify", "ssbbi", {"t-1", name, false, true, completeTime});
        else
            m_fixture->daemonSignal(TaskManager, dialog == "progress" ? "ShowProgress" : "RebootNotify", "ss",
                                    {"t-1", name});
        return {};
    }

    static QString xTool(const QStringList &arguments, const QString &tool = "xdotool")
    {
        return TestEnv::runCommand(tool, arguments).output.trimmed();
    }

    // The screen reader's next event of this kind from an object of this role, waited for; empty when none came.
    QJsonObject heard(const QString &event, const QString &role)
    {
        QJsonObject line;
        const auto matches = [&] { return line.value("event") == event && line.value("role") == role; };
        TestEnv::waitFor([&] {
            while (!matches() && m_reader.canReadLine())
                line = QJsonDocument::fromJson(m_reader.readLine()).object();
            return matches();
        });
        return matches() ? line : QJsonObject();
    }

    static inline const QString TaskManager = "/com/domain/taskmanager";
    std::unique_ptr<Fixture> m_fixture;
    std::unique_ptr<XScreen> m_x;
    QProcess m_a11yBus, m_windowManager, m_reader, m_other;
    QByteArray m_otherOutput;
};

QTEST_MAIN(TestTasksOnScreen)
#include "tst_tasksonscreen.moc"

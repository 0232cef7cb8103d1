// The task dialogs and the notice as a user meets them: the real agent in its sandbox draws on a
// private X display; the daemon's stand-in sends the task signals, logind's stand-in records the
// reboot, and the test sees and handles the windows from outside with the X tools.
#include <QtTest>

#include "agentrun.h"
#include "tasktestsupport.h"
#include "xscreen.h"

using TaskTest::XScreen;
using TaskTest::XWindow;

namespace {
const QString Prompt = QStringLiteral("TaskInstallNotify");
const QString Progress = QStringLiteral("TaskInstallProgress");
const QString CountDown = QStringLiteral("TaskRebootNotify");
const QString Notice = QStringLiteral("Notify");
const QString LogindPath = QStringLiteral("/org/freedesktop/login1");
const QString LogindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString TaskStore = QStringLiteral("/usr/share/kiv-domain-client/tasks/");
const QColor Orange(0xff, 0xa9, 0x40);  // "立即安装" and "立即重启"

// The size each dialog's form gives it, the least size of its window.
const QHash<QString, QSize> FormSizes{{Prompt, {800, 85}}, {Progress, {436, 77}}, {CountDown, {750, 50}}};

XScreen::Setup screen(QList<QSize> monitors, int dpi = 96) { return XScreen::Setup{std::move(monitors), dpi}; }

QString refusal(const QString &name)
{
    return QString("raise dbus.exceptions.DBusException('refused by the test', name='%1')").arg(name);
}
}  // namespace

Q_DECLARE_METATYPE(XScreen::Setup)

class TestTasksOnScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void routing_data();
    void routing();
    void takenBackPressDoesNothing_data();
    void takenBackPressDoesNothing();
    void windowsShowTheirTextOnTheScreen_data();
    void windowsShowTheirTextOnTheScreen();
    void refusedRebootIsAskedAgain_data();
    void refusedRebootIsAskedAgain();

private:
    bool startAgent(const XScreen::Setup &setup = screen({{1280, 800}}), const QString &scaleFactor = QString());
    void taskSignal(const QString &name, const QVariantList &args) const;
    void installNotify(const QString &id, const QString &name, bool immediate = false) const
    {
        taskSignal("InstallNotify", {id, name, immediate, true, 30});
    }
    void makeTask(const QString &id) const;
    // The middle of the "X" of a window whose "X" ends its top row at the right edge.
    static QPoint closeButton(const XWindow &window, int top)
    {
        return {window.geometry.right() - 8, window.geometry.top() + top + (window.geometry.height() - top) / 2};
    }
    // A place on the window that is no button: the title's left end, near the bottom.
    static QPoint titleOf(const XWindow &window, int scale)
    {
        return {window.geometry.left() + 20 * scale, window.geometry.bottom() - 12 * scale};
    }
    QList<QVariantList> installRequests() const { return m_daemon->callsOf(TaskTest::TaskPath, "InstallRequest"); }
    QList<QVariantList> reboots() const { return m_logind->callsOf(LogindPath, "Reboot"); }

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<DBusMock> m_logind;
    std::unique_ptr<XScreen> m_x;
    std::unique_ptr<AgentRun> m_agent;
};

void TestTasksOnScreen::initTestCase()
{
    m_root = std::make_unique<TestEnv::TempRoot>(false);
    m_root->writeConfig("[init]\nadd_domain_success=true\n");
    m_daemon = TaskTest::startDaemon();
    m_logind.reset(DBusMock::fromTemplate("logind", DBusMock::SystemBus));
    QVERIFY(m_daemon->isRunning() && m_logind->isRunning());
}

void TestTasksOnScreen::cleanupTestCase()
{
    m_logind.reset();
    m_daemon.reset();
    m_root.reset();
}

void TestTasksOnScreen::init()
{
    m_daemon->clearCalls(TaskTest::TaskPath);
    m_logind->addMethod(LogindPath, LogindManager, "Reboot", "b", "", "");
    m_logind->clearCalls(LogindPath);
}

void TestTasksOnScreen::cleanup()
{
    m_agent.reset();
    m_x.reset();
}

bool TestTasksOnScreen::startAgent(const XScreen::Setup &setup, const QString &scaleFactor)
{
    m_x = std::make_unique<XScreen>(setup);
    if (!m_x->isRunning())
        return false;
    m_agent = std::make_unique<AgentRun>(*m_root);
    m_agent->setEnv("QT_QPA_PLATFORM", "xcb");
    m_agent->setEnv("DISPLAY", m_x->display());
    if (!scaleFactor.isEmpty())
        m_agent->setEnv("QT_SCALE_FACTOR", scaleFactor);
    return m_agent->start();
}

void TestTasksOnScreen::taskSignal(const QString &name, const QVariantList &args) const
{
    QString signature;
    for (const QVariant &arg : args)
        signature += arg.userType() == QMetaType::QString ? "s" : arg.userType() == QMetaType::Bool ? "b" : "i";
    m_daemon->emitSignal(TaskTest::TaskPath, TaskTest::TaskInterface, name, signature, args);
}

void TestTasksOnScreen::makeTask(const QString &id) const
{
    m_root->writeFile(TaskStore + id + "/office.deb", "!<arch>\n");
    m_root->writeFile(TaskStore + id + "/install.log", "正在设置 office (1.0) ...\n");
}

// Which dialog wins: a reboot on its way keeps prompts away, also with its count-down closed; an
// installation's end hides the prompt of its own task only.
void TestTasksOnScreen::routing_data()
{
    QTest::addColumn<bool>("countDownClosed");
    QTest::addColumn<QString>("promptTask");
    QTest::addColumn<QString>("finishedTask");
    QTest::addColumn<bool>("promptStays");

    QTest::newRow("count-down closed, prompt kept away") << true << "t-after" << "" << false;
    QTest::newRow("another task ends, the prompt stays") << false << "t-waiting" << "t-other" << true;
    QTest::newRow("its own task ends, the prompt goes") << false << "t-own" << "t-own" << false;
}

void TestTasksOnScreen::routing()
{
    QFETCH(bool, countDownClosed);
    QFETCH(QString, promptTask);
    QFETCH(QString, finishedTask);
    QFETCH(bool, promptStays);
    QVERIFY(startAgent());

    if (countDownClosed) {
        taskSignal("RebootNotify", {QString("t-reboot"), QString("办公套件")});
        const XWindow countDown = m_x->waitForWindow(CountDown);
        QVERIFY(!countDown.isNull());
        QVERIFY(m_x->click(closeButton(countDown, 10)));
        QVERIFY(m_x->waitForNoWindow(CountDown));
    }

    // An immediate prompt stays while its task installs; only its end takes it away.
    installNotify(promptTask, "浏览器", true);
    QVERIFY(m_root->waitForLog(QString("onInstallNotify: taskId(%1)").arg(promptTask)));
    if (countDownClosed) {
        QVERIFY(m_root->waitForLog("reboot notify is show"));
    } else {
        QVERIFY(!m_x->waitForWindow(Prompt).isNull());
    }

    if (!finishedTask.isEmpty()) {
        makeTask(finishedTask);
        taskSignal("ShowProgress", {finishedTask, QString("办公套件")});
        QVERIFY(!m_x->waitForWindow(Progress).isNull());
        // At 100 % the progress dialog reports the end until it closes itself two seconds later.
        QVERIFY(m_x->waitForNoWindow(Progress, 10000));
    }
    QCOMPARE(!m_x->window(Prompt).isNull(), promptStays);
    QVERIFY(installRequests().isEmpty());
}

// A press that the user takes back, by moving off the button before letting go, does nothing; a
// click acts.
void TestTasksOnScreen::takenBackPressDoesNothing_data()
{
    QTest::addColumn<QString>("dialog");
    QTest::newRow("立即安装") << Prompt;
    QTest::newRow("立即重启") << CountDown;
}

void TestTasksOnScreen::takenBackPressDoesNothing()
{
    QFETCH(QString, dialog);
    QVERIFY(startAgent());

    const auto show = [&] {
        if (dialog == Prompt)
            installNotify("t-press", "输入法");
        else
            taskSignal("RebootNotify", {QString("t-press"), QString("输入法")});
    };
    show();
    XWindow window = m_x->waitForWindow(dialog);
    QVERIFY(!window.isNull());
    QRect button;
    QVERIFY(TestEnv::waitFor([&] { return !(button = m_x->findColour(window, Orange)).isEmpty(); }));

    // Taken back; then closed with Escape, which the agent handles after the press and release.
    QVERIFY(m_x->pressAndReleaseElsewhere(button.center(), titleOf(window, 1)));
    QVERIFY(m_x->click(titleOf(window, 1)));
    QVERIFY(m_x->key("Escape"));
    QVERIFY(m_x->waitForNoWindow(dialog));
    QVERIFY(installRequests().isEmpty());
    QVERIFY(reboots().isEmpty());

    show();
    window = m_x->waitForWindow(dialog);
    QVERIFY(TestEnv::waitFor([&] { return !(button = m_x->findColour(window, Orange)).isEmpty(); }));
    QVERIFY(m_x->click(button.center()));
    if (dialog == Prompt) {
        QVERIFY(TestEnv::waitFor([&] { return !installRequests().isEmpty(); }));
        QCOMPARE(installRequests(), QList<QVariantList>{QVariantList({QString("t-press"), 0})});
    } else {
        QVERIFY(TestEnv::waitFor([&] { return !reboots().isEmpty(); }));
        QCOMPARE(reboots(), QList<QVariantList>{QVariantList{false}});
    }
    QVERIFY(m_x->waitForNoWindow(dialog));
}

// Each window shows its whole text on the primary screen's available area, at its form's size or
// larger: with a long task name, on a 2x screen, on the first of two monitors, on a screen
// narrower than the banner, and after a panel appeared. "X" answers the Escape key once the window
// was clicked (no window manager gives it the keyboard before), and a prompt's buttons are there
// to click.
void TestTasksOnScreen::windowsShowTheirTextOnTheScreen_data()
{
    QTest::addColumn<XScreen::Setup>("setup");
    QTest::addColumn<QString>("scaleFactor");  // QT_SCALE_FACTOR of the agent
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<QString>("text");         // the task name, or the notice
    QTest::addColumn<QRect>("panelArrives");   // the work area after the window shows
    QTest::addColumn<QRect>("area");           // where the window must lie, in screen pixels
    QTest::addColumn<int>("scale");
    QTest::addColumn<bool>("grows");           // taller than its form (times the scale)
    QTest::addColumn<QString>("screenshot");

    const QString name20 = QString("办公套件").repeated(5);
    const QString name60 = QString("企业办公套件专业版").repeated(6);
    const QString longNotice = QString("终端未加入域，请联系管理员处理。").repeated(4);
    const QRect desktop(0, 0, 1280, 800);
    const QRect big(0, 0, 2560, 1600);
    const QRect narrow(0, 0, 640, 480);

    QTest::newRow("prompt, long task name") << screen({{1280, 800}}) << "" << Prompt << name60 << QRect() << desktop
                                            << 1 << true << "taskinstallnotify-96dpi";
    QTest::newRow("prompt, QT_SCALE_FACTOR=2") << screen({{2560, 1600}}) << "2" << Prompt << name20 << QRect() << big
                                               << 2 << false << "taskinstallnotify-2x";
    QTest::newRow("prompt, 192 dpi") << screen({{2560, 1600}}, 192) << "" << Prompt << name20 << QRect() << big << 2
                                     << false << "";
    QTest::newRow("prompt, two monitors") << screen({{1280, 800}, {1024, 768}}) << "" << Prompt << name20 << QRect()
                                          << desktop << 1 << false << "";
    QTest::newRow("prompt, narrow screen") << screen({{640, 480}}) << "" << Prompt << name20 << QRect() << narrow << 1
                                           << true << "";
    QTest::newRow("prompt, a panel arrives") << screen({{1280, 800}}) << "" << Prompt << name20
                                             << QRect(0, 40, 1280, 760) << QRect(0, 40, 1280, 760) << 1 << false << "";
    QTest::newRow("count-down, two monitors") << screen({{1280, 800}, {1024, 768}}) << "" << CountDown << name20
                                              << QRect() << desktop << 1 << false << "taskrebootnotify-96dpi";
    QTest::newRow("count-down, QT_SCALE_FACTOR=2") << screen({{2560, 1600}}) << "2" << CountDown << name20 << QRect()
                                                   << big << 2 << false << "taskrebootnotify-2x";
    QTest::newRow("count-down, narrow screen") << screen({{640, 480}}) << "" << CountDown << name20 << QRect()
                                               << narrow << 1 << false << "";
    QTest::newRow("progress, two monitors") << screen({{1280, 800}, {1024, 768}}) << "" << Progress << name60
                                            << QRect() << desktop << 1 << false << "taskinstallprogress-96dpi";
    QTest::newRow("progress, QT_SCALE_FACTOR=2") << screen({{2560, 1600}}) << "2" << Progress << name20 << QRect()
                                                 << big << 2 << false << "taskinstallprogress-2x";
    QTest::newRow("notice, two monitors") << screen({{1280, 800}, {1024, 768}}) << "" << Notice << longNotice
                                          << QRect() << desktop << 1 << false << "";
    QTest::newRow("notice, narrow screen") << screen({{640, 480}}) << "" << Notice << longNotice << QRect() << narrow
                                           << 1 << true << "";
}

void TestTasksOnScreen::windowsShowTheirTextOnTheScreen()
{
    QFETCH(XScreen::Setup, setup);
    QFETCH(QString, scaleFactor);
    QFETCH(QString, dialog);
    QFETCH(QString, text);
    QFETCH(QRect, panelArrives);
    QFETCH(QRect, area);
    QFETCH(int, scale);
    QFETCH(bool, grows);
    QFETCH(QString, screenshot);
    QVERIFY(startAgent(setup, scaleFactor));

    if (dialog == Prompt) {
        installNotify("t-screen", text);
    } else if (dialog == CountDown) {
        taskSignal("RebootNotify", {QString("t-screen"), text});
    } else if (dialog == Progress) {
        makeTask("t-screen");
        taskSignal("ShowProgress", {QString("t-screen"), text});
    } else {
        QCOMPARE(TestEnv::callAgent("showNotify", {text, "30"}).exitCode, 0);
    }
    XWindow window = m_x->waitForWindow(dialog);
    QVERIFY(!window.isNull());
    if (!panelArrives.isNull()) {
        QVERIFY(m_x->setWorkArea(panelArrives));
        QVERIFY(TestEnv::waitFor([&] { return (window = m_x->window(dialog)).geometry.top() >= panelArrives.top(); }));
    }
    const QRect shown = window.geometry;
    const bool hasButton = dialog == Prompt || dialog == CountDown;
    const QString where = QString("%1,%2 %3x%4").arg(shown.x()).arg(shown.y()).arg(shown.width()).arg(shown.height());

    // Within the area, at its top centre (the progress dialog in its middle).
    QVERIFY2(area.contains(shown), qPrintable(where));
    QVERIFY2(qAbs(shown.center().x() - area.center().x()) <= 1, qPrintable(where));
    if (dialog == Progress)
        QVERIFY2(qAbs(shown.center().y() - area.center().y()) <= 1, qPrintable(where));
    else
        QCOMPARE(shown.top(), area.top() + 10 * scale);

    // At least the form's size, or the whole width of a narrower screen; taller where the text
    // needs more lines.
    if (FormSizes.contains(dialog)) {
        const QSize least = FormSizes.value(dialog) * scale;
        QVERIFY2(shown.width() >= qMin(least.width(), area.width()), qPrintable(where));
        QVERIFY2(shown.height() >= least.height(), qPrintable(where));
        QVERIFY2((shown.height() > least.height()) == grows, qPrintable(where));
    } else {
        QVERIFY2((shown.height() > 2 * 20 * scale) == grows, qPrintable(where));  // two lines of text
    }
    if (!screenshot.isEmpty()) {
        const QString dir = TestEnv::binaryDir() + "/screenshots";
        QDir().mkpath(dir);
        // Painted: its orange button shows, where it has one.
        QVERIFY(TestEnv::waitFor([&] { return !hasButton || !m_x->findColour(window, Orange).isEmpty(); }));
        QVERIFY(m_x->save(window, dir + "/" + screenshot + ".png"));
    }
    if (dialog == Notice)
        return;

    // The orange button lies whole inside the window.
    if (hasButton) {
        QRect button;
        QVERIFY(TestEnv::waitFor([&] { return !(button = m_x->findColour(window, Orange)).isEmpty(); }));
        QVERIFY2(shown.contains(button), qPrintable(where));
    }

    QVERIFY(m_x->click(titleOf(window, scale)));
    QVERIFY(m_x->key("Escape"));
    QVERIFY(m_x->waitForNoWindow(dialog));
    QVERIFY(installRequests().isEmpty());
    QVERIFY(reboots().isEmpty());

    if (dialog == Prompt) {
        // Shown again, "稍后安装" is the next button right of "立即安装", as wide, and answers.
        installNotify("t-again", text);
        window = m_x->waitForWindow(dialog);
        QRect button;
        QVERIFY(TestEnv::waitFor([&] { return !(button = m_x->findColour(window, Orange)).isEmpty(); }));
        const QPoint later = button.center() + QPoint(button.width() + 6 * scale, 0);
        QVERIFY2(window.geometry.contains(later) && area.contains(later), qPrintable(where));
        QVERIFY(m_x->click(later));
        QVERIFY(TestEnv::waitFor([&] { return !installRequests().isEmpty(); }));
        QCOMPARE(installRequests(), QList<QVariantList>{QVariantList({QString("t-again"), 1})});
    }
}

// logind refuses to reboot without asking the user: it is asked once more, allowing it to ask.
// Refused again, the count-down shows again and its button asks anew. A slow logind leaves the
// agent serving its callers meanwhile, and the reboot on its way keeps prompts away.
void TestTasksOnScreen::refusedRebootIsAskedAgain_data()
{
    QTest::addColumn<QString>("logindAnswer");  // the body of the stand-in's Reboot
    QTest::addColumn<QList<QVariantList>>("asked");
    QTest::addColumn<bool>("showsAgain");

    const QString needsUser =
        "if not args[0]: " + refusal("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired");
    QTest::newRow("accepted") << "" << QList<QVariantList>{{false}} << false;
    QTest::newRow("accepted when the user may be asked") << needsUser << QList<QVariantList>{{false}, {true}} << false;
    QTest::newRow("refused both ways") << refusal("org.freedesktop.DBus.Error.AccessDenied")
                                       << QList<QVariantList>{{false}, {true}} << true;
    QTest::newRow("answered late") << "time.sleep(3)" << QList<QVariantList>{{false}} << false;
}

void TestTasksOnScreen::refusedRebootIsAskedAgain()
{
    QFETCH(QString, logindAnswer);
    QFETCH(QList<QVariantList>, asked);
    QFETCH(bool, showsAgain);
    m_logind->addMethod(LogindPath, LogindManager, "Reboot", "b", "", logindAnswer);
    QVERIFY(startAgent());

    taskSignal("RebootNotify", {QString("t-reboot"), QString("办公套件")});
    XWindow window = m_x->waitForWindow(CountDown);
    QRect button;
    QVERIFY(TestEnv::waitFor([&] { return !(button = m_x->findColour(window, Orange)).isEmpty(); }));
    QVERIFY(m_x->click(button.center()));

    if (logindAnswer.startsWith("time.sleep")) {
        QElapsedTimer answered;
        answered.start();
        QCOMPARE(TestEnv::callAgent("showNotify", {"仍在服务", "0"}).exitCode, 0);
        QVERIFY2(answered.elapsed() < 2000, qPrintable(QString::number(answered.elapsed())));
        installNotify("t-meanwhile", "浏览器");
        QVERIFY(m_root->waitForLog("reboot notify is show"));
    }
    QVERIFY(TestEnv::waitFor([&] { return reboots().size() >= asked.size(); }, 15000));
    QCOMPARE(reboots(), asked);

    window = m_x->waitForWindow(CountDown, showsAgain ? 10000 : 1500);
    QCOMPARE(!window.isNull(), showsAgain);
    if (!showsAgain)
        return;
    QVERIFY(m_root->logText().contains("[Warning][default] call Reboot error:"));
    QVERIFY(TestEnv::waitFor([&] { return !(button = m_x->findColour(window, Orange)).isEmpty(); }));
    QVERIFY(m_x->click(button.center()));
    QVERIFY(TestEnv::waitFor([&] { return reboots().size() >= 2 * asked.size(); }, 15000));
    QCOMPARE(reboots(), asked + asked);
}

QTEST_MAIN(TestTasksOnScreen)
#include "tst_tasksonscreen.moc"

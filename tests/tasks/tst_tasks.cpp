// The install task dialogs in this process, as the agent runs them: the router's rules, the prompt, the progress read
// from a task's log, the reboot count-down and whole texts. Answers reach the daemon's and logind's stand-ins.
#include <QtTest>

#include <QAccessible>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <cstdio>
#include <unistd.h>

#include "fixture.h"
#include "paths.h"
#include "pendingreboot.h"
#include "taskinstallnotify.h"
#include "taskinstallprogress.h"
#include "taskmanager.h"
#include "taskrebootnotify.h"

namespace {
const QString TaskStore = "/usr/share/kiv-domain-client/tasks/";
const QString TaskPath = "/com/domain/taskmanager";
const QString LogindPath = "/org/freedesktop/login1";
const QString Refused = "raise dbus.exceptions.DBusException('refused by the test', name='%1')";
const QString Denied = Refused.arg("org.freedesktop.DBus.Error.AccessDenied");
const QMap<QString, QString> Dialogs{
    {"prompt", "TaskInstallNotify"}, {"progress", "TaskInstallProgress"}, {"count-down", "TaskRebootNotify"}};

QStringList messages;  // Qt's messages of the code under test
int messagesWith(const QString &text) { return messages.filter(text).size(); }
QStringList announced;  // what a screen reader is told: the description of each window announced as it shows

// What a screen reader says of a widget: for a label, its text as shown (markup rendered).
QString said(QObject *object, QAccessible::Text text = QAccessible::Name)
{
    return QAccessible::queryAccessibleInterface(object)->text(text);
}
QPushButton *button(QWidget *window, const QString &text)
{
    for (QPushButton *button : window->findChildren<QPushButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}
// Pressed, then moved off the button and let go there: the user took it back.
void takeBack(QPushButton *button)
{
    QTest::mousePress(button, Qt::LeftButton);
    QMouseEvent away(QEvent::MouseMove, QPointF(-5, -5), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(button, &away);
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(-5, -5));
}
int barOf(QWidget *dialog) { return dialog->findChild<QProgressBar *>()->value(); }
}  // namespace

class TestTasks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.reset(new Fixture(Fixture::Daemon | Fixture::Logind, true));
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) { messages << text; });
        m_desktopFont = QApplication::font();
        // A screen reader listens: the dialogs' accessibility events are sent (as Qt's own tests switch it on).
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
        m_prompt.reset(new TaskInstallNotify);
    }

    void init()
    {
        m_fixture->reset();
        messages.clear();
        PendingReboot::clear();  // a count-down of an earlier row is owed no more
    }
    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void initFiveSecondsAfterTheRouter()
    {
        QElapsedTimer since;
        since.start();
        TaskManager router;
        const auto inits = [this] { return m_fixture->daemon().callsOf(TaskPath, "Init").size(); };
        QVERIFY(TestEnv::waitFor([&] { return inits() > 0; }, 10000));
        QVERIFY2(since.elapsed() >= 4750, qPrintable(QString::number(since.elapsed())));  // coarse timers: 5 % early
        QCOMPARE(inits(), 1);
    }

    // Which dialogs the user gets after these steps.
    void routing_data()
    {
        QTest::addColumn<QString>("steps");  // one after the other, split by ", "
        QTest::addColumn<QString>("shown");

        QTest::newRow("a pending reboot keeps prompts away") << "count-down, prompt a" << "count-down";
        QTest::newRow("also with its count-down closed") << "count-down, close count-down, prompt a" << "";
        QTest::newRow("the first prompt waits for its answer") << "prompt a, prompt b" << "prompt a";
        QTest::newRow("a closed prompt gives way") << "prompt a, close prompt, prompt b" << "prompt b";
        QTest::newRow("the reboot hides the prompt") << "prompt a, count-down" << "count-down";
        QTest::newRow("progress over the count-down") << "count-down, progress b" << "count-down, progress b";
        QTest::newRow("another task's end leaves the prompt") << "prompt a, progress b, end" << "progress b, prompt a";
        QTest::newRow("its own task's end hides it, also with the progress closed")
            << "prompt a, progress a, close progress, end" << "";
        // Progress is followed only in a folder right under the task store, and only of a task with packages; a
        // notification for another goes, and the task followed goes on.
        for (const QString &id : {"..", "../salt", "b/c", "empty 0"})
            QTest::newRow(qPrintable("progress of " + id)) << "progress a, progress " + id + ", end" << "progress a";
    }

    void routing()
    {
        QFETCH(QString, steps);
        QFETCH(QString, shown);
        TaskManager router;
        for (const QString &each : steps.split(", "))
            step(router, each);
        QStringList visible;
        for (const QString &dialog : Dialogs.keys()) {
            QWidget *window = routed(dialog);
            const auto *prompt = qobject_cast<TaskInstallNotify *>(window);
            const auto *progress = qobject_cast<TaskInstallProgress *>(window);
            if (window->isVisible())
                visible << (prompt ? "prompt " + prompt->currentTaskId()
                                   : progress ? "progress " + progress->currentTaskId() : dialog);
        }
        QCOMPARE(visible.join(", "), shown);
    }

    // The prompt's text, buttons and answer to the daemon; the rows share one prompt, and an immediate task's must not
    // keep the buttons hidden for the next one.
    void prompt_data()
    {
        QTest::addColumn<QString>("notification");  // minutes, and whether the task needs a reboot, is immediate
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("request");  // InstallRequest's code; -1 none

        // The task name holds markup, which shows as typed.
        const QString starts = "即将开始软件安装任务“<b>办公</b> & <i>”，", mayClose = "安装可能关闭当前正在运行的程序";
        const QString reboot = mayClose + "，并在安装完成后将重启电脑以避免出现未知问题";
        QTest::newRow("30 minutes and a reboot, install now") << "30 reboot" << "立即安装"
                                                              << starts + "预计安装时间30分钟，" + reboot << 0;
        QTest::newRow("install later") << "0" << "稍后安装" << starts + mayClose << 1;
        QTest::newRow("immediate: nothing to choose, X answers nothing") << "0 reboot immediate" << "X" << starts + reboot
                                                                         << -1;
        QTest::newRow("a press taken back answers nothing") << "-5" << "taken back" << starts + mayClose << -1;
    }

    void prompt()
    {
        QFETCH(QString, notification);
        QFETCH(QString, answer);
        QFETCH(QString, text);
        QFETCH(int, request);

        const bool immediate = notification.contains("immediate");
        m_prompt->showNotify("t-1", "<b>办公</b> & <i>", immediate, notification.contains("reboot"),
                             notification.section(' ', 0, 0).toInt());
        QVERIFY(m_prompt->isVisible());
        QCOMPARE(said(m_prompt->findChild<QLabel *>("notify_content")), text);
        QCOMPARE(button(m_prompt.get(), "立即安装")->isVisible(), !immediate);
        QCOMPARE(button(m_prompt.get(), "稍后安装")->isVisible(), !immediate);
        if (answer == "taken back")
            takeBack(button(m_prompt.get(), "立即安装"));
        else
            QTest::mouseClick(button(m_prompt.get(), answer), Qt::LeftButton);
        QCOMPARE(m_prompt->isVisible(), answer == "taken back");
        const QList<QVariantList> requests = m_fixture->daemon().callsOf(TaskPath, "InstallRequest");
        QCOMPARE(requests, (request < 0 ? QList<QVariantList>() : QList<QVariantList>{{"t-1", request}}));
    }

    // Each tick reads only what the package manager appended since the last one, whole lines only.
    void progress_data()
    {
        QTest::addColumn<int>("packages");
        // Per tick: the log before it (see task()), then after it the bar, the set-up lines in the agent's log, and the
        // warnings "Failed to open file for reading".
        QTest::addColumn<QStringList>("ticks");

        QTest::newRow("appended lines counted once")
            << 4 << QStringList{"0 0 0 0", "1 25 1 0", "2 50 2 0", "2 50 2 0", "3 75 3 0", "4 100 4 0"};
        QTest::newRow("a line being written counts once whole") << 4 << QStringList{"1+ 25 1 0", "1+ 25 1 0", "2 50 2 0"};
        QTest::newRow("a replaced log is read from the top") << 4 << QStringList{"2 50 2 0", "1r 25 3 0"};
        QTest::newRow("a shortened log is read from the top") << 4 << QStringList{"3 75 3 0", "1 25 4 0"};
        QTest::newRow("a missing log is warned once while missing")
            << 4 << QStringList{"- 0 0 1", "- 0 0 1", "2 50 2 1", "- 0 2 2", "1 25 3 2"};
        QTest::newRow("more set-up lines than packages: 100") << 3 << QStringList{"1 33 1 0", "4 100 4 0"};
    }

    void progress()
    {
        QFETCH(int, packages);
        QFETCH(QStringList, ticks);
        const QString id = QString(QTest::currentDataTag()).replace(' ', '-');
        task(id, packages, "-");
        TaskInstallProgress dialog;
        dialog.showNotify(id, "办公套件");
        QVERIFY(dialog.isVisible());
        for (const QString &tick : ticks) {
            task(id, 0, tick.section(' ', 0, 0));
            dialog.onCheckProgress();
            const QString seen = QString("%1 %2 %3").arg(barOf(&dialog)).arg(messagesWith("正在设置"))
                                     .arg(messagesWith("Failed to open file for reading"));
            QCOMPARE(seen, tick.section(' ', 1));
        }
    }

    // At 100 % the dialog hides two seconds later; a task shown meanwhile keeps its dialog.
    void hideBelongsToItsTask()
    {
        task("done", 1);
        task("next", 4);
        QElapsedTimer since;
        since.start();
        TaskInstallProgress followed, finished;
        for (TaskInstallProgress *dialog : {&followed, &finished}) {
            dialog->showNotify("done", "已完成");
            dialog->onCheckProgress();
        }
        followed.showNotify("next", "下一个");
        QTRY_VERIFY_WITH_TIMEOUT(!finished.isVisible(), 5000);
        QVERIFY2(since.elapsed() >= 1500, qPrintable(QString::number(since.elapsed())));
        QVERIFY(!TestEnv::waitFor([&] { return !followed.isVisible(); }, 500));
        followed.onCheckProgress();
        QCOMPARE(barOf(&followed), 25);
    }

    // The count-down through its timer's interval and slot, and what logind is asked at its end.
    void countDown_data()
    {
        QTest::addColumn<bool>("closed");           // "X" at once; a second notification shows it again
        QTest::addColumn<QString>("logindAnswer");  // the body of the stand-in's Reboot
        QTest::addColumn<QList<QVariantList>>("asked");
        QTest::addColumn<bool>("showsAgain");

        const QList<QVariantList> twice{{false}, {true}};
        const QString needsUser = Refused.arg("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired");
        QTest::newRow("left open, accepted") << false << "" << QList<QVariantList>{{false}} << false;
        QTest::newRow("closed, accepted") << true << "" << QList<QVariantList>{{false}} << false;
        QTest::newRow("accepted when the user may be asked") << false << "if not args[0]: " + needsUser << twice << false;
        QTest::newRow("refused both ways: waits for the user") << false << Denied << twice << true;
        // logind gives up on a call that does not ask the user after 10 s; one that asks waits for the user's password.
        QTest::newRow("silent 11 s each time: the user's authorisation takes it") << false << "time.sleep(11)" << twice
                                                                                 << false;
    }

    void countDown()
    {
        QFETCH(bool, closed);
        QFETCH(QString, logindAnswer);
        QFETCH(QList<QVariantList>, asked);
        QFETCH(bool, showsAgain);
        m_fixture->logind().addMethod(LogindPath, "org.freedesktop.login1.Manager", "Reboot", "b", "", logindAnswer);
        const QString left = "安装已完成， %1 秒后自动重启";

        announced.clear();
        QAccessible::installUpdateHandler([](QAccessibleEvent *event) {
            if (event->type() == QAccessible::ObjectShow && event->object()->isWidgetType()
                && static_cast<QWidget *>(event->object())->isWindow())
                announced << said(event->object(), QAccessible::Description);
        });
        const auto quiet = qScopeGuard([] { QAccessible::installUpdateHandler(nullptr); });
        TaskRebootNotify dialog;
        dialog.showNotify("t-1", "办公套件");
        QLabel *text = dialog.findChild<QLabel *>("notify_content");
        QTimer *timer = dialog.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(said(text), left.arg(180));
        QCOMPARE(timer->interval(), 1000);
        takeBack(button(&dialog, "立即重启"));
        if (closed)
            QTest::mouseClick(button(&dialog, "X"), Qt::LeftButton);
        QVERIFY(dialog.isVisible() != closed && timer->isActive());
        // Shown every second; a screen reader hears it at its start, when it shows again and at 60, 30 and 10 s.
        for (int seconds = 179; seconds >= 2; --seconds) {
            dialog.onTimeout();
            if (closed && seconds == 120)
                dialog.showNotify("t-2", "输入法");
            QCOMPARE(text->text(), left.arg(seconds));
            QCOMPARE(said(text), left.arg(seconds > 60 ? 180 : seconds > 30 ? 60 : seconds > 10 ? 30 : 10));
        }
        QStringList heard;
        for (int seconds : closed ? QList<int>{180, 120, 60, 30, 10} : QList<int>{180, 60, 30, 10})
            heard << "澄屿终端管控平台： " + left.arg(seconds);
        QCOMPARE(announced, heard);
        QVERIFY(dialog.isVisible() && reboots().isEmpty());
        dialog.onTimeout();
        QVERIFY(!dialog.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isVisible() || !dialog.isRebootPending(), 30000);  // logind has answered
        QCOMPARE(reboots(), asked);
        QCOMPARE(dialog.isVisible(), showsAgain);
        if (!showsAgain)
            return;
        // No count-down asks logind again by itself; the reboot stays owed until the user asks with the button.
        QCOMPARE(said(text), QString("安装已完成，请重启计算机以完成安装"));
        QVERIFY(!dialog.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly)->isActive());
        QVERIFY(dialog.isRebootPending());
        QTest::mouseClick(button(&dialog, "立即重启"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(reboots(), asked + asked, 10000);
    }

    // A refusal coming in a new count-down leaves the asking to that one: no authorisation prompt now and again later.
    void refusedDuringANewCountDown()
    {
        m_fixture->logind().addMethod(LogindPath, "org.freedesktop.login1.Manager", "Reboot", "b", "",
                                      "time.sleep(1)\n" + Denied);
        TaskRebootNotify dialog;
        dialog.showNotify("t-1", "办公套件");
        for (int tick = 0; tick < 180 && dialog.isVisible(); ++tick)
            dialog.onTimeout();
        dialog.showNotify("t-2", "输入法");
        QTRY_COMPARE_WITH_TIMEOUT(messagesWith("call Reboot error:"), 1, 10000);
        QCOMPARE(reboots(), QList<QVariantList>{{false}});
        QVERIFY(dialog.isVisible() && dialog.isRebootPending());
    }

    // A reboot an earlier agent of this boot left owed: what the router takes up at start.
    void resumed_data()
    {
        QTest::addColumn<QString>("file");     // "entry", "link" to one, "foreign" (another user's)
        QTest::addColumn<QString>("boot");     // "this" or another
        QTest::addColumn<qint64>("leftMs");    // from now to the end of the count-down; 0: none
        QTest::addColumn<int>("seconds");      // shown; 0: waits for the user; -1: nothing is owed
        QTest::newRow("100 s left") << "entry" << "this" << qint64(100000) << 100;
        QTest::newRow("its end passed: 30 s to act") << "entry" << "this" << qint64(-50000) << 30;
        QTest::newRow("refused before: waits for the user") << "entry" << "this" << qint64(0) << 0;
        QTest::newRow("an earlier boot") << "entry" << "other" << qint64(100000) << -1;
        QTest::newRow("garbage") << "garbage" << "this" << qint64(100000) << -1;
        QTest::newRow("a link") << "link" << "this" << qint64(100000) << -1;
        QTest::newRow("another user's") << "foreign" << "this" << qint64(100000) << -1;
    }

    void resumed()
    {
        QFETCH(QString, file);
        QFETCH(QString, boot);
        QFETCH(qint64, leftMs);
        QFETCH(int, seconds);
        QFile bootId(Paths::bootIdFile());
        QVERIFY(bootId.open(QIODevice::ReadOnly));
        const QJsonObject entry{{"boot", boot == "this" ? QString::fromLatin1(bootId.readAll()).trimmed() : "0-0"},
                                {"task", "t-1"}, {"name", "办公套件"},
                                {"end", QString::number(leftMs ? QDateTime::currentMSecsSinceEpoch() + leftMs : 0)}};
        const QString path = Paths::runtimeDir() + "/kiv-domain-session-agent.pending-reboot";
        QFile out(file == "link" ? path + ".target" : path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(file == "garbage" ? QByteArray("{\"task\": 7") : QJsonDocument(entry).toJson());
        out.close();
        if (file == "link")
            QVERIFY(QFile::link(out.fileName(), path));
        if (file == "foreign")
            QCOMPARE(chown(QFile::encodeName(path).constData(), 4321, 4321), 0);
        const auto cleanUp = qScopeGuard([&] { QFile::remove(path); QFile::remove(path + ".target"); });

        const std::optional<PendingReboot::Entry> owed = PendingReboot::load();
        QCOMPARE(owed.has_value(), seconds >= 0);
        if (!owed) {
            QCOMPARE(QFile::exists(path), boot == "this");  // an earlier boot's entry goes
            return;
        }
        TaskRebootNotify dialog;
        dialog.resume(*owed);
        QVERIFY(dialog.isVisible() && dialog.isRebootPending());
        QLabel *text = dialog.findChild<QLabel *>("notify_content");
        const int shown = said(text).section(' ', 1, 1).toInt();  // of "安装已完成， N 秒后自动重启"
        if (seconds == 0)
            QCOMPARE(said(text), QString("安装已完成，请重启计算机以完成安装"));
        else
            QVERIFY2(shown <= seconds && shown >= seconds - 2, qPrintable(said(text)));
    }

    // Every text shows whole with a long task name or a large desktop font; a screen reader says each window's title,
    // "关闭" for its "X" and the task for the progress bar.
    void wholeText_data()
    {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("points");  // the desktop's font; 0 keeps Qt's

        const QString longName = QString("企业办公套件专业版").repeated(8);
        QTest::newRow("prompt, long task name") << "prompt" << longName << 0;
        QTest::newRow("prompt, large font") << "prompt" << "办公套件" << 16;
        QTest::newRow("progress, long task name") << "progress" << longName << 0;
        QTest::newRow("count-down, large font") << "count-down" << "办公套件" << 24;
    }

    void wholeText()
    {
        QFETCH(QString, dialog);
        QFETCH(QString, name);
        QFETCH(int, points);
        QFont font = m_desktopFont;
        if (points > 0)
            font.setPointSize(points);
        QApplication::setFont(font);
        const auto restore = qScopeGuard([this] { QApplication::setFont(m_desktopFont); });
        TaskManager router;
        step(router, dialog + " " + name);

        QWidget *window = routed(dialog);
        QVERIFY(window->isVisible());
        const auto inside = [&](QWidget *widget) {
            return window->rect().contains(QRect(widget->mapTo(window, QPoint()), widget->size()));
        };
        for (QLabel *label : window->findChildren<QLabel *>()) {
            const bool whole = label->wordWrap() ? label->heightForWidth(label->width()) <= label->height()
                                                 : label->sizeHint().width() <= label->width();
            QVERIFY2(inside(label) && whole, qPrintable(label->text()));
        }
        for (QPushButton *button : window->findChildren<QPushButton *>())
            QVERIFY2(inside(button) && button->fontMetrics().horizontalAdvance(button->text()) < button->width(),
                     qPrintable(button->text()));
        const QMap<QString, QString> titles{{"prompt", "软件安装提示"}, {"progress", "软件安装进度"}, {"count-down", "重启倒计时"}};
        QCOMPARE(said(window), titles.value(dialog));
        QCOMPARE(said(button(window, "X")), QString("关闭"));
        if (dialog == "progress")
            QCOMPARE(said(window->findChild<QProgressBar *>()), QString("软件安装任务 “%1” 当前进度：").arg(name));
    }

private:
    // A task folder with this many packages and its log: "-" none; "N" N set-up lines, written over the same file;
    // "N+" the same and the next line half written; "Nr" a longer log with N set-up lines put in its place (new file).
    void task(const QString &id, int packages, const QString &log = "1") const
    {
        const TestEnv::TempRoot &root = m_fixture->root();
        const QString path = TaskStore + id + "/install.log";
        for (int i = 1; i <= packages; ++i)
            root.writeFile(TaskStore + id + QString("/pkg%1_1.0_amd64.deb").arg(i), "!<arch>\n");
        QByteArray text = "正在读取软件包列表...\n" + QByteArray("正在解压 libfoo (0.9) ...\n").repeated(log.endsWith('r') ? 20 : 0);
        for (int i = 1; i <= QString(log).remove('+').remove('r').toInt(); ++i)
            text += QString("正在解压 pkg%1 (1.0) ...\n%2正在设置 pkg%1 (1.0) ...\n").arg(i).arg(i % 2 ? "" : "dpkg: ").toUtf8();
        if (log.endsWith('+'))
            text += "正在设置 pkg-next (1";
        if (log == "-")
            return root.remove(path);
        root.writeFile(log.endsWith('r') ? path + ".new" : path, text);
        if (log.endsWith('r'))
            QCOMPARE(::rename(qPrintable(root.path(path + ".new")), qPrintable(root.path(path))), 0);
    }

    // One step given to a router: the daemon's notification ("prompt ID", "progress ID [PACKAGES]", "count-down"),
    // "close DIALOG" ("X"), or "end" (the progress check's tick that reaches 100 % and the next, which reports it).
    void step(TaskManager &router, const QString &step) const
    {
        const QString verb = step.section(' ', 0, 0), arg = step.section(' ', 1);
        if (verb == "prompt") {
            router.onInstallNotify(arg, arg, false, true, 30);
        } else if (verb == "progress") {
            const QString id = arg.section(' ', 0, 0);
            task(id, arg.contains(' ') ? arg.section(' ', 1).toInt() : 1);
            router.onShowProgress(id, id);
        } else if (verb == "count-down") {
            router.onRebootNotify("r", arg);
        } else if (verb == "close") {
            QTest::mouseClick(button(routed(arg), "X"), Qt::LeftButton);
        } else {  // "end"
            QMetaObject::invokeMethod(routed("progress"), "onCheckProgress");
            QMetaObject::invokeMethod(routed("progress"), "onCheckProgress");
        }
    }

    QWidget *routed(const QString &dialog) const  // the router's dialog
    {
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (widget->objectName() == Dialogs.value(dialog) && widget != m_prompt.get())
                return widget;
        return nullptr;
    }

    QList<QVariantList> reboots() const { return m_fixture->logind().callsOf(LogindPath, "Reboot"); }

    std::unique_ptr<Fixture> m_fixture;
    std::unique_ptr<TaskInstallNotify> m_prompt;  // one prompt for all rows, as the agent has
    QFont m_desktopFont;
};

QTEST_MAIN(TestTasks)
#include "tst_tasks.moc"

// The task dialogs and the notice on a real X display, drawn by the real agent in its sandbox from the daemon
// stand-in's signals: where each window lies on screens this process cannot have (192 dpi, two monitors, a narrow
// screen whose panel arrives later), and the Escape key a user presses.
#include <QtTest>

#include "fixture.h"
#include "xscreen.h"

class TestTasksOnScreen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.reset(new Fixture(Fixture::Daemon));
        m_fixture->root().writeFile("/usr/share/kiv-domain-client/tasks/t-1/office.deb", "!<arch>\n");
        qputenv("QT_QPA_PLATFORM", "xcb");  // for the agent; this process keeps its own platform
    }

    void cleanup()
    {
        m_fixture->stopAgent();
        m_fixture->reset();  // the reboot this row's count-down left owed goes with its session
        m_x.reset();
        QVERIFY(m_fixture->standInsAlive());
    }

    void windowsLieOnThePrimaryScreen_data()
    {
        QTest::addColumn<QStringList>("monitors");
        QTest::addColumn<int>("dpi");
        QTest::addColumn<QRect>("panel");  // the work area once the prompt shows
        QTest::addColumn<QRect>("area");   // where the windows must lie, in screen pixels
        QTest::addColumn<int>("scale");

        QTest::newRow("192 dpi") << QStringList{"2560x1600"} << 192 << QRect() << QRect(0, 0, 2560, 1600) << 2;
        QTest::newRow("two monitors") << QStringList{"1280x800", "1024x768"} << 96 << QRect() << QRect(0, 0, 1280, 800)
                                      << 1;
        QTest::newRow("narrow screen, a panel arrives") << QStringList{"640x480"} << 96 << QRect(0, 40, 640, 440)
                                                        << QRect(0, 40, 640, 440) << 1;
        QTest::newRow("a panel arrives on the left") << QStringList{"1280x800"} << 96 << QRect(200, 0, 1080, 800)
                                                     << QRect(200, 0, 1080, 800) << 1;
    }

    // Each window lies on the primary screen's available area, at its top centre (the progress dialog in its middle),
    // also after the area changed; on a 192-dpi screen it is twice as large.
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

        QStringList known = m_x->windows();
        const QString name = QString("办公套件").repeated(5), notice = QString("终端未加入域，请联系管理员处理。").repeated(4);
        for (const QString &dialog : {"prompt", "progress", "count-down", "notice"}) {
            const QString path = "/com/domain/taskmanager";
            const QString signal =
                dialog == "prompt" ? "InstallNotify" : dialog == "progress" ? "ShowProgress" : "RebootNotify";
            if (dialog == "prompt")
                m_fixture->daemonSignal(path, signal, "ssbbi", {"t-1", name, false, true, 30});
            else if (dialog != "notice")
                m_fixture->daemonSignal(path, signal, "ss", {"t-1", name});
            else
                QCOMPARE(Fixture::answer(Fixture::call("showNotify", {notice, 30})), QString());
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
    std::unique_ptr<Fixture> m_fixture;
    std::unique_ptr<XScreen> m_x;
};

QTEST_MAIN(TestTasksOnScreen)
#include "tst_tasksonscreen.moc"

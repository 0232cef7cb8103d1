// What the three task dialogs look like on the screen: window kind, size, place and rounded
// shape, and a screenshot of each.
#include <QtTest>


#include "taskinstallnotify.h"
#include "taskinstallprogress.h"
#include "taskrebootnotify.h"
#include "tasktestsupport.h"

namespace {
// The offscreen screen is 800 x 600.
const int DesktopWidth = 800;
const int DesktopHeight = 600;

std::unique_ptr<QWidget> makeDialog(const QString &kind)
{
    if (kind == "prompt")
        return std::make_unique<TaskInstallNotify>();
    if (kind == "progress")
        return std::make_unique<TaskInstallProgress>();
    return std::make_unique<TaskRebootNotify>();
}
}  // namespace

class TestTaskForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void windowShape_data();
    void windowShape();
    void screenshots();

private:
    std::unique_ptr<TestEnv::TempRoot> m_root;
};

void TestTaskForms::initTestCase() { m_root = TaskTest::rootWithLog(); }

void TestTaskForms::windowShape_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("fixed");
    QTest::addColumn<QPoint>("position");

    QTest::newRow("prompt") << "prompt" << "TaskInstallNotify" << QSize(800, 85) << true << QPoint(0, 10);
    QTest::newRow("progress") << "progress" << "TaskInstallProgress" << QSize(436, 77) << false
                              << QPoint((DesktopWidth - 436) / 2, (DesktopHeight - 77) / 2);
    QTest::newRow("count-down") << "reboot" << "TaskRebootNotify" << QSize(750, 50) << true
                                << QPoint((DesktopWidth - 750) / 2, 10);
}

void TestTaskForms::windowShape()
{
    QFETCH(QString, kind);
    QFETCH(QString, objectName);
    QFETCH(QSize, size);
    QFETCH(bool, fixed);
    QFETCH(QPoint, position);

    const auto dialog = makeDialog(kind);
    QVERIFY(!dialog->isVisible());
    QCOMPARE(dialog->objectName(), objectName);
    QCOMPARE(dialog->windowTitle(), QString("Form"));
    QCOMPARE(dialog->size(), size);
    if (fixed) {
        QCOMPARE(dialog->minimumSize(), size);
        QCOMPARE(dialog->maximumSize(), size);
    }
    QCOMPARE(dialog->pos(), position);
    const Qt::WindowFlags flags = dialog->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(flags & Qt::FramelessWindowHint);
    QVERIFY(flags & Qt::WindowStaysOnTopHint);

    // Rounded corners of 6 px: the corner pixels are cut, the edges between them are kept.
    const QRegion mask = dialog->mask();
    const int w = size.width(), h = size.height();
    QCOMPARE(mask.boundingRect(), QRect(0, 0, w, h));
    for (const QPoint &corner : {QPoint(0, 0), QPoint(w - 1, 0), QPoint(0, h - 1), QPoint(w - 1, h - 1),
                                 QPoint(1, 1), QPoint(w - 2, h - 2)})
        QVERIFY2(!mask.contains(corner), qPrintable(QString("%1,%2").arg(corner.x()).arg(corner.y())));
    for (const QPoint &inside : {QPoint(6, 0), QPoint(0, 6), QPoint(w - 7, h - 1), QPoint(w / 2, h / 2)})
        QVERIFY2(mask.contains(inside), qPrintable(QString("%1,%2").arg(inside.x()).arg(inside.y())));
}

void TestTaskForms::screenshots()
{
    TaskInstallNotify prompt;
    prompt.showNotify("task-1", "办公套件", false, true, 30);

    m_root->writeFile("/usr/share/kiv-domain-client/tasks/task-1/wps.deb", "!<arch>\n");
    m_root->writeFile("/usr/share/kiv-domain-client/tasks/task-1/fonts.deb", "!<arch>\n");
    m_root->writeFile("/usr/share/kiv-domain-client/tasks/task-1/install.log", "正在设置 wps (11.1) ...\n");
    TaskInstallProgress progress;
    progress.showNotify("task-1", "办公套件");
    progress.onCheckProgress();

    TaskRebootNotify reboot;
    reboot.showNotify("task-1", "办公套件");

    QVERIFY(TaskTest::saveScreenshot(&prompt, "taskinstallnotify"));
    QVERIFY(TaskTest::saveScreenshot(&progress, "taskinstallprogress"));
    QVERIFY(TaskTest::saveScreenshot(&reboot, "taskrebootnotify"));
}

QTEST_MAIN(TestTaskForms)
#include "tst_taskforms.moc"

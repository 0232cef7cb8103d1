// What the three task dialogs look like on the screen: window kind, size, place and rounded
// shape, the texts, fonts and styles of their parts, and a screenshot of each.
#include <QtTest>

#include <QLabel>
#include <QLayout>
#include <QProgressBar>
#include <QSpacerItem>

#include "taskinstallnotify.h"
#include "taskinstallprogress.h"
#include "taskrebootnotify.h"
#include "tasktestsupport.h"

namespace {
// The offscreen screen is 800 x 600.
const int DesktopWidth = 800;
const int DesktopHeight = 600;

const QString OrangeButton = QStringLiteral(
    "background: #ffa940;\nborder: 1px solid #ffa940;\nborder-radius: 5px;\nfont-size: 14px;\n"
    "font-family: Microsoft YaHei;\nfont-weight: 400;\ncolor: #FFFFFF;\nline-height: 20px;");
const QString OrangeButtonPressed = OrangeButton + QStringLiteral("\npressed{\npadding-left:6px;\npadding-top:6px;\n}");

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
    void parts_data();
    void parts();
    void fonts_data();
    void fonts();
    void layouts_data();
    void layouts();
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

void TestTaskForms::parts_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("child");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("prompt style") << "prompt" << "TaskInstallNotify" << "styleSheet" << QVariant(QString());
    QTest::newRow("prompt title") << "prompt" << "label" << "text" << QVariant("澄屿终端管控平台：");
    QTest::newRow("prompt title width") << "prompt" << "label" << "maximumWidth" << QVariant(180);
    QTest::newRow("prompt title min width") << "prompt" << "label" << "minimumWidth" << QVariant(180);
    QTest::newRow("prompt text") << "prompt" << "notify_content" << "text"
                                 << QVariant("即将安装软件，安装过程可能会关闭当前正在运行的程序");
    QTest::newRow("prompt text wraps") << "prompt" << "notify_content" << "wordWrap" << QVariant(true);
    QTest::newRow("prompt text width") << "prompt" << "notify_content" << "minimumWidth" << QVariant(380);
    QTest::newRow("install now") << "prompt" << "now_btn" << "text" << QVariant("立即安装");
    QTest::newRow("install now style") << "prompt" << "now_btn" << "styleSheet" << QVariant(OrangeButtonPressed);
    QTest::newRow("install now size") << "prompt" << "now_btn" << "minimumSize" << QVariant(QSize(70, 26));
    QTest::newRow("install now max size") << "prompt" << "now_btn" << "maximumSize" << QVariant(QSize(70, 20));
    QTest::newRow("install later") << "prompt" << "install_later_btn" << "text" << QVariant("稍后安装");
    QTest::newRow("install later style") << "prompt" << "install_later_btn" << "styleSheet" << QVariant(QString());
    QTest::newRow("install later size") << "prompt" << "install_later_btn" << "minimumSize" << QVariant(QSize(70, 26));
    QTest::newRow("install later max size") << "prompt" << "install_later_btn" << "maximumSize"
                                            << QVariant(QSize(70, 20));
    QTest::newRow("prompt close") << "prompt" << "pushButton" << "text" << QVariant("X");
    QTest::newRow("prompt close width") << "prompt" << "pushButton" << "maximumWidth" << QVariant(22);
    QTest::newRow("prompt close min width") << "prompt" << "pushButton" << "minimumWidth" << QVariant(22);
    QTest::newRow("prompt part") << "prompt" << "widget" << "geometry" << QVariant(QRect(10, 30, 790, 60));

    QTest::newRow("progress style") << "progress" << "TaskInstallProgress" << "styleSheet"
                                    << QVariant("border-radius: 3px;");
    QTest::newRow("progress part") << "progress" << "widget" << "geometry" << QVariant(QRect(11, 10, 431, 60));
    QTest::newRow("bar minimum") << "progress" << "progressBar" << "minimum" << QVariant(0);
    QTest::newRow("bar maximum") << "progress" << "progressBar" << "maximum" << QVariant(100);
    QTest::newRow("bar style") << "progress" << "progressBar" << "styleSheet"
                               << QVariant("border-radius: 3px; border-color: black;");
    QTest::newRow("progress close") << "progress" << "pushButton" << "text" << QVariant("X");
    QTest::newRow("progress close width") << "progress" << "pushButton" << "maximumWidth" << QVariant(22);
    QTest::newRow("progress close min width") << "progress" << "pushButton" << "minimumWidth" << QVariant(22);

    QTest::newRow("count-down style") << "reboot" << "TaskRebootNotify" << "styleSheet" << QVariant(QString());
    QTest::newRow("count-down title") << "reboot" << "label" << "text" << QVariant("澄屿终端管控平台：");
    QTest::newRow("count-down text") << "reboot" << "notify_content" << "text" << QVariant("安装已完成， %1 秒后自动重启");
    QTest::newRow("count-down red") << "reboot" << "notify_content" << "styleSheet" << QVariant("color: red;");
    QTest::newRow("reboot now") << "reboot" << "reboot_btn" << "text" << QVariant("立即重启");
    QTest::newRow("reboot now style") << "reboot" << "reboot_btn" << "styleSheet" << QVariant(OrangeButton);
    QTest::newRow("reboot now size") << "reboot" << "reboot_btn" << "maximumSize" << QVariant(QSize(70, 32));
    QTest::newRow("reboot now min size") << "reboot" << "reboot_btn" << "minimumSize" << QVariant(QSize(70, 26));
    QTest::newRow("count-down close width") << "reboot" << "pushButton" << "maximumWidth" << QVariant(21);
    QTest::newRow("count-down part") << "reboot" << "widget" << "geometry" << QVariant(QRect(10, 10, 740, 40));
}

void TestTaskForms::parts()
{
    QFETCH(QString, kind);
    QFETCH(QString, child);
    QFETCH(QString, property);
    QFETCH(QVariant, expected);

    const auto dialog = makeDialog(kind);
    QObject *part = dialog->objectName() == child ? dialog.get() : dialog->findChild<QObject *>(child);
    QVERIFY2(part, qPrintable(child));
    QCOMPARE(part->property(qPrintable(property)), expected);
}

void TestTaskForms::fonts_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("child");
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("pointSize");  // -1: the form leaves the size to the application
    QTest::addColumn<int>("weight");

    QTest::newRow("prompt title") << "prompt" << "label" << "Microsoft YaHei UI" << 12 << 75;
    QTest::newRow("prompt text") << "prompt" << "notify_content" << "Microsoft YaHei UI" << -1 << 50;
    QTest::newRow("install now") << "prompt" << "now_btn" << "Microsoft YaHei" << -1 << 50;
    QTest::newRow("install later") << "prompt" << "install_later_btn" << "Microsoft YaHei UI" << -1 << 50;
    QTest::newRow("progress text") << "progress" << "task_label" << "Microsoft YaHei UI" << -1 << 50;
    QTest::newRow("count-down title") << "reboot" << "label" << "Microsoft YaHei UI" << 12 << 75;
    QTest::newRow("count-down text") << "reboot" << "notify_content" << "Microsoft YaHei UI" << -1 << 50;
    QTest::newRow("reboot now") << "reboot" << "reboot_btn" << "Microsoft YaHei" << -1 << 50;
}

void TestTaskForms::fonts()
{
    QFETCH(QString, kind);
    QFETCH(QString, child);
    QFETCH(QString, family);
    QFETCH(int, pointSize);
    QFETCH(int, weight);

    const auto dialog = makeDialog(kind);
    auto *part = dialog->findChild<QWidget *>(child);
    QVERIFY2(part, qPrintable(child));
    QCOMPARE(part->font().family(), family);
    if (pointSize > 0)
        QCOMPARE(part->font().pointSize(), pointSize);
    QCOMPARE(part->font().weight(), weight);
}

void TestTaskForms::layouts_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QStringList>("items");  // object names from left to right (top to bottom); "" a spacer
    QTest::addColumn<QSize>("spacer");
    QTest::addColumn<int>("spacerPolicy");  // horizontal QSizePolicy::Policy

    QTest::newRow("prompt") << "prompt" << "horizontalLayout"
                            << QStringList{"label", "notify_content", "", "now_btn", "install_later_btn", "pushButton"}
                            << QSize(15, 20) << int(QSizePolicy::Fixed);
    QTest::newRow("progress title row") << "progress" << "horizontalLayout" << QStringList{"task_label", "", "pushButton"}
                                        << QSize(40, 20) << int(QSizePolicy::Expanding);
    QTest::newRow("progress") << "progress" << "verticalLayout" << QStringList{"horizontalLayout", "progressBar"}
                              << QSize() << 0;
    QTest::newRow("count-down") << "reboot" << "horizontalLayout"
                                << QStringList{"label", "notify_content", "", "reboot_btn", "pushButton"}
                                << QSize(253, 20) << int(QSizePolicy::Expanding);
}

void TestTaskForms::layouts()
{
    QFETCH(QString, kind);
    QFETCH(QString, layout);
    QFETCH(QStringList, items);
    QFETCH(QSize, spacer);
    QFETCH(int, spacerPolicy);

    const auto dialog = makeDialog(kind);
    auto *box = dialog->findChild<QLayout *>(layout);
    QVERIFY2(box, qPrintable(layout));
    if (box->parent() == dialog->findChild<QWidget *>("widget"))
        QCOMPARE(box->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(box->count(), items.size());
    for (int i = 0; i < items.size(); ++i) {
        QLayoutItem *item = box->itemAt(i);
        if (items[i].isEmpty()) {
            QSpacerItem *gap = item->spacerItem();
            QVERIFY2(gap, qPrintable(QString::number(i)));
            QCOMPARE(gap->sizeHint(), spacer);
            QCOMPARE(int(gap->sizePolicy().horizontalPolicy()), spacerPolicy);
            QCOMPARE(gap->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
        } else {
            const QObject *part = item->widget() ? static_cast<QObject *>(item->widget()) : item->layout();
            QVERIFY2(part, qPrintable(items[i]));
            QCOMPARE(part->objectName(), items[i]);
        }
    }
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

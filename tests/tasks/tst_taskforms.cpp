// What the three task dialogs look like: window kind, place and rounded shape, at least their
// forms' size and as large as their texts need (a long task name, a large desktop font), and the
// names a screen reader says.
#include <QtTest>

#include <QAccessible>
#include <QLabel>

#include "taskinstallnotify.h"
#include "taskinstallprogress.h"
#include "taskrebootnotify.h"
#include "tasktestsupport.h"

namespace {
// The offscreen screen is 800 x 600.
const QRect Screen(0, 0, 800, 600);
const QString Title = QStringLiteral("澄屿终端管控平台：");

std::unique_ptr<QWidget> showDialog(const QString &kind, const QString &taskName)
{
    if (kind == "prompt") {
        auto prompt = std::make_unique<TaskInstallNotify>();
        prompt->showNotify("task-1", taskName, false, true, 30);
        return prompt;
    }
    if (kind == "progress") {
        auto progress = std::make_unique<TaskInstallProgress>();
        progress->showNotify("task-1", taskName);
        return progress;
    }
    auto reboot = std::make_unique<TaskRebootNotify>();
    reboot->showNotify("task-1", taskName);
    return reboot;
}

QString accessibleName(QObject *object)
{
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(object);
    return accessible ? accessible->text(QAccessible::Name) : QString();
}
}  // namespace

class TestTaskForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void windowShape_data();
    void windowShape();

private:
    std::unique_ptr<TestEnv::TempRoot> m_root;
    QFont m_font;
};

void TestTaskForms::initTestCase()
{
    m_root = TaskTest::rootWithLog();
    m_root->writeFile("/usr/share/kiv-domain-client/tasks/task-1/wps.deb", "!<arch>\n");
    m_font = QApplication::font();
}

void TestTaskForms::cleanup() { QApplication::setFont(m_font); }

void TestTaskForms::windowShape_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QSize>("formSize");
    QTest::addColumn<bool>("topCentre");  // or centred on the screen
    QTest::addColumn<QString>("taskName");
    QTest::addColumn<int>("fontPoints");  // the desktop's font; 0 keeps Qt's

    const QString name = QStringLiteral("办公套件");
    const QString longName = QString("企业办公套件专业版").repeated(8);
    QTest::newRow("prompt") << "prompt" << "TaskInstallNotify" << QSize(800, 85) << true << name << 0;
    QTest::newRow("prompt, long task name")
        << "prompt" << "TaskInstallNotify" << QSize(800, 85) << true << longName << 0;
    QTest::newRow("prompt, large font") << "prompt" << "TaskInstallNotify" << QSize(800, 85) << true << name << 16;
    QTest::newRow("progress, long task name")
        << "progress" << "TaskInstallProgress" << QSize(436, 77) << false << longName << 0;
    QTest::newRow("count-down, large font") << "reboot" << "TaskRebootNotify" << QSize(750, 50) << true << name << 24;
}

void TestTaskForms::windowShape()
{
    QFETCH(QString, kind);
    QFETCH(QString, objectName);
    QFETCH(QSize, formSize);
    QFETCH(bool, topCentre);
    QFETCH(QString, taskName);
    QFETCH(int, fontPoints);

    if (fontPoints > 0) {
        QFont font = m_font;
        font.setPointSize(fontPoints);
        QApplication::setFont(font);
    }
    const auto dialog = showDialog(kind, taskName);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->objectName(), objectName);
    QCOMPARE(dialog->windowTitle(), QString("Form"));
    const Qt::WindowFlags flags = dialog->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(flags & Qt::FramelessWindowHint);
    QVERIFY(flags & Qt::WindowStaysOnTopHint);

    // At least the form's size, within the screen; a size of its own, not one the user drags.
    const QRect shown = dialog->geometry();
    const QString where = QString("%1,%2 %3x%4").arg(shown.x()).arg(shown.y()).arg(shown.width()).arg(shown.height());
    QVERIFY2(shown.width() >= formSize.width() && shown.height() >= formSize.height(), qPrintable(where));
    QVERIFY2(Screen.contains(shown), qPrintable(where));
    QCOMPARE(dialog->minimumSize(), shown.size());
    QCOMPARE(dialog->maximumSize(), shown.size());
    QVERIFY2(qAbs(shown.center().x() - Screen.center().x()) <= 1, qPrintable(where));
    if (topCentre)
        QCOMPARE(shown.top(), 10);
    else
        QVERIFY2(qAbs(shown.center().y() - Screen.center().y()) <= 1, qPrintable(where));

    // Every text shows whole: each label and button lies inside the window and has the room its
    // text needs (a wrapping label its lines).
    for (QLabel *label : dialog->findChildren<QLabel *>()) {
        const QRect inWindow(label->mapTo(dialog.get(), QPoint()), label->size());
        QVERIFY2(dialog->rect().contains(inWindow), qPrintable(label->objectName()));
        if (label->wordWrap())
            QVERIFY2(label->heightForWidth(label->width()) <= label->height(), qPrintable(label->objectName()));
        else
            QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->objectName()));
    }
    for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
        if (!button->isVisible())
            continue;
        const QRect inWindow(button->mapTo(dialog.get(), QPoint()), button->size());
        QVERIFY2(dialog->rect().contains(inWindow), qPrintable(button->text()));
        QVERIFY2(button->fontMetrics().horizontalAdvance(button->text()) < button->width(), qPrintable(button->text()));
    }

    // Rounded corners of 6 px over the window as shown: the corner pixels are cut, the edges
    // between them are kept.
    const QRegion mask = dialog->mask();
    const int w = shown.width(), h = shown.height();
    QCOMPARE(mask.boundingRect(), QRect(0, 0, w, h));
    for (const QPoint &corner : {QPoint(0, 0), QPoint(w - 1, 0), QPoint(0, h - 1), QPoint(w - 1, h - 1),
                                 QPoint(1, 1), QPoint(w - 2, h - 2)})
        QVERIFY2(!mask.contains(corner), qPrintable(QString("%1,%2").arg(corner.x()).arg(corner.y())));
    for (const QPoint &inside : {QPoint(6, 0), QPoint(0, 6), QPoint(w - 7, h - 1), QPoint(w / 2, h / 2)})
        QVERIFY2(mask.contains(inside), qPrintable(QString("%1,%2").arg(inside.x()).arg(inside.y())));

    // What a screen reader says: the window's title text, and "关闭" for its "X".
    const QString title = kind == "progress" ? QString("软件安装任务 “%1” 当前进度：").arg(taskName) : Title;
    QCOMPARE(accessibleName(dialog.get()), title);
    QCOMPARE(accessibleName(TaskTest::buttonWithText(dialog.get(), "X")), QString("关闭"));
}

QTEST_MAIN(TestTaskForms)
#include "tst_taskforms.moc"

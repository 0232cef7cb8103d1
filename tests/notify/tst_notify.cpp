// The notice popup as the user and the session manager see it: size from the text, place at the
// top centre, its display time and removal, and the count-down form that ends in a log-out or a
// reboot on the session manager's stand-in.
#include <QtTest>

#include <QApplication>
#include <QDesktopWidget>
#include <QLabel>
#include <QPointer>

#include <climits>
#include <memory>

#include "dbusmock.h"
#include "log.h"
#include "logging.h"
#include "notify.h"
#include "paths.h"
#include "testenv.h"

namespace {
const QString ManagerName = QStringLiteral("org.gnome.SessionManager");
const QString ManagerPath = QStringLiteral("/org/gnome/SessionManager");

QString shutdownText(int minutes)
{
    return QString("该终端将于%1分钟后执行关机操作，请尽快对未保存文件进行保存").arg(minutes);
}
QString rebootText(int minutes)
{
    return QString("该终端将于%1分钟后执行重启操作，请尽快对未保存文件进行保存").arg(minutes);
}

QLabel *label(Notify *popup) { return popup->findChild<QLabel *>("notify_label"); }
QTimer *displayTimer(Notify *popup) { return popup->findChild<QTimer *>(); }
}  // namespace

class TestNotify : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void sizeAndPlaceFollowTheText_data();
    void sizeAndPlaceFollowTheText();
    void displayTimeIsHeldToWhatATimerCanRun_data();
    void displayTimeIsHeldToWhatATimerCanRun();
    void noticeEndsAfterItsTimeAndIsGone_data();
    void noticeEndsAfterItsTimeAndIsGone();
    void overlappingNoticesEndEachInTurn();
    void countDownAsksTheSessionManager_data();
    void countDownAsksTheSessionManager();
    void refusedCountDownActionIsLogged();

private:
    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DBusMock> m_manager;
};

void TestNotify::initTestCase()
{
    m_root = std::make_unique<TestEnv::TempRoot>();
    Log::GetInstance()->setLogPath(Paths::logFile());
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);

    m_manager.reset(DBusMock::bare(ManagerName, ManagerPath, ManagerName, DBusMock::SessionBus));
    QVERIFY(m_manager->isRunning());
    m_manager->addMethod(ManagerPath, ManagerName, "Logout", "u", "", "");
    m_manager->addMethod(ManagerPath, ManagerName, "Reboot", "", "", "");
}

void TestNotify::cleanupTestCase() { m_manager.reset(); }

void TestNotify::init() { m_manager->clearCalls(ManagerPath); }

void TestNotify::sizeAndPlaceFollowTheText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("one short word") << "ok";
    QTest::newRow("chinese notice") << "终端未加入域，请联系管理员";
    QTest::newRow("long text is not wrapped") << QString("server offline ").repeated(4);
    QTest::newRow("empty text") << "";
    // Callers on the session bus send any text: markup is shown as typed, not rendered.
    QTest::newRow("markup") << "<b>bold</b> <a href='x'>link</a> <img src='/usr/share/pixmaps/x.png'>";
}

void TestNotify::sizeAndPlaceFollowTheText()
{
    QFETCH(QString, text);
    auto *popup = new Notify(text, 3);
    QPointer<Notify> guard(popup);
    popup->show();

    const QFontMetrics metrics(label(popup)->font());
    QCOMPARE(label(popup)->text(), text);
    QCOMPARE(label(popup)->wordWrap(), false);
    QCOMPARE(popup->size(), QSize(metrics.horizontalAdvance(text) + 20, 2 * metrics.height()));
    QCOMPARE(popup->minimumSize(), popup->maximumSize());
    QCOMPARE(popup->pos(), QPoint((QApplication::desktop()->width() - popup->width()) / 2, 10));
    // The text as shown needs the width the popup was given for it: its own, as typed.
    const int shownWidth = label(popup)->sizeHint().width();
    QVERIFY2(shownWidth >= metrics.horizontalAdvance(text) && shownWidth <= popup->width(),
             qPrintable(QString::number(shownWidth)));

    const Qt::WindowFlags flags = popup->windowFlags();
    QVERIFY(flags.testFlag(Qt::Tool));
    QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(popup->testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(popup->styleSheet(), QString("background-color:#F3F2F1; border-radius:6px;border: 3px solid #F3F2F1;"));
    QVERIFY(popup->isVisible());
    QVERIFY(popup->isWindow());

    QVERIFY(m_root->waitForLog(QString("[Info][notify] [Notify:")));
    QVERIFY(m_root->waitForLog(QString("] data: %1, time: 3").arg(text)));
    delete guard.data();
}

void TestNotify::displayTimeIsHeldToWhatATimerCanRun_data()
{
    QTest::addColumn<int>("time");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<bool>("countDown");
    QTest::newRow("five seconds") << 5 << 5000 << false;
    QTest::newRow("negative counts as 0") << -7 << 0 << false;
    QTest::newRow("milliseconds overflow an int") << 3000000 << INT_MAX << false;
    QTest::newRow("largest int") << INT_MAX << INT_MAX << false;
    QTest::newRow("count-down, five minutes") << 300 << 300000 << true;
    QTest::newRow("count-down, milliseconds overflow") << 2147484 << INT_MAX << true;
    QTest::newRow("count-down, negative") << -60 << 0 << true;
}

void TestNotify::displayTimeIsHeldToWhatATimerCanRun()
{
    QFETCH(int, time);
    QFETCH(int, intervalMs);
    QFETCH(bool, countDown);
    std::unique_ptr<Notify> popup(countDown ? new Notify(QJsonObject{{"op", 1}}, time) : new Notify("held", time));
    QTimer *timer = displayTimer(popup.get());
    QVERIFY(timer);
    QVERIFY(timer->isSingleShot());
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), intervalMs);
}

void TestNotify::noticeEndsAfterItsTimeAndIsGone_data()
{
    QTest::addColumn<int>("time");
    QTest::addColumn<int>("atLeastMs");
    QTest::newRow("one second") << 1 << 900;
    QTest::newRow("two seconds") << 2 << 1900;
    QTest::newRow("zero: next turn of the loop") << 0 << 0;
    QTest::newRow("negative: next turn of the loop") << -1 << 0;
}

void TestNotify::noticeEndsAfterItsTimeAndIsGone()
{
    QFETCH(int, time);
    QFETCH(int, atLeastMs);
    QElapsedTimer clock;
    clock.start();
    QPointer<Notify> popup(new Notify("bye", time));
    QSignalSpy ended(popup.data(), &Notify::timeout);
    popup->show();
    QVERIFY(!popup.isNull());

    QVERIFY(ended.wait(time * 1000 + 3000));
    QVERIFY(clock.elapsed() >= atLeastMs);
    QTRY_VERIFY_WITH_TIMEOUT(popup.isNull(), 1000);
}

void TestNotify::overlappingNoticesEndEachInTurn()
{
    QPointer<Notify> first(new Notify("first notice", 1));
    QPointer<Notify> second(new Notify("second notice", 2));
    first->show();
    second->show();
    QCOMPARE(first->y(), second->y());
    QVERIFY(first->geometry().intersects(second->geometry()));

    QSignalSpy firstEnded(first.data(), &Notify::timeout);
    QSignalSpy secondEnded(second.data(), &Notify::timeout);
    QVERIFY(firstEnded.wait(4000));
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 1000);
    QVERIFY(!second.isNull());
    QVERIFY(second->isVisible());
    QCOMPARE(secondEnded.count(), 0);

    QVERIFY(secondEnded.wait(4000));
    QTRY_VERIFY_WITH_TIMEOUT(second.isNull(), 1000);
}

void TestNotify::countDownAsksTheSessionManager_data()
{
    QTest::addColumn<QJsonObject>("json");
    QTest::addColumn<int>("time");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");

    QTest::newRow("reboot in 5 minutes") << QJsonObject{{"op", 1}} << 300 << rebootText(5) << 300000 << "Reboot"
                                         << QVariantList();
    QTest::newRow("log-out in 1 minute") << QJsonObject{{"op", 0}} << 90 << shutdownText(1) << 90000 << "Logout"
                                         << QVariantList{1u};
    QTest::newRow("no op is a shut-down") << QJsonObject() << 59 << shutdownText(0) << 59000 << "Logout"
                                          << QVariantList{1u};
    QTest::newRow("display_time governs the count-down, not the action")
        << QJsonObject{{"op", 1}, {"display_time", 120}} << 300 << rebootText(2) << 120000 << "Reboot"
        << QVariantList();
    QTest::newRow("unknown op asks nothing") << QJsonObject{{"op", 7}} << 60 << "" << 60000 << "" << QVariantList();
}

void TestNotify::countDownAsksTheSessionManager()
{
    QFETCH(QJsonObject, json);
    QFETCH(int, time);
    QFETCH(QString, text);
    QFETCH(int, intervalMs);
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);

    QPointer<Notify> popup(new Notify(json, time));
    popup->show();
    QCOMPARE(label(popup)->text(), text);
    const QFontMetrics metrics(label(popup)->font());
    QCOMPARE(popup->size(), QSize(metrics.horizontalAdvance(text) + 20, 2 * metrics.height()));
    QCOMPARE(displayTimer(popup)->interval(), intervalMs);

    // The count-down's end, without waiting minutes for it: its own timer, cut short.
    QSignalSpy ended(popup.data(), &Notify::timeout);
    displayTimer(popup)->start(1);
    QVERIFY(ended.wait(5000));
    QCOMPARE(ended.count(), 1);

    const QList<MockCall> calls = m_manager->calls(ManagerPath);
    if (method.isEmpty()) {
        QVERIFY(calls.isEmpty());
    } else {
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls.first().method, method);
        QCOMPARE(calls.first().args.size(), arguments.size());
        for (int i = 0; i < arguments.size(); ++i)
            QCOMPARE(calls.first().args.at(i).toUInt(), arguments.at(i).toUInt());
    }
    QVERIFY(!m_root->logText().contains("error:"));

    // The count-down form stays on screen after its end.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!popup.isNull());
    delete popup.data();
}

void TestNotify::refusedCountDownActionIsLogged()
{
    m_manager->stop();
    std::unique_ptr<Notify> popup(new Notify(QJsonObject{{"op", 1}}, 60));
    popup->onTimeout();
    QVERIFY(m_root->waitForLog("[Info][default] call Reboot error:"));
    QVERIFY(m_root->logText().contains("org.freedesktop.DBus.Error.ServiceUnknown"));
}

QTEST_MAIN(TestNotify)
#include "tst_notify.moc"

// The notice popup in this process: the text a user reads, its display time and its end, and the count-down form's end
// on the session manager's stand-in.
#include <QtTest>

#include <QAccessible>
#include <QLabel>
#include <QPointer>

#include <algorithm>
#include <climits>
#include <malloc.h>

#include "fixture.h"
#include "notify.h"

class TestNotify : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_fixture.reset(new Fixture(Fixture::SessionManager, true)); }
    void init() { m_fixture->reset(); }
    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void notice_data()
    {
        QTest::addColumn<QJsonObject>("countDown");  // empty: a notice of the text
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("time");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("intervalMs");
        QTest::addColumn<QString>("atEnd");  // "gone", or the session manager's calls

        const QString markup = "<b>粗体</b> <a href='x'>链接</a> <img src='/usr/share/pixmaps/x.png'>";
        const QString shutdown = "该终端将于%1分钟后执行关机操作，请尽快对未保存文件进行保存";
        const QString reboot = "该终端将于%1分钟后执行重启操作，请尽快对未保存文件进行保存";
        QTest::newRow("markup shows as typed") << QJsonObject() << markup << 5 << markup << 5000 << "gone";
        QTest::newRow("a negative time counts as 0") << QJsonObject() << "再见" << -7 << "再见" << 0 << "gone";
        QTest::newRow("milliseconds beyond an int: the longest timer")
            << QJsonObject() << "久" << 3000000 << "久" << INT_MAX << "gone";
        QTest::newRow("reboot in 5 minutes") << QJsonObject{{"op", 1}} << "" << 300 << reboot.arg(5) << 300000 << "Reboot";
        QTest::newRow("log-out in 1 minute") << QJsonObject{{"op", 0}} << "" << 90 << shutdown.arg(1) << 90000
                                             << "Logout 1";
        QTest::newRow("display_time sets the count-down") << QJsonObject{{"op", 1}, {"display_time", 120}} << "" << 300
                                                          << reboot.arg(2) << 120000 << "Reboot";
        QTest::newRow("an unknown action asks nothing") << QJsonObject{{"op", 7}} << "" << 60 << "" << 60000 << "";
    }

    void notice()
    {
        QFETCH(QJsonObject, countDown);
        QFETCH(QString, text);
        QFETCH(int, time);
        QFETCH(QString, shown);
        QFETCH(int, intervalMs);
        QFETCH(QString, atEnd);

        QPointer<Notify> popup(countDown.isEmpty() ? new Notify(text, time) : new Notify(countDown, time));
        popup->show();
        // What a screen reader says of the label: its text as shown, markup rendered.
        QCOMPARE(QAccessible::queryAccessibleInterface(popup->findChild<QLabel *>())->text(QAccessible::Name), shown);
        QTimer *timer = popup->findChild<QTimer *>();
        QCOMPARE(timer->interval(), intervalMs);

        // Its end, without waiting for it.
        QSignalSpy ended(popup.data(), &Notify::timeout);
        timer->start(0);
        QVERIFY(ended.wait(5000));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(popup.isNull(), atEnd == "gone");
        QStringList calls;
        for (const MockCall &call : m_fixture->sessionManager().calls(m_fixture->sessionManager().mainObject()))
            calls << (QStringList{call.method} + QVariant(call.args).toStringList()).join(' ');
        QCOMPARE(calls.join(", "), atEnd == "gone" ? QString() : atEnd);
        delete popup.data();
    }

    // Notices come and go all session: one gone leaves nothing on the heap (its form is 16 bytes). The least growth
    // of three rounds, after one that fills Qt's own caches, so that a cache growing late does not count.
    void noticesLeaveNothing()
    {
        const auto growthPerNotice = [] {
            const double before = mallinfo2().uordblks;
            for (int i = 0; i < 500; ++i) {
                auto *popup = new Notify(QString("再见"), 0);
                popup->show();
                QSignalSpy(popup, &Notify::destroyed).wait(5000);
            }
            return (mallinfo2().uordblks - before) / 500;
        };
        growthPerNotice();
        const double growth = std::min({growthPerNotice(), growthPerNotice(), growthPerNotice()});
        QVERIFY2(growth < 24, qPrintable(QString("%1 bytes a notice").arg(growth)));
    }

private:
    std::unique_ptr<Fixture> m_fixture;
};

QTEST_MAIN(TestNotify)
#include "tst_notify.moc"

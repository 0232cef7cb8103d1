// Remote assistance exported by this process on the session bus and called with `gdbus` as the daemon would; stand-in
// VNC scripts record that they ran, the daemon's stand-in the reply.
#include <QtTest>

#include "fixture.h"
#include "log.h"
#include "paths.h"
#include "remoteassist.h"

class TestRemoteAssist : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_fixture.reset(new Fixture(Fixture::Daemon, true));
        m_fixture->root().writeConfig("[init]\nhostname=term-042\nip_port=10.1.2.3:8000\n");
        Log::GetInstance()->setLogPath(Paths::logFile());
        // Meant for the agent alone: the scripts it runs never see them.
        qputenv("QT_BEARER_POLL_TIMEOUT", "2147483647");
        qputenv("DESKTOP_AUTOSTART_ID", "autostart-42");
        QVERIFY(QDBusConnection::sessionBus().registerObject("/test/remoteassist", &m_service,
                                                             QDBusConnection::ExportAllSlots));
    }

    void cleanup()
    {
        // Ends a launch script left as the VNC server; the agent frees each script's process once it ended.
        for (QProcess *script : m_service.findChildren<QProcess *>())
            script->kill();
        QTRY_VERIFY_WITH_TIMEOUT(m_service.findChildren<QProcess *>().isEmpty(), 5000);
        m_fixture->root().remove("/tmp/runs");
        m_fixture->reset();
        QVERIFY(m_fixture->standInsAlive());
    }

    void requests_data()
    {
        QTest::addColumn<QString>("sn");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("launch");  // the tail of the stand-in launch script
        QTest::addColumn<QString>("ran");     // the scripts run; a start is answered
        const QString start = R"({"adminname":"José Núñez","op":"start"})";

        QTest::newRow("start by an accented name") << "9-8-5" << start << "" << "launch_x11vnc";
        QTest::newRow("stop by a Chinese name") << "9-8-5" << R"({"adminname":"管理员","op":"stop"})" << "" << "stop_x11vnc";
        QTest::newRow("launch script stays in the foreground") << "9-8-5" << start << "exec sleep 50" << "launch_x11vnc";
        QTest::newRow("empty code") << "" << start << "" << "";
        QTest::newRow("other assistance code") << "9-8-3" << start << "" << "";
        QTest::newRow("not JSON") << "9-8-5" << "start please" << "" << "";
        QTest::newRow("no adminname") << "9-8-5" << R"({"op":"start"})" << "" << "";
        QTest::newRow("other op") << "9-8-5" << R"({"adminname":"admin","op":"restart"})" << "" << "";
    }

    void requests()
    {
        QFETCH(QString, sn);
        QFETCH(QString, data);
        QFETCH(QString, launch);
        QFETCH(QString, ran);

        const QString scripts = "/usr/share/kiv-domain-client/remote-assist/", runs = Paths::under("/tmp/runs");
        m_fixture->root().writeFile(scripts + "launch_x11vnc.sh", ("echo launch_x11vnc$QT_BEARER_POLL_TIMEOUT$DESKTOP_AUTOSTART_ID >> " + runs + "\n" + launch).toUtf8());
        m_fixture->root().writeFile(scripts + "stop_x11vnc.sh", ("echo stop_x11vnc >> " + runs).toUtf8());
        QElapsedTimer clock;
        clock.start();
        const auto call = TestEnv::runCommand("gdbus", {"call", "--session", "--timeout", "70", "--dest",
            QDBusConnection::sessionBus().baseService(), "--object-path", "/test/remoteassist", "--method",
            "com.domain.remoteassist.receiveWebset", sn, data}, 80000);
        // The caller is answered at once; the scripts run meanwhile.
        QVERIFY2(call.exitCode == 0, qPrintable(call.output));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(m_fixture->root().readFile("/tmp/runs")).trimmed(), ran, 5000);

        const auto replies = [this] {
            QList<QJsonObject> sent;
            for (const QVariantList &args : m_fixture->daemon().callsOf("/com/domain/remoteassist", "sendWebset"))
                sent << QJsonDocument::fromJson(args.value(0).toString().toUtf8()).object();
            return sent;
        };
        const QJsonObject reply{{"sn", "9-9-8"}, {"sender", 1},
                                {"data", QJsonObject{{"hostname", "term-042"}, {"url", "10.1.2.3:41181/vnc.html"}}}};
        QTRY_COMPARE_WITH_TIMEOUT(replies(), ran.startsWith("launch") ? QList<QJsonObject>{reply} : QList<QJsonObject>(),
                                  40000);
        // A launch script that stays is waited for 30 s, then the reply goes all the same.
        if (!launch.isEmpty())
            QVERIFY2(clock.elapsed() >= 29000, qPrintable(QString::number(clock.elapsed())));
    }

private:
    std::unique_ptr<Fixture> m_fixture;
    RemoteAssist m_service;
};

QTEST_MAIN(TestRemoteAssist)
#include "tst_remoteassist.moc"

// Load on the real agent: 1,000 notices asked for in one burst and 1,000 changes of a guarded
// setting. Every call is answered, every change is handled and put back, the notices leave the
// screen after their time, and the agent's resident memory comes back near where it started.
#include <QtTest>

#include <QGSettings>

#include "../daemon/daemontestsupport.h"
#include "../policy/policytestsupport.h"
#include "agentrun.h"
#include "faultsupport.h"

using namespace FaultTest;

namespace {
const int Burst = 1000;
// The first burst leaves the heap at its high-water mark (1,000 popups alive at once); a
// repeated burst must not add to it.
const long FirstBurstMarginKb = 32 * 1024;
const long RepeatMarginKb = 4 * 1024;
const QString PolicyPicture = QStringLiteral("file:///usr/share/backgrounds/domain.png");
const QString ChangeLine = QStringLiteral("onSettingsChanged pictureUri");
}  // namespace

class TestFaultsLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void noticeBurst_data();
    void noticeBurst();
    void guardedSettingBurst();

private:
    bool noNoticeOnScreen(int timeoutMs) const
    {
        return TestEnv::waitFor([&] { return m_x->visibleWindows(m_agent->agentPid()) == 0; }, timeoutMs);
    }
    long resident() const { return residentKb(m_agent->agentPid()); }
    void report(const char *what, long before, long peak, long after) const
    {
        qInfo("%s: resident before %ld KiB, at the peak %ld KiB, after %ld KiB (%+ld KiB)", what, before, peak,
              after, after - before);
    }
    // Whether the growth stays within the margin; a sanitized agent keeps freed memory in
    // quarantine, so there the figures are only reported.
    static bool withinMargin(long growthKb, long marginKb)
    {
#ifdef AGENT_SANITIZED
        Q_UNUSED(growthKb);
        Q_UNUSED(marginKb);
        return true;
#else
        return growthKb < marginKb;
#endif
    }

    std::unique_ptr<XServer> m_x;
    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DomainServer> m_server;
    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<AgentRun> m_agent;
};

void TestFaultsLoad::initTestCase()
{
    PolicyTest::gsettingsReset(PolicyTest::Background);
    m_x = std::make_unique<XServer>();
    QVERIFY(m_x->isRunning());
    m_root = std::make_unique<TestEnv::TempRoot>(false);
    m_root->writeFile("/etc/os-release", Kiv5Release);
    m_server = std::make_unique<DomainServer>();
    QVERIFY(m_server->isRunning());
    QVERIFY(m_server->setPolicy("wallpaper", PolicyTest::wallpaperReply(PolicyPicture)));
    PolicyTest::writeConfig(*m_root, m_server->address(), "pictureUri", false);
    m_daemon = DaemonTest::startDaemon();
    QVERIFY(m_daemon->isRunning());
    m_agent = std::make_unique<AgentRun>(*m_root);
    m_agent->setEnv("QT_QPA_PLATFORM", "xcb");
    m_agent->setEnv("DISPLAY", m_x->display());
    QVERIFY(m_agent->start());

    // Warm up both roads once, so that the start figure holds what any first use loads.
    QVERIFY(!callAgent("showNotify", {QString("预热"), 1}).isError());
    QVERIFY(TestEnv::waitFor([&] { return m_x->visibleWindows(m_agent->agentPid()) == 1; }));
    QVERIFY(noNoticeOnScreen(5000));
    QVERIFY(PolicyTest::gsettingsSet(PolicyTest::Background, "picture-uri", "'file:///warm-up.png'"));
    QVERIFY(TestEnv::waitFor([] {
        return PolicyTest::gsettingsGet(PolicyTest::Background, "picture-uri") == "'" + PolicyPicture + "'";
    }));
    QVERIFY(resident() > 0);
}

void TestFaultsLoad::cleanupTestCase()
{
    m_agent.reset();
    m_daemon.reset();
    m_server.reset();
    m_root.reset();
    m_x.reset();
}

void TestFaultsLoad::noticeBurst_data()
{
    QTest::addColumn<long>("marginKb");  // allowed growth over the burst
    QTest::newRow("first burst") << FirstBurstMarginKb;
    QTest::newRow("repeated burst") << RepeatMarginKb;
}

void TestFaultsLoad::noticeBurst()
{
    QFETCH(long, marginKb);
    const long before = resident();
    const int windows = m_x->allWindows();
    const int answeredBefore = m_root->countInLog("[showNotify:");
    // Ten callers at once; the bus lets one connection wait for at most 128 replies.
    QList<QDBusPendingCall> calls;
    for (int i = 0; i < Burst; ++i) {
        QDBusConnection caller = QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                               QString("caller-%1").arg(i % 10));
        QDBusMessage message = QDBusMessage::createMethodCall(AgentService, AgentPath, AgentInterface, "showNotify");
        message << QString("通知 %1").arg(i) << 1;
        calls << caller.asyncCall(message, 60000);
    }
    QVERIFY(TestEnv::waitFor([&] {
        return std::all_of(calls.begin(), calls.end(), [](const QDBusPendingCall &c) { return c.isFinished(); });
    }, 60000));
    for (const QDBusPendingCall &call : calls)
        QVERIFY2(!call.isError(), qPrintable(call.error().message()));
    const long peak = resident();
    QCOMPARE(m_root->countInLog("[showNotify:") - answeredBefore, Burst);

    QVERIFY2(noNoticeOnScreen(30000), "notices stay on the screen after their time");
    QVERIFY(TestEnv::waitFor([&] { return m_x->allWindows() == windows; }));  // destroyed, not only hidden
    QVERIFY(agentAnswers());
    const long after = resident();
    report("1000 notices", before, peak, after);
    QVERIFY2(withinMargin(after - before, marginKb), qPrintable(QString("%1 KiB more than before").arg(after - before)));
}

void TestFaultsLoad::guardedSettingBurst()
{
    const long before = resident();
    const int changesBefore = m_root->countInLog(ChangeLine);
    const int queriesBefore = m_server->requests("policy").size();

    QGSettings background(PolicyTest::Background.toUtf8());
    for (int i = 0; i < Burst; ++i)
        background.set("pictureUri", QString("file:///home/alice/picture-%1.png").arg(i));
    const long peak = resident();

    // Every change the agent saw was asked about once.
    const auto handled = [&] { return m_root->countInLog(ChangeLine) - changesBefore; };
    const auto asked = [&] { return m_server->requests("policy").size() - queriesBefore; };
    QVERIFY2(TestEnv::waitFor([&] { return PolicyTest::settle(*m_root) && asked() == handled(); }, 60000),
             qPrintable(QString("%1 changes handled, %2 queries").arg(handled()).arg(asked())));
    // The last change is put back; or the agent has corrected the wallpaper as often as it does
    // in a minute, and puts back the next change.
    const auto putBack = [] {
        return PolicyTest::gsettingsGet(PolicyTest::Background, "picture-uri") == "'" + PolicyPicture + "'";
    };
    if (!putBack()) {
        QVERIFY(m_root->logText().contains("not corrected again before a change that is not the agent's own"));
        QVERIFY(PolicyTest::gsettingsSet(PolicyTest::Background, "picture-uri", "'file:///home/alice/once-more.png'"));
    }
    QVERIFY(TestEnv::waitFor(putBack, 30000));
    QVERIFY(agentAnswers());
    const long after = resident();
    qInfo("%d settings changes written, %d change notifications handled, %d policy queries", Burst, handled(),
          asked());
    report("1000 settings changes", before, peak, after);
    QVERIFY2(withinMargin(after - before, RepeatMarginKb), qPrintable(QString("%1 KiB more than before").arg(after - before)));
}

QTEST_MAIN(TestFaultsLoad)
#include "tst_faults_load.moc"

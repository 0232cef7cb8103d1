// The domain server fails while the agent asks it for the wallpaper policy after the user
// changed the wallpaper: it refuses connections, answers 500, answers something that is not
// HTTP or not JSON, answers very slowly or accepts and never answers. The agent logs the
// failure, leaves the user's change alone, keeps serving its D-Bus callers while the query is
// pending, and puts the next change back once the server answers again.
#include <QtTest>

#include "../daemon/daemontestsupport.h"
#include "../policy/policytestsupport.h"
#include "agentrun.h"
#include "faultsupport.h"

using namespace FaultTest;

namespace {
const QString PolicyPicture = QStringLiteral("file:///usr/share/backgrounds/domain.png");
const QString ChangeLine = QStringLiteral("onSettingsChanged pictureUri");

QString quoted(const QString &text) { return "'" + text + "'"; }
}  // namespace

class TestFaultsServerPolicy : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void revertSurvivesServerFault_data();
    void revertSurvivesServerFault();

private:
    // Sets the wallpaper as the user would and waits until the agent has seen the change.
    bool userSetsWallpaper(const QString &picture);
    bool wallpaperBecomes(const QString &picture, int timeoutMs = 10000);

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DomainServer> m_server;
    std::unique_ptr<ServerFront> m_front;
    std::unique_ptr<DBusMock> m_daemon;
    std::unique_ptr<AgentRun> m_agent;
};

void TestFaultsServerPolicy::init()
{
    PolicyTest::gsettingsReset(PolicyTest::Background);
    m_root = std::make_unique<TestEnv::TempRoot>(false);
    m_root->writeFile("/etc/os-release", Kiv5Release);
    m_server = std::make_unique<DomainServer>();
    QVERIFY(m_server->isRunning());
    QVERIFY(m_server->setPolicy("wallpaper", PolicyTest::wallpaperReply(PolicyPicture)));
    m_front = std::make_unique<ServerFront>(m_server->port());
    PolicyTest::writeConfig(*m_root, m_front->address(), "pictureUri", false);
    m_daemon = DaemonTest::startDaemon();
    QVERIFY(m_daemon->isRunning());
    m_agent = std::make_unique<AgentRun>(*m_root);
    QVERIFY(m_agent->start());
    QVERIFY(m_root->waitForLog("start policy sync"));
}

void TestFaultsServerPolicy::cleanup()
{
    m_agent.reset();
    m_daemon.reset();
    m_front.reset();
    m_server.reset();
    m_root.reset();
}

bool TestFaultsServerPolicy::userSetsWallpaper(const QString &picture)
{
    const int seen = m_root->countInLog(ChangeLine);
    return PolicyTest::gsettingsSet(PolicyTest::Background, "picture-uri", quoted(picture)) &&
           TestEnv::waitFor([&] { return m_root->countInLog(ChangeLine) > seen; });
}

bool TestFaultsServerPolicy::wallpaperBecomes(const QString &picture, int timeoutMs)
{
    return TestEnv::waitFor([&] {
        return PolicyTest::gsettingsGet(PolicyTest::Background, "picture-uri") == quoted(picture);
    }, timeoutMs);
}

void TestFaultsServerPolicy::revertSurvivesServerFault_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("pending");  // the server holds the query: other calls are served meanwhile
    QTest::addColumn<QString>("logged");  // the failure's log line; empty: the query succeeds late

    const QString failed = "[LOG_ERROR] getHttpReply: failed to get http policy request wallpaper, reply = ";
    QTest::newRow("connection refused") << "refused" << false << failed;
    QTest::newRow("HTTP 500") << "http500" << false << failed;
    QTest::newRow("not HTTP") << "garbage" << false << failed;
    QTest::newRow("HTML instead of JSON") << "notjson" << false
                                          << "[LOG_ERROR] getHttpReply: failed to parse reply to Json,";
    QTest::newRow("very slow") << "delay" << true << "";
    QTest::newRow("never answers") << "hang" << true << failed + "no reply within 30000 ms";
}

void TestFaultsServerPolicy::revertSurvivesServerFault()
{
    QFETCH(QString, fault);
    QFETCH(bool, pending);
    QFETCH(QString, logged);

    if (fault == "refused") {
        QVERIFY(m_front->setMode(ServerFront::Refuse));
    } else if (fault == "garbage") {
        QVERIFY(m_front->setMode(ServerFront::AnswerGarbage));
    } else if (fault == "delay") {  // the right answer, late
        QJsonObject late = PolicyTest::wallpaperReply(PolicyPicture);
        late.insert("delay_ms", 4000);
        QVERIFY(m_server->setPolicy("wallpaper", late));
    } else {
        QVERIFY(m_server->setPolicy("wallpaper", DomainServer::fault(fault)));
    }
    m_server->clearRequests();

    const QString mine = "file:///home/alice/mine.png";
    QVERIFY(userSetsWallpaper(mine));
    if (pending) {
        QVERIFY(m_server->waitForRequests("policy", 1));
        QVERIFY2(agentAnswers(), "a pending policy query stopped the agent");
        QVERIFY(!m_root->logText().contains("getHttpReply: "));  // still waiting for the server
    }
    if (logged.isEmpty()) {
        QVERIFY2(wallpaperBecomes(PolicyPicture), qPrintable(m_root->logText()));
        return;
    }
    QVERIFY2(m_root->waitForLog(logged, 40000), qPrintable(m_root->logText()));
    QVERIFY(agentAnswers());
    QCOMPARE(PolicyTest::gsettingsGet(PolicyTest::Background, "picture-uri"), quoted(mine));

    // The server answers again: the next change is put back.
    QVERIFY(m_front->setMode(ServerFront::Relay));
    QVERIFY(m_server->setPolicy("wallpaper", PolicyTest::wallpaperReply(PolicyPicture)));
    QVERIFY(userSetsWallpaper("file:///home/alice/again.png"));
    QVERIFY2(wallpaperBecomes(PolicyPicture), qPrintable(m_root->logText()));
}

QTEST_MAIN(TestFaultsServerPolicy)
#include "tst_faults_serverpolicy.moc"

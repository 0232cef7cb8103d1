// A network that comes up after the agent has started (a log-in before the cable or the network authentication): the
// report and the policy queries reach the server as soon as it is reachable. Run by CTest in a network namespace of its
// own ("unshare --net"), whose loopback this test takes down and brings up; buses and stand-ins live in the same
// namespace.
#include <QtTest>

#include "fixture.h"

namespace {
bool loopbackUp()
{
    return TestEnv::runCommand("ip", {"link", "set", "lo", "up"}).exitCode == 0;
}

void setWallpaper(const QString &uri)
{
    TestEnv::runCommand("gsettings", {"set", "org.qoro.desktop.background", "picture-uri", "'" + uri + "'"});
}
}  // namespace

class TestNetwork : public QObject
{
    Q_OBJECT

private slots:
    void reachesTheServerOnceTheNetworkIsUp()
    {
        // The namespace starts with its loopback down: the server listens, nobody reaches it.
        Fixture fixture(Fixture::Daemon | Fixture::Server);
        const TestEnv::TempRoot &root = fixture.root();
        QVERIFY(fixture.startAgent("[init]\nhostname=term-042\nip_port=%SERVER%\nadd_domain_success=true\n"
                                   "auto_update_client=false\n[policy]\nitems=pictureUri\n",
                                   Kiv5Release));
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        QVERIFY(root.waitForLog("[LOG_ERROR] requestLogin: post_login reply error!"));
        setWallpaper("file:///mine.png");
        QVERIFY(root.waitForLog("[LOG_ERROR] getHttpReply: failed to get http policy request wallpaper"));

        QVERIFY(loopbackUp());
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString("{\"code\":200,\"msg\":\"login recorded\"}"));
        setWallpaper("file:///mine2.png");
        QVERIFY(fixture.server().waitForRequests("policy", 1));
        QCOMPARE(fixture.server().requests("login").size(), 1);
    }
};

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"

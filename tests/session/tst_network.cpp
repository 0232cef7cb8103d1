// A network that comes up after the agent has started (a log-in before the cable or the network authentication): the
// report and the policy queries reach the server as soon as it is reachable. Run by CTest in a network namespace of its
// own ("unshare --net"), whose links and addresses this test makes; buses and stand-ins live in the same namespace. The
// server has an address of a network card (a veth pair inside the namespace), not of the loopback, which Qt's bearer
// handling never holds.
#include <QtTest>

#include "domainserver.h"
#include "fixture.h"

namespace {
const QString ServerAddress = "10.0.0.1";

bool ip(const QString &arguments) { return TestEnv::runCommand("ip", arguments.split(' ')).exitCode == 0; }

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
        // A card up without its address yet, the loopback down: the server listens on the address to come (allowed in
        // this namespace only), nobody reaches it.
        QVERIFY(ip("link add v0 type veth peer name v1") && ip("link set v1 up") && ip("link set v0 up"));
        QVERIFY(TestEnv::runCommand("sysctl", {"-qw", "net.ipv4.ip_nonlocal_bind=1"}).exitCode == 0);
        DomainServer server(ServerAddress);
        QVERIFY(server.isRunning());
        Fixture fixture(Fixture::Daemon);
        const TestEnv::TempRoot &root = fixture.root();
        QVERIFY(fixture.startAgent("[init]\nhostname=term-042\nip_port=" + server.address().toUtf8() +
                                       "\nadd_domain_success=true\nauto_update_client=false\n[policy]\nitems=pictureUri\n",
                                   Kiv5Release));
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        QVERIFY(root.waitForLog("[LOG_ERROR] requestLogin: post_login reply error!"));
        setWallpaper("file:///mine.png");
        QVERIFY(root.waitForLog("[LOG_ERROR] getHttpReply: failed to get http policy request wallpaper"));

        QVERIFY(ip("link set lo up") && ip("addr add " + ServerAddress + "/24 dev v0"));
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString("{\"code\":200,\"msg\":\"login recorded\"}"));
        setWallpaper("file:///mine2.png");
        QVERIFY(server.waitForRequests("policy", 1));
        QCOMPARE(server.requests("login").size(), 1);
    }
};

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"

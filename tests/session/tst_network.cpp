// The network as the session sees it: up only after the agent started (a log-in before the cable or the network
// authentication), then a network manager gone stale ("disconnected" while the card reaches the server): the report
// and the policy queries still reach the server. Run under "unshare --net" with its buses and stand-ins; the server
// is on a veth card (Qt's bearer handling never holds the loopback), and with IPv6 off a card without IPv4 is offline.
#include <QtTest>

#include <memory>

#include "dbusmock.h"
#include "domainserver.h"
#include "fixture.h"

namespace {
const QString ServerAddress = "10.0.0.1";
const QString Device = "/org/freedesktop/NetworkManager/Devices/wired0";
const QString ActiveConnection = "/org/freedesktop/NetworkManager/ActiveConnection/wired";
enum { DeviceDisconnected = 30, ConnectionActivated = 2, Disconnected = 20, ConnectedGlobal = 70 };

bool run(const QString &command)
{
    return TestEnv::runCommand(command.section(' ', 0, 0), command.section(' ', 1).split(' ')).exitCode == 0;
}
}  // namespace

class TestNetwork : public QObject
{
    Q_OBJECT

private slots:
    void reachesTheServerWhenItIsReachable()
    {
        // A card up without its address yet, the loopback down: the server listens on the address to come (allowed in
        // this namespace only), nobody reaches it.
        QVERIFY(run("sysctl -qw net.ipv4.ip_nonlocal_bind=1"));
        QVERIFY(!QFile::exists("/proc/sys/net/ipv6") ||  // a kernel without IPv6 has it off already
                run("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1"));
        QVERIFY(run("ip link add v0 type veth peer name v1") && run("ip link set v1 up") && run("ip link set v0 up"));
        DomainServer server(ServerAddress);
        QVERIFY(server.isRunning());
        Fixture fixture(Fixture::Daemon);
        const std::unique_ptr<DBusMock> nm(DBusMock::fromTemplate("networkmanager", DBusMock::SystemBus));
        QVERIFY(nm->isRunning());
        nm->mock(nm->mainObject(), "AddEthernetDevice", {"wired0", "v0", quint32(DeviceDisconnected)});
        // The card's one saved connection, as NetworkManager lists it.
        const TestEnv::CommandResult added = TestEnv::runCommand(
            "gdbus", {"call", "--system", "--dest", "org.freedesktop.NetworkManager", "--object-path",
                      "/org/freedesktop/NetworkManager/Settings", "--method",
                      "org.freedesktop.NetworkManager.Settings.AddConnection",
                      "{'connection': {'id': <'Wired'>, 'uuid': <'0b6a4e3c-5f1d-4c2e-9a7b-3d2f1e0c9b8a'>, "
                      "'type': <'802-3-ethernet'>}}"});
        const QString connection = QRegularExpression("'(/[^']+)'").match(added.output).captured(1);
        QVERIFY(!connection.isEmpty());
        nm->mock(nm->mainObject(), "SetGlobalConnectionState", {quint32(Disconnected)});

        const QByteArray config = "[init]\nhostname=term-042\nip_port=" + server.address().toUtf8() +
                                  "\nadd_domain_success=true\nauto_update_client=false\n[policy]\nitems=pictureUri\n";
        QVERIFY(fixture.startAgent(config, Kiv5Release));
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString());
        QVERIFY(fixture.root().waitForLog("[LOG_ERROR] requestLogin: post_login reply error!"));
        run("gsettings set org.qoro.desktop.background picture-uri 'file:///mine.png'");
        QVERIFY(fixture.root().waitForLog("[LOG_ERROR] getHttpReply: failed to get http policy request wallpaper"));

        // The network comes up, and the network manager says so.
        QVERIFY(run("ip link set lo up") && run("ip addr add " + ServerAddress + "/24 dev v0"));
        nm->mock(nm->mainObject(), "AddActiveConnection",
                 {QStringList{Device}, connection, "/", "wired", quint32(ConnectionActivated)});
        nm->mock(nm->mainObject(), "SetGlobalConnectionState", {quint32(ConnectedGlobal)});
        QCOMPARE(Fixture::answer(Fixture::call("post_login")), QString("{\"code\":200,\"msg\":\"login recorded\"}"));
        run("gsettings set org.qoro.desktop.background picture-uri 'file:///mine2.png'");
        QVERIFY(server.waitForRequests("policy", 1));
        QCOMPARE(server.requests("login").size(), 1);

        // The network manager loses its connection while the card keeps its address: the server is still reachable,
        // and the next query reaches it, well before the query's own limit.
        nm->mock(nm->mainObject(), "RemoveActiveConnection", {Device, ActiveConnection});
        nm->mock(nm->mainObject(), "SetGlobalConnectionState", {quint32(Disconnected)});
        run("gsettings set org.qoro.desktop.background picture-uri 'file:///mine3.png'");
        QVERIFY(server.waitForRequests("policy", 2));
    }
};

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"

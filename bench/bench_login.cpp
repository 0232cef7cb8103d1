// Log-in report latency: the agent's "post_login" (in its sandbox, with the stand-in daemon and
// domain server) against a bare HTTP POST of the same body to the same server, median of N.
// The bare POST is one write of header and body on a kept-alive connection; Qt's own POST on a
// reused manager is shown too, and Qt's POST on a connection of its own, which is how the agent
// sends its report.
// Run inside scripts/with-test-env.sh (private buses):
//   bench_login [runs]
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "agentrun.h"
#include "benchsupport.h"
#include "dbusmock.h"
#include "domainserver.h"
#include "httpwait.h"
#include "testenv.h"

namespace {
const QByteArray Body = "{\n    \"device_uuid\": \"term-042\",\n    \"domain_user\": \"alice\"\n}\n";
const QString Marker = "/tmp/alice_post_login.txt";

// Milliseconds of each of runs calls of one; false from one counts as a failed run.
std::vector<double> timed(int runs, const std::function<bool()> &one, int &failures)
{
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        const bool ok = one();
        const double ms = clock.nsecsElapsed() / 1e6;
        if (ok)
            samples.push_back(ms);
        else
            ++failures;
    }
    return samples;
}

QString postLogin()
{
    const QDBusMessage call = QDBusMessage::createMethodCall("com.kiv.domain.session", "/com/domain/agent",
                                                             "com.kiv.domain.agent", "post_login");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 60000);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0).toString() : "error";
}

// One POST written in one piece on a kept-alive socket; reads the whole answer.
bool barePost(QTcpSocket &socket, const DomainServer &server)
{
    if (socket.state() != QAbstractSocket::ConnectedState) {
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket.connectToHost("127.0.0.1", quint16(server.port()));
        if (!socket.waitForConnected(5000))
            return false;
    }
    socket.write("POST /mainapi/device/login/ HTTP/1.1\r\nHost: " + server.address().toUtf8()
                 + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(Body.size())
                 + "\r\n\r\n" + Body);
    QByteArray answer;
    int headerEnd = -1;
    long length = -1;
    while (socket.waitForReadyRead(5000)) {
        answer += socket.readAll();
        if (headerEnd < 0 && (headerEnd = answer.indexOf("\r\n\r\n")) >= 0) {
            const int at = answer.toLower().indexOf("content-length:");
            length = at >= 0 ? answer.mid(at + 15, answer.indexOf("\r\n", at) - at - 15).trimmed().toLong() : 0;
        }
        if (headerEnd >= 0 && answer.size() - headerEnd - 4 >= length) {
            // The server ends a kept-alive connection after a few requests.
            if (answer.left(headerEnd).toLower().contains("connection: close"))
                socket.abort();
            return answer.startsWith("HTTP/1.1 200");
        }
    }
    return false;
}

bool qtPost(QNetworkAccessManager &manager, const DomainServer &server, bool freshConnection = false)
{
    if (freshConnection)
        manager.clearConnectionCache();
    QNetworkRequest request(QUrl("http://" + server.address() + "/mainapi/device/login/"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply *reply = manager.post(request, Body);
    const bool ok = QCoro::waitFor(awaitReply(reply, 30000)) && reply->error() == QNetworkReply::NoError;
    reply->deleteLater();
    return ok;
}
}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, atoi(argv[1])) : 20;

    DomainServer server;
    TestEnv::TempRoot root(false);
    root.writeConfig(QString("[init]\nhostname=term-042\nip_port=%1\nadd_domain_success=true\n")
                         .arg(server.address())
                         .toUtf8());
    std::unique_ptr<DBusMock> daemon(
        DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus));
    AgentRun agent(root);
    if (!server.isRunning() || !server.setReply("login", DomainServer::reply("welcome alice")) ||
        !daemon->isRunning() || !agent.start()) {
        std::fprintf(stderr, "bench_login: the agent or a stand-in did not come up\n");
        return 1;
    }

    int failures = 0;
    // Each report needs the marker gone; the first one also opens the agent's connection.
    const auto report = [&] {
        root.remove(Marker);
        return postLogin() == "welcome alice";
    };
    report();
    const std::vector<double> agentMs = timed(runs, report, failures);
    const std::vector<double> noReportMs = timed(runs, [] { return postLogin().isEmpty(); }, failures);
    QTcpSocket socket;
    barePost(socket, server);
    const std::vector<double> bareMs = timed(runs, [&] { return barePost(socket, server); }, failures);
    QNetworkAccessManager manager;
    qtPost(manager, server);
    const std::vector<double> qtMs = timed(runs, [&] { return qtPost(manager, server); }, failures);
    const std::vector<double> qtFreshMs = timed(runs, [&] { return qtPost(manager, server, true); }, failures);

    const double bare = median(bareMs);
    std::printf("%-46s %10s %10s\n", QString("log-in report, median of %1").arg(runs).toUtf8().constData(), "ms",
                "- bare ms");
    std::printf("%-46s %10.2f %10s\n", "bare POST, one write, kept alive", bare, "");
    std::printf("%-46s %10.2f %+10.2f\n", "Qt POST, reused manager", median(qtMs), median(qtMs) - bare);
    std::printf("%-46s %10.2f %+10.2f\n", "Qt POST, connection of its own", median(qtFreshMs),
                median(qtFreshMs) - bare);
    std::printf("%-46s %10.2f %+10.2f\n", "agent post_login with report", median(agentMs), median(agentMs) - bare);
    std::printf("%-46s %10.2f %+10.2f\n", "agent post_login, already reported", median(noReportMs),
                median(noReportMs) - bare);
    if (failures > 0)
        std::printf("failed runs: %d\n", failures);
    return failures == 0 ? 0 : 1;
}

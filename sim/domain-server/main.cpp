// domain-server-sim: a stand-in for the domain server, for tests and the demo.
//
//   domain-server-sim [--host ADDRESS] [--port N] [--scenario FILE]
//
// Serves plain HTTP on ADDRESS (default 127.0.0.1), port N (0, the default, picks a free port) and prints the port
// alone on the first line of standard output. Ends on SIGTERM or SIGINT, and when the process
// that started it ends.
//
// Endpoints served, each answered from the scenario under the name in brackets:
//   POST /mainapi/device/login/                                      [login]
//   GET  /mainapi/device/sync/policy/<host>/?policy_type=<name>      [policy]
//   GET  /mainapi/device/ping/                                       [ping]
//   GET  /mainapi/system/terminal/check_hostname/?hostname=<name>    [check_hostname]
//   GET  /mainapi/system/terminal/terminal_version/                  [terminal_version]
//
// Scenario: a JSON object with one reply per endpoint name; "policy" holds one reply per policy
// name (the policy_type value), with "*" for every other policy:
//   {
//     "login":  REPLY,
//     "policy": {"ssh": REPLY, "wallpaper": REPLY, "*": REPLY},
//     "ping": REPLY, "check_hostname": REPLY, "terminal_version": REPLY
//   }
//   REPLY = {
//     "status": 200,          HTTP status (default 200)
//     "body": ...,            a JSON string is sent as raw text (text/plain), so "pong" or a
//                             broken document can be sent; any other JSON value is sent as
//                             compact JSON (application/json); absent: an empty body
//     "content_type": "...",  overrides the content type
//     "delay_ms": N,          waits N ms before answering
//     "fault": "delay" | "hang" | "http500" | "notjson"
//                             delay: only the wait of delay_ms; hang: accepts the request and
//                             never answers (until the server stops); http500: status 500 with
//                             a JSON error body; notjson: an HTML body that is not JSON
//   }
// An endpoint without a reply in the scenario answers 404; so do unknown paths, and a known path
// with the wrong method answers 405. Without --scenario the built-in default is served: every
// endpoint succeeds, ping answers "pong", and every policy is switched off.
//
// Control endpoints (not recorded):
//   GET /__sim/scenario      the scenario in force
//   PUT /__sim/scenario      replaces it (400 with a "detail" text when it is not valid)
//   PATCH /__sim/scenario    replaces only the endpoints given; "policy" policy by policy
//   DELETE /__sim/scenario   back to the built-in default
//   GET /__sim/requests      {"requests": [...]}: every other request received, oldest first,
//                            each {"method", "path", "query" (raw), "params", "headers",
//                            "body", "endpoint" (empty when unknown), "received_ms" (epoch)}
//   DELETE /__sim/requests   forgets the recorded requests
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/prctl.h>

#include "simdomainserver.h"

namespace {
int fail(const QString &message)
{
    std::fprintf(stderr, "domain-server-sim: %s\n", qPrintable(message));
    return 2;
}
}  // namespace

int main(int argc, char *argv[])
{
    // Die with the test or demo that started this server, and take SIGTERM/SIGINT synchronously.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    int port = 0;
    QString host = "127.0.0.1", scenarioFile;
    for (int i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--port" && hasValue) {
            bool ok = false;
            port = args[++i].toInt(&ok);
            if (!ok || port < 0 || port > 65535)
                return fail("--port takes a number from 0 to 65535");
        } else if (args[i] == "--host" && hasValue) {
            host = args[++i];
        } else if (args[i] == "--scenario" && hasValue) {
            scenarioFile = args[++i];
        } else {
            return fail("usage: domain-server-sim [--host ADDRESS] [--port N] [--scenario FILE]");
        }
    }

    SimDomainServer server;
    if (!scenarioFile.isEmpty()) {
        QFile file(scenarioFile);
        if (!file.open(QIODevice::ReadOnly))
            return fail("cannot read the scenario " + scenarioFile);
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
        if (!document.isObject())
            return fail("the scenario " + scenarioFile + " is not a JSON object: " + error.errorString());
        const QString problem = server.setScenario(document.object());
        if (!problem.isEmpty())
            return fail("the scenario " + scenarioFile + ": " + problem);
    }
    const int bound = server.start(port, host.toStdString());
    if (bound < 0)
        return fail("cannot listen on " + host + ":" + QString::number(port));
    std::printf("%d\n", bound);
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    // Nothing to save: leave at once rather than wait for idle kept-alive connections.
    std::_Exit(0);
}

// Policy revert benchmark: the time from an outside `gsettings set` of the wallpaper to the
// domain server's value being back, against one bare HTTP round trip to the stand-in server.
// The policy engine runs in this process over a temporary root; the settings use the keyfile
// backend, so the outside change arrives through GLib's file monitor.
// Run inside scripts/with-test-env.sh (private buses, the build's schemas):
//   bench_policy_revert [DOMAIN_SERVER_SIM] [runs]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGSettings>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <vector>

#include "benchsupport.h"
#include "correctionguard.h"
#include "httpwait.h"
#include "log.h"
#include "paths.h"
#include "syncpolicy.h"

namespace {
const char *const Scenario =
    R"({"policy": {"wallpaper": {"body": {"data": {"code": 200, "success": true, "switch_status": 1,
        "policy": "file:///srv/corp.png"}}}}})";
const QString ServerPicture = "file:///srv/corp.png";

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

int countInLog(const QString &text)
{
    QFile log(Paths::logFile());
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()).count(text) : 0;
}

// The engine corrects one item only so often a minute; the change after that stands until the
// next one. That change is made here, between the measured runs, and waited for.
void letBreakerOpen(int run)
{
    const QString opened = "not corrected again before a change that is not the agent's own";
    const int before = countInLog(opened);
    QProcess::execute("gsettings", {"set", "org.qoro.desktop.background", "picture-uri",
                                    QString("'file:///home/bench/standing-%1.png'").arg(run)});
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (countInLog(opened) > before)
            loop.quit();
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    poll.start(10);
    loop.exec();
}
}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The engine's Qt messages would drown the table; its file log goes to the temporary root.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const QStringList args = app.arguments();
    const QString serverProgram =
        args.value(1, app.applicationDirPath() + "/../sim/domain-server/domain-server-sim");
    const int runs = args.value(2, "20").toInt();

    QTemporaryDir root;
    Paths::setRoot(root.path());
    const QString scenarioFile = root.filePath("scenario.json");
    writeFile(scenarioFile, Scenario);
    QDir().mkpath(QFileInfo(Paths::logFile()).path());
    Log::GetInstance()->setLogPath(Paths::logFile());

    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(serverProgram, {"--scenario", scenarioFile});
    if (!server.waitForStarted(10000) || !server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(serverProgram));
        return 1;
    }
    const QString address = "127.0.0.1:" + QString::fromUtf8(server.readLine().trimmed());
    writeFile(Paths::configIni(),
              QString("[init]\nhostname=bench\nip_port=%1\n[policy]\nitems=pictureUri\n").arg(address).toUtf8());

    // The bare round trip: one GET of the same policy, as the engine's query sends it.
    QNetworkAccessManager manager;
    const QUrl url("http://" + address + "/mainapi/device/sync/policy/bench/?policy_type=wallpaper");
    std::vector<double> roundTrips;
    for (int i = 0; i < runs + 1; ++i) {
        QElapsedTimer clock;
        clock.start();
        QNetworkReply *reply = manager.get(QNetworkRequest(url));
        QCoro::waitFor(awaitReply(reply, 10000));
        reply->deleteLater();
        if (i > 0)  // the first one also opens the connection
            roundTrips.push_back(clock.nsecsElapsed() / 1e6);
    }

    SyncPolicy::instance()->monitor();
    QGSettings background("org.qoro.desktop.background");
    std::vector<double> totals, reactions;
    for (int i = 0; i < runs; ++i) {
        if (i > 0 && i % CorrectionGuard::MaxCorrections == 0)
            letBreakerOpen(i);
        const QString local = QString("file:///home/bench/picture-%1.png").arg(i);
        QEventLoop loop;
        QElapsedTimer clock, reaction;
        const QMetaObject::Connection watch = QObject::connect(&background, &QGSettings::changed, &loop, [&](const QString &key) {
            if (key != "pictureUri")
                return;
            const QString now = background.get(key).toString();
            if (now == local) {
                reaction.start();  // the outside change has reached this process
            } else if (now == ServerPicture && reaction.isValid()) {
                totals.push_back(clock.nsecsElapsed() / 1e6);
                reactions.push_back(reaction.nsecsElapsed() / 1e6);
                loop.quit();
            }
        });
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        clock.start();
        QProcess::execute("gsettings", {"set", "org.qoro.desktop.background", "picture-uri", "'" + local + "'"});
        if (!reaction.isValid() || totals.size() < size_t(i + 1))
            loop.exec();
        QObject::disconnect(watch);
    }
    server.terminate();
    server.waitForFinished(5000);

    const double rtt = median(roundTrips);
    const double total = median(totals);
    const double react = median(reactions);
    std::printf("policy revert (median of %d)             ms\n", runs);
    std::printf("bare HTTP round trip to the server     %8.2f\n", rtt);
    std::printf("gsettings set -> value back (total)    %8.2f   x%.1f of the round trip\n", total, total / rtt);
    std::printf("change seen -> value back (engine)     %8.2f   x%.1f of the round trip\n", react, react / rtt);
    std::printf("reverts completed                      %8zu of %d\n", totals.size(), runs);
    return totals.size() == size_t(runs) ? 0 : 1;
}

// Start-up benchmark: time from exec to the session-bus name being owned, and resident memory
// after two seconds idle, of the agent and of the minimal Qt program, side by side. Both run in
// the same sandbox over a temporary root, so the agent never writes to this machine's own client
// folders, and the sandbox's own cost falls on both sides alike.
// Run inside scripts/with-test-env.sh (private buses):
//   bench_startup AGENT MINIMAL [runs]
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "agentrun.h"
#include "benchsupport.h"
#include "testenv.h"

namespace {
struct Sample {
    double msToName = -1;
    long rssKb = -1;
};

using TestEnv::residentKb;

Sample runOnce(const QString &program, const QStringList &args, const QString &name, bool measureMemory)
{
    Sample sample;
    TestEnv::TempRoot root(false);
    AgentRun run(root);
    run.setProgram(program, args);
    QDBusServiceWatcher watcher(name, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration);
    QEventLoop loop;
    QElapsedTimer clock;
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, [&] {
        sample.msToName = clock.nsecsElapsed() / 1e6;
        loop.quit();
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    clock.start();
    if (!run.start(false)) {
        std::fprintf(stderr, "bench_startup: %s did not start\n", qPrintable(program));
        return sample;
    }
    loop.exec();
    if (measureMemory) {
        QEventLoop idle;
        QTimer::singleShot(2000, &idle, &QEventLoop::quit);
        idle.exec();
        sample.rssKb = residentKb(run.agentPid());
    }
    run.stop();
    return sample;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_startup AGENT MINIMAL [runs]\n");
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, atoi(argv[3])) : 10;
    const QString agent = argv[1];
    const QString minimal = argv[2];

    std::vector<double> agentMs, minimalMs;
    for (int i = 0; i < runs; ++i) {
        agentMs.push_back(runOnce(agent, {}, "com.kiv.domain.session", false).msToName);
        minimalMs.push_back(runOnce(minimal, {"com.kiv.bench.minimal"}, "com.kiv.bench.minimal", false).msToName);
    }
    const Sample agentMem = runOnce(agent, {}, "com.kiv.domain.session", true);
    const Sample minimalMem = runOnce(minimal, {"com.kiv.bench.minimal"}, "com.kiv.bench.minimal", true);

    const double a = median(agentMs), m = median(minimalMs);
    std::printf("%-34s %12s %12s %8s\n", "start-up benchmark", "agent", "minimal Qt", "ratio");
    std::printf("%-34s %12.1f %12.1f %8.2f\n", "exec to name owned, median ms", a, m, m > 0 ? a / m : 0);
    std::printf("%-34s %12ld %12ld %8.2f\n", "resident after 2 s idle, KiB", agentMem.rssKb, minimalMem.rssKb,
                minimalMem.rssKb > 0 ? double(agentMem.rssKb) / minimalMem.rssKb : 0);
    return 0;
}

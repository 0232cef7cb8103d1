// Start-up benchmark: time from exec to the session-bus name being owned (median over runs,
// the three programs interleaved run by run) and resident memory two seconds after the name is
// owned, of the agent, the structural floor and the bare Qt program. All run in the same
// sandbox over a temporary root holding the session configuration, with the stand-in daemon.
// Run inside scripts/with-test-env.sh (private buses):
//   bench_startup AGENT FLOOR MINIMAL [runs]
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>

#include <cstdio>
#include <memory>
#include <vector>

#include "agentrun.h"
#include "benchsupport.h"
#include "sessionprograms.h"
#include "dbusmock.h"
#include "testenv.h"

namespace {
struct Sample {
    double msToName = -1;
    long rssKb = -1;
};

Sample runOnce(const Compared &compared, bool measureMemory)
{
    Sample sample;
    TestEnv::TempRoot root(false);
    writeSessionRoot(root);
    AgentRun run(root);
    run.setProgram(compared.program, compared.arguments);
    QDBusServiceWatcher watcher(compared.name, QDBusConnection::sessionBus(),
                                QDBusServiceWatcher::WatchForRegistration);
    QEventLoop loop;
    QElapsedTimer clock;
    QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, [&] {
        sample.msToName = clock.nsecsElapsed() / 1e6;
        loop.quit();
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    clock.start();
    if (!run.start(false)) {
        std::fprintf(stderr, "bench_startup: %s did not start\n", qPrintable(compared.program));
        return sample;
    }
    loop.exec();
    if (measureMemory) {
        idle(2000);
        sample.rssKb = residentKb(run.agentPid());
    }
    run.stop();
    return sample;
}
}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_startup AGENT FLOOR MINIMAL [runs]\n");
        return 2;
    }
    const int runs = argc > 4 ? std::max(1, atoi(argv[4])) : 21;
    const std::vector<Compared> programs = comparedPrograms(argv[1], argv[2], argv[3]);
    std::unique_ptr<DBusMock> daemon(
        DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus));

    std::vector<std::vector<double>> ms(programs.size()), kb(programs.size());
    for (int i = 0; i < runs; ++i) {
        for (size_t p = 0; p < programs.size(); ++p)
            ms[p].push_back(runOnce(programs[p], false).msToName);
    }
    for (int i = 0; i < 3; ++i) {
        for (size_t p = 0; p < programs.size(); ++p)
            kb[p].push_back(double(runOnce(programs[p], true).rssKb));
    }

    const double bareMs = median(ms.back()), bareKb = median(kb.back());
    const double floorMs = median(ms[1]), floorKb = median(kb[1]);
    std::printf("start-up, %d runs interleaved        name owned ms   x bare  x floor   resident KiB   x bare  x floor\n",
                runs);
    for (size_t p = 0; p < programs.size(); ++p) {
        const double m = median(ms[p]), k = median(kb[p]);
        std::printf("%-36s %13.1f %8.2f %8.2f %14.0f %8.2f %8.2f\n", programs[p].label, m, m / bareMs, m / floorMs, k,
                    k / bareKb, k / floorKb);
    }
    return 0;
}

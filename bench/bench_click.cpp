// Click benchmark: the time from a user's answer on the install prompt (a click gives the window
// the keyboard, Return presses its focused button) to the daemon's InstallRequest, while the
// domain server takes 12 s over the log-in report, against the same with nothing slow. The real
// agent runs in its sandbox on an Xvfb display; the daemon stand-in records each call.
// Run inside scripts/with-test-env.sh (private buses, the build's schemas):
//   bench_click [answers]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRect>

#include <cstdio>
#include <memory>
#include <vector>

#include "agentrun.h"
#include "benchsupport.h"
#include "fixture.h"
#include "domainserver.h"
#include "testenv.h"
#include "xscreen.h"

namespace {
const QString TaskPath = "/com/domain/taskmanager";

// One prompt shown and answered; the milliseconds from the key press to the daemon's record of
// the answer, or -1.
double answerOnce(Fixture &fixture, const XScreen &screen, int run)
{
    QStringList known = screen.windows();
    const QString task = QString("bench-%1").arg(run);
    fixture.daemonSignal(TaskPath, "InstallNotify", "ssbbi", {task, QString("办公套件"), false, false, 0});
    const QString window = screen.waitForNewWindow(known);
    if (window.isEmpty())
        return -1;
    const QRect shown = screen.geometry(window);
    TestEnv::runCommand("xdotool", {"mousemove", QString::number(shown.center().x()), QString::number(shown.top() + 10),
                                    "click", "1"});
    const int before = fixture.daemon().callsOf(TaskPath, "InstallRequest").size();
    QElapsedTimer clock;
    clock.start();
    TestEnv::runCommand("xdotool", {"key", "Return"});
    if (!TestEnv::waitFor([&] { return fixture.daemon().callsOf(TaskPath, "InstallRequest").size() > before; }, 10000))
        return -1;
    return clock.nsecsElapsed() / 1e6;
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(share * values.size()))];
}
}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, atoi(argv[1])) : 50;
    XScreen screen({"1280x800"}, 96);
    Fixture fixture(Fixture::Daemon | Fixture::Server);
    qputenv("QT_QPA_PLATFORM", "xcb");
    if (!screen.isRunning() || !fixture.startAgent("[init]\nadd_domain_success=true\nip_port=%SERVER%\n")) {
        std::fprintf(stderr, "bench_click: the display, the agent or a stand-in did not come up\n");
        return 1;
    }
    int failures = 0;
    const auto measure = [&](bool slowServer) {
        std::vector<double> ms;
        for (int run = 0; run < runs; ++run) {
            if (slowServer && run % 2 == 0) {  // a report always waiting for the server
                fixture.root().remove("/tmp/alice_post_login.txt");
                fixture.server().setReply("login", QJsonObject{{"body", "welcome"}, {"delay_ms", 12000}});
                Fixture::call("post_login");
                fixture.server().waitForRequests("login", fixture.server().requests("login").size() + 1);
            }
            const double took = answerOnce(fixture, screen, run + (slowServer ? runs : 0));
            if (took < 0)
                ++failures;
            else
                ms.push_back(took);
        }
        return ms;
    };
    const std::vector<double> quiet = measure(false), slow = measure(true);
    std::printf("%-46s %10s %10s\n", QString("answer to InstallRequest, %1 answers").arg(runs).toUtf8().constData(),
                "median ms", "p99 ms");
    std::printf("%-46s %10.1f %10.1f\n", "nothing slow", median(quiet), percentile(quiet, 0.99));
    std::printf("%-46s %10.1f %10.1f\n", "the server 12 s over the log-in report", median(slow), percentile(slow, 0.99));
    if (failures > 0)
        std::printf("failed runs: %d\n", failures);
    return failures == 0 ? 0 : 1;
}

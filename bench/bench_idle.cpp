// Idle wake-ups: context switches of every thread of the agent (running in its sandbox with
// the stand-in daemon, which stays silent) and of the minimal Qt program over the same idle
// period, side by side; the agent once as started in a session and once with Qt's network
// interface polling switched off (QT_BEARER_POLL_TIMEOUT=-1).
// Run inside scripts/with-test-env.sh (private buses):
//   bench_idle MINIMAL [seconds]
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <memory>

#include "agentrun.h"
#include "dbusmock.h"
#include "testenv.h"

namespace {
struct Switches {
    long total = 0;  // voluntary and involuntary, all threads
    long main = 0;   // the main (GUI) thread alone
    int threads = 0;
};

long field(const QByteArray &status, const QByteArray &name)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(name))
            return line.mid(name.size()).trimmed().toLong();
    }
    return 0;
}

Switches switches(qint64 pid)
{
    Switches result;
    const QDir tasks(QString("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(tid) + "/status");
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray status = file.readAll();
        const long count = field(status, "voluntary_ctxt_switches:") + field(status, "nonvoluntary_ctxt_switches:");
        result.total += count;
        if (tid.toLongLong() == pid)
            result.main = count;
        ++result.threads;
    }
    return result;
}

void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Figures {
    Switches before, after;
    long total() const { return after.total - before.total; }
    long main() const { return after.main - before.main; }
};

// The agent, settled (its one-shot start-up work is done), then idle for the period.
bool measureAgent(const QString &bearerPoll, int seconds, Figures &figures)
{
    TestEnv::TempRoot root(false);
    root.writeConfig("[init]\nadd_domain_success=true\n");
    std::unique_ptr<DBusMock> daemon(
        DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus));
    AgentRun agent(root);
    if (!bearerPoll.isEmpty())
        agent.setEnv("QT_BEARER_POLL_TIMEOUT", bearerPoll);
    if (!daemon->isRunning() || !agent.start())
        return false;
    // The pending-task request 5 s after the start is the last one-shot timer.
    if (!TestEnv::waitFor([&] { return !daemon->callsOf("/com/domain/taskmanager", "Init").isEmpty(); }, 15000))
        return false;
    idle(1000);
    const qint64 pid = agent.agentPid();
    figures.before = switches(pid);
    idle(seconds * 1000);
    figures.after = switches(pid);
    return true;
}

bool measureMinimal(const QString &program, int seconds, Figures &figures)
{
    QProcess minimal;
    minimal.start(program, {"com.kiv.bench.minimal"});
    if (!minimal.waitForStarted(10000))
        return false;
    const bool named = TestEnv::waitFor([] {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered("com.kiv.bench.minimal").value();
    });
    if (named) {
        idle(1000);
        figures.before = switches(minimal.processId());
        idle(seconds * 1000);
        figures.after = switches(minimal.processId());
    }
    TestEnv::endProcess(minimal);
    return named;
}

void row(const char *name, const Figures &f, int seconds)
{
    std::printf("%-40s %8ld %8ld %8d %10.2f\n", name, f.total(), f.main(), f.after.threads,
                double(f.total()) / seconds);
}
}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_idle MINIMAL [seconds]\n");
        return 2;
    }
    const int seconds = argc > 2 ? qMax(1, atoi(argv[2])) : 30;
    // The agent's own threads in the sandbox and the minimal program measured over the same time.
    Figures minimal, agent, agentNoPoll;
    bool ok = measureMinimal(argv[1], seconds, minimal);
    ok = measureAgent(QString(), seconds, agent) && ok;
    ok = measureAgent("-1", seconds, agentNoPoll) && ok;
    if (!ok) {
        std::fprintf(stderr, "bench_idle: a program did not come up\n");
        return 1;
    }
    std::printf("%-40s %8s %8s %8s %10s\n", QString("idle %1 s, context switches").arg(seconds).toUtf8().constData(),
                "all", "main", "threads", "per s");
    row("minimal Qt program", minimal, seconds);
    row("agent", agent, seconds);
    row("agent, QT_BEARER_POLL_TIMEOUT=-1", agentNoPoll, seconds);
    return 0;
}

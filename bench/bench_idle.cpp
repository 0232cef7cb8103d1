// Idle wake-ups: context switches of every thread of the agent (in its sandbox, in the session
// configuration, with the stand-in daemon, which stays silent), of the structural floor and of
// the bare Qt program over the same idle period, from 7 s after each start (the agent's last
// one-shot timer, the daemon's "Init" after 5 s, has run by then). Before the idle period the
// agent has done what every session makes it do once: a log-in report and a policy query (both
// to a server that is not there), so its network stack has been started.
// Run inside scripts/with-test-env.sh (private buses):
//   bench_idle AGENT FLOOR MINIMAL [seconds]
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <memory>

#include "agentrun.h"
#include "benchsupport.h"
#include "sessionprograms.h"
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

struct Figures {
    Switches before, after;
    long total() const { return after.total - before.total; }
    long main() const { return after.main - before.main; }
};

bool measure(const Compared &compared, int seconds, Figures &figures)
{
    TestEnv::TempRoot root(false);
    writeSessionRoot(root);
    AgentRun run(root);
    run.setProgram(compared.program, compared.arguments);
    if (!run.start(compared.name == "com.kiv.domain.session"))
        return false;
    if (compared.name == "com.kiv.domain.session") {
        QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(TestEnv::AgentService, TestEnv::AgentPath,
                                                                          TestEnv::AgentInterface, "post_login"));
        TestEnv::runCommand("gsettings", {"set", "org.qoro.desktop.background", "picture-uri", "'file:///idle.png'"});
    }
    idle(7000);
    const qint64 pid = run.agentPid();
    if (pid <= 0)
        return false;
    figures.before = switches(pid);
    idle(seconds * 1000);
    figures.after = switches(pid);
    return true;
}
}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_idle AGENT FLOOR MINIMAL [seconds]\n");
        return 2;
    }
    const int seconds = argc > 4 ? qMax(1, atoi(argv[4])) : 60;
    std::unique_ptr<DBusMock> daemon(
        DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus));
    std::printf("%-36s %8s %8s %8s\n", QString("idle %1 s, context switches").arg(seconds).toUtf8().constData(),
                "all", "main", "threads");
    for (const Compared &compared : comparedPrograms(argv[1], argv[2], argv[3])) {
        Figures figures;
        if (!measure(compared, seconds, figures)) {
            std::fprintf(stderr, "bench_idle: %s did not come up\n", compared.label);
            return 1;
        }
        std::printf("%-36s %8ld %8ld %8d\n", compared.label, figures.total(), figures.main(), figures.after.threads);
    }
    return 0;
}

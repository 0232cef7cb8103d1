// The command runner and the small probes of local services around it.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDomDocument>
#include <QFile>
#include <QProcess>
#include <QCoroProcess>
#include <QCoroTimer>
#include <QTimer>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

#include "childenvironment.h"
#include "inflight.h"
#include "log.h"
#include "paths.h"
#include "process.h"
#include "systemd.h"
#include "utils.h"

namespace {
const char *const ShellProgram = "/bin/bash";
constexpr int ReapWaitMs = 5000;  // for a killed command to be collected

int &timeLimitMs()
{
    static int ms = 120000;
    return ms;
}

// A command runs in a process group of its own, so that ending a command that hangs also ends
// whatever it started (a pipeline, a sleeping child).
class CommandProcess : public QProcess
{
public:
    CommandProcess() { setProcessEnvironment(childEnvironment()); }

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

QCoro::Task<> killCommand(QProcess *process)
{
    const qint64 pid = process->processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    process->kill();
    co_await qCoro(process).waitForFinished(std::chrono::milliseconds(ReapWaitMs));
}

QByteArray describe(const QString &program, const QStringList &arguments)
{
    return (QStringList{program} + arguments).join(' ').toUtf8();
}

std::chrono::milliseconds remaining(const QDeadlineTimer &deadline)
{
    return std::chrono::milliseconds(qMax<qint64>(0, deadline.remainingTime()));
}

// One run of a command, awaited: started, finished or killed at the deadline. A program that
// cannot start reports it at once (errorOccurred), not at the deadline.
struct Run {
    bool started = false;
    bool finished = false;  // ended by itself before the deadline
};

QCoro::Task<Run> runUntil(QProcess *process, const QString &program, const QStringList &arguments,
                          QDeadlineTimer deadline)
{
    Run run;
    // Started, or failed to start: a program that cannot start says so at once, and the wait for
    // "started" alone would last until the deadline. One single-shot timer ends the wait on either
    // answer or at the deadline.
    QTimer decided;
    decided.setSingleShot(true);
    QObject::connect(process, &QProcess::started, &decided, [&decided] { decided.start(0); });
    QObject::connect(process, &QProcess::errorOccurred, &decided, [&decided](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            decided.start(0);
    });
    process->start(program, arguments);
    InFlight::track(process);
    decided.start(remaining(deadline));
    co_await qCoro(decided).waitForTimeout();
    run.started = process->error() != QProcess::FailedToStart && process->state() != QProcess::Starting;
    if (!run.started)
        co_return run;
    run.finished = co_await qCoro(process).waitForFinished(remaining(deadline));
    if (!run.finished && process->state() == QProcess::NotRunning)
        run.finished = true;  // ended just as the deadline came
    co_return run;
}
}  // namespace

int Utils::commandTimeLimitMs() { return timeLimitMs(); }

void Utils::setCommandTimeLimitMs(int ms) { timeLimitMs() = ms; }

QCoro::Task<Utils::ProgramRun> Utils::run_program(QString program, QStringList arguments, int timeoutMs)
{
    ProgramRun result;
    const int limitMs = timeoutMs < 0 ? commandTimeLimitMs() : qMin(timeoutMs, commandTimeLimitMs());
    CommandProcess process;
    const Run run = co_await runUntil(&process, program, arguments, QDeadlineTimer(limitMs));
    if (!run.started) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: cannot start %s: %s", "run_program",
                                        describe(program, arguments).constData(),
                                        process.errorString().toUtf8().constData());
        co_return result;
    }
    if (!run.finished) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s did not end within %d ms, killed", "run_program",
                                        describe(program, arguments).constData(), limitMs);
        co_await killCommand(&process);
    } else {
        result.finished = process.exitStatus() == QProcess::NormalExit;
        result.exitCode = result.finished ? process.exitCode() : -1;
    }
    result.output = process.readAllStandardOutput();
    result.errorOutput = process.readAllStandardError();
    co_return result;
}

QCoro::Task<CmdResult> Utils::exec_cmd(QString cmd, int mode)
{
    CmdResult result;
    QStringList arguments;
    if (mode == 0) {
        arguments << "-c" << cmd;
    } else if (mode == 1) {
        arguments << cmd;  // cmd names a script file
    } else {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: unknown mode %d for command %s", "exec_cmd", mode,
                                        cmd.toUtf8().constData());
        co_return result;
    }

    // Awaited, so that the agent keeps serving events, but never longer than the command time
    // limit in all.
    const int limitMs = commandTimeLimitMs();
    CommandProcess process;
    const Run run = co_await runUntil(&process, ShellProgram, arguments, QDeadlineTimer(limitMs));
    if (!run.started) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: cannot start %s: %s", "exec_cmd", ShellProgram,
                                        process.errorString().toUtf8().constData());
        co_return result;
    }
    if (!run.finished) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: command did not end within %d ms, killed: %s", "exec_cmd",
                                        limitMs, cmd.toUtf8().constData());
        co_await killCommand(&process);
        result.output = QString::fromUtf8(process.readAllStandardOutput().constData());
        co_return result;
    }
    result.output = QString::fromUtf8(process.readAllStandardOutput().constData());
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    process.close();
    co_return result;
}

bool Utils::isProcessExisted(QString name) { return process_is_running(name.toLatin1().constData()) != 0; }

// The caller's own name counts the caller: exactly two means one more copy runs.
bool Utils::isSelfProcessExisted(QString name) { return count_process(name.toLatin1().constData()) == 2; }

QCoro::Task<> Utils::start_systemd_unit(QString unit)
{
    const bool started = co_await Systemd::startUnit(QDBusConnection::systemBus(), unit);
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: start %s result(%s)", "start_systemd_unit",
                                    unit.toUtf8().constData(), started ? "successed" : "failed");
}

void Utils::initUsb()
{
    if (!QProcess::startDetached(Paths::usbScript(), {"init"}))
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: cannot start %s", "initUsb",
                                        Paths::usbScript().toUtf8().constData());
}

QCoro::Task<QString> Utils::get_ssh_status()
{
    const QStringList arguments{"-c", "service --status-all | grep ssh"};
    const ProgramRun run = co_await run_program("bash", arguments, NoOwnLimit);
    co_return QString::fromUtf8(run.output);
}

QCoro::Task<QString> Utils::get_usb_status()
{
    const QStringList arguments{Paths::usbStatus()};
    const ProgramRun run = co_await run_program("cat", arguments, ProbeLimitMs);
    co_return QString::fromUtf8(run.output);
}

void Utils::get_firewall_status(int &level, int &enable)
{
    QFile file(Paths::firewallConfig());
    if (!file.open(QIODevice::ReadOnly))
        return;
    QDomDocument document;
    QString error;
    if (!document.setContent(&file, false, &error)) {
        Log::GetInstance()->SaveFileLog(LOG_WARN, "%s: cannot parse %s: %s", "get_firewall_status",
                                        file.fileName().toUtf8().constData(), error.toUtf8().constData());
        return;
    }
    const QDomElement root = document.documentElement();
    if (root.tagName() != "root")
        return;
    // Several "bases" elements: the last one wins.
    for (QDomNode node = root.firstChild(); !node.isNull(); node = node.nextSibling()) {
        const QDomElement element = node.toElement();
        if (element.tagName() != "bases" || !element.hasAttributes())
            continue;
        enable = element.attribute("enable").toInt();
        level = element.attribute("level").toInt();
    }
}

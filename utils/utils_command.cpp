// The command runner and the small probes of local services around it.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDomDocument>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

#include "childenvironment.h"
#include "log.h"
#include "paths.h"
#include "process.h"
#include "systemd.h"
#include "utils.h"

namespace {
const char *const ShellProgram = "/bin/bash";
constexpr int ExtraWaitMs = 30000;  // after the event loop, for a command that is still closing
constexpr int ReapWaitMs = 5000;    // for a killed command to be collected

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

void killCommand(QProcess &process)
{
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL);
    process.kill();
    process.waitForFinished(ReapWaitMs);
}

QByteArray describe(const QString &program, const QStringList &arguments)
{
    return (QStringList{program} + arguments).join(' ').toUtf8();
}
}  // namespace

int Utils::commandTimeLimitMs() { return timeLimitMs(); }

void Utils::setCommandTimeLimitMs(int ms) { timeLimitMs() = ms; }

Utils::ProgramRun Utils::run_program(const QString &program, const QStringList &arguments, int timeoutMs)
{
    ProgramRun run;
    const int limitMs = timeoutMs < 0 ? commandTimeLimitMs() : qMin(timeoutMs, commandTimeLimitMs());
    QDeadlineTimer deadline(limitMs);
    CommandProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(int(deadline.remainingTime()))) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: cannot start %s: %s", "run_program",
                                        describe(program, arguments).constData(),
                                        process.errorString().toUtf8().constData());
        return run;
    }
    if (!process.waitForFinished(int(deadline.remainingTime()))) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s did not end within %d ms, killed", "run_program",
                                        describe(program, arguments).constData(), limitMs);
        killCommand(process);
    } else {
        run.finished = process.exitStatus() == QProcess::NormalExit;
        run.exitCode = run.finished ? process.exitCode() : -1;
    }
    run.output = process.readAllStandardOutput();
    run.errorOutput = process.readAllStandardError();
    return run;
}

CmdResult Utils::exec_cmd(const QString &cmd, int mode)
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
        return result;
    }

    // Wait in a local event loop so that the agent keeps serving events, but never longer
    // than the command time limit in all.
    const int limitMs = commandTimeLimitMs();
    QDeadlineTimer deadline(limitMs);
    CommandProcess process;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);

    process.start(ShellProgram, arguments);
    limit.start(limitMs);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    if (process.state() != QProcess::NotRunning)
        process.waitForFinished(int(qMin<qint64>(ExtraWaitMs, deadline.remainingTime())));

    if (process.state() != QProcess::NotRunning) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: command did not end within %d ms, killed: %s", "exec_cmd",
                                        limitMs, cmd.toUtf8().constData());
        killCommand(process);
        result.output = QString::fromUtf8(process.readAllStandardOutput().constData());
        return result;
    }
    if (process.error() == QProcess::FailedToStart) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: cannot start %s: %s", "exec_cmd", ShellProgram,
                                        process.errorString().toUtf8().constData());
        return result;
    }
    result.output = QString::fromUtf8(process.readAllStandardOutput().constData());
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    process.close();
    return result;
}

bool Utils::isProcessExisted(QString name) { return process_is_running(name.toLatin1().constData()) != 0; }

// The caller's own name counts the caller: exactly two means one more copy runs.
bool Utils::isSelfProcessExisted(QString name) { return count_process(name.toLatin1().constData()) == 2; }

void Utils::start_systemd_unit(QString unit)
{
    const bool started = Systemd::startUnit(QDBusConnection::systemBus(), unit);
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: start %s result(%s)", "start_systemd_unit",
                                    unit.toUtf8().constData(), started ? "successed" : "failed");
}

void Utils::initUsb()
{
    if (!QProcess::startDetached(Paths::usbScript(), {"init"}))
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: cannot start %s", "initUsb",
                                        Paths::usbScript().toUtf8().constData());
}

QString Utils::get_ssh_status()
{
    return QString::fromUtf8(run_program("bash", {"-c", "service --status-all | grep ssh"}, NoOwnLimit).output);
}

QString Utils::get_usb_status()
{
    return QString::fromUtf8(run_program("cat", {Paths::usbStatus()}, ProbeLimitMs).output);
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

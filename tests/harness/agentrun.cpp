#include "agentrun.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcessEnvironment>

#include <csignal>

bool sessionNameOwned()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(TestEnv::AgentService).value();
}

AgentRun::AgentRun(const TestEnv::TempRoot &root, const QString &user, bool asTestUser)
    : m_root(root)
    , m_program(TestEnv::agentProgram())
    , m_asTestUser(asTestUser)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", "/home/" + user);
    env.insert("TMPDIR", root.path("/tmp"));
    env.insert("XDG_RUNTIME_DIR", root.path(TestEnv::RuntimeDir));
    env.insert("XDG_SESSION_ID", "7");
    m_process.setProcessEnvironment(env);
}

AgentRun::~AgentRun() { stop(); }

void AgentRun::setProgram(const QString &program, const QStringList &arguments)
{
    m_program = program;
    m_arguments = arguments;
}

QStringList AgentRun::sandbox() const
{
    QStringList args{"--bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--die-with-parent"};
    if (!m_asTestUser)
        args << "--unshare-user" << "--uid" << "1000" << "--gid" << "1000";
    const auto bind = [&](const QString &fixed) { args << "--bind" << m_root.path(fixed) << fixed; };
    bind("/usr/share/kiv-domain-client");
    bind("/var/log/kiv-domain-client");
    bind("/etc/kiv");
    bind("/etc/kiv-security");
    for (const QString &file : {QStringLiteral("/etc/os-release"), QStringLiteral("/proc/cmdline")}) {
        if (m_root.exists(file))
            args << "--ro-bind" << m_root.path(file) << file;
    }
    // The program notes its process id (the shell's, which it takes over) for signals and probes.
    args << m_extraBinds << "--" << "/bin/sh" << "-c" << "echo $$ > \"$0\"; exec \"$@\"" << m_root.path("/tmp/program.pid")
         << m_program << m_arguments;
    return args;
}

QString AgentRun::script() const
{
    const QProcessEnvironment env = m_process.processEnvironment();
    QString script = "#!/bin/sh\nexport HOME='" + env.value("HOME") + "' TMPDIR='" + env.value("TMPDIR") + "'\nexec bwrap";
    QStringList args = sandbox();
    args.removeAll("--die-with-parent");  // a starter that ends first leaves the program to end by itself
    for (const QString &arg : args)
        script += " '" + QString(arg).replace("'", "'\\''") + "'";
    return script + "\n";
}

bool AgentRun::start(bool waitForName, int timeoutMs)
{
    m_root.remove("/tmp/program.pid");
    const QString told = "setHeartBeat timeout(";
    const int heartbeatsLogged = m_root.countInLog(told);
    m_process.start("bwrap", sandbox());
    if (!m_process.waitForStarted(10000))
        return false;
    if (!waitForName)
        return true;
    // The object is exported as the name is claimed, before the start-up work. The agent's last step before its event
    // loop, the task router, follows right after it logs the daemon's answer to the heartbeat period; a call the agent
    // does not know is answered from that loop.
    if (!TestEnv::waitFor([this] { return m_process.state() == QProcess::Running && sessionNameOwned(); }, timeoutMs))
        return false;
    if (m_program != TestEnv::agentProgram())
        return true;
    if (!TestEnv::waitFor([&] { return m_root.countInLog(told) > heartbeatsLogged; }, timeoutMs))
        return false;
    const QDBusMessage unknown = QDBusMessage::createMethodCall(TestEnv::AgentService, TestEnv::AgentPath,
                                                                TestEnv::AgentInterface, "ready");
    return QDBusConnection::sessionBus().call(unknown, QDBus::Block, timeoutMs).errorName() ==
           "org.freedesktop.DBus.Error.UnknownMethod";
}

bool AgentRun::waitForExit(int timeoutMs)
{
    return TestEnv::waitFor([this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
}

QString AgentRun::output()
{
    m_output += QString::fromUtf8(m_process.readAll());
    return m_output;
}

qint64 AgentRun::agentPid() const
{
    if (m_process.state() != QProcess::Running)
        return -1;
    const QByteArray pid = m_root.readFile("/tmp/program.pid").trimmed();
    return pid.isEmpty() ? -1 : pid.toLongLong();
}

// bwrap does not pass signals on, so the signal goes to the agent itself.
void AgentRun::sendSignal(int sig)
{
    const qint64 agent = agentPid();
    if (agent > 0)
        ::kill(pid_t(agent), sig);
}

void AgentRun::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    sendSignal(SIGTERM);
    if (!m_process.waitForFinished(5000))
        TestEnv::endProcess(m_process);
}

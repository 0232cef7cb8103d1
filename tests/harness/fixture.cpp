#include "fixture.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>

const QByteArray Kiv5Release = "NAME=\"KIV Desktop\"\nNAME_EN=\"KIVDesktop\"\nVERSION_ID=\"5.0\"\nID=kiv\n";

struct Fixture::MockStandIn {
    StandIn which;
    std::unique_ptr<DBusMock> Fixture::*member;
    const char *templ;  // a dbusmock template, or a file under sim/
    DBusMock::Bus bus;
};

// One row per stand-in that a dbusmock process serves.
const std::vector<Fixture::MockStandIn> &Fixture::mockStandIns()
{
    static const std::vector<MockStandIn> rows{
        {Daemon, &Fixture::m_daemon, "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus},
        {Logind, &Fixture::m_logind, "logind", DBusMock::SystemBus},
        {Systemd, &Fixture::m_systemd, "/systemd.py", DBusMock::SystemBus},
        {Accounts, &Fixture::m_accounts, "/accountsservice.py", DBusMock::SystemBus},
        {SecurityCenter, &Fixture::m_securityCenter, "/securitycenter.py", DBusMock::SystemBus},
        {DesktopShell, &Fixture::m_desktopShell, "/desktopshell.py", DBusMock::SessionBus},
        {SessionManager, &Fixture::m_sessionManager, "/sessionmanager.py", DBusMock::SessionBus},
    };
    return rows;
}

Fixture::Fixture(int standIns, bool applySeam)
    : m_root(new TestEnv::TempRoot(applySeam))
{
    for (int standIn = Daemon; standIn <= Server; standIn <<= 1) {
        if (standIns & standIn)
            restart(StandIn(standIn));
    }
}

Fixture::~Fixture() { stopAgent(); }

void Fixture::reset()
{
    for (const MockStandIn &row : mockStandIns()) {
        if (row.which != Daemon && this->*row.member)
            (this->*row.member)->clearCalls((this->*row.member)->mainObject());
    }
    if (m_daemon) {
        m_daemon->mock(TestEnv::AgentPath, "ResetReplies");
        for (const char *path : {"/com/domain/agent", "/com/domain/sync", "/com/domain/config", "/com/domain/events",
                                 "/com/domain/taskmanager", "/com/domain/remoteassist"})
            m_daemon->clearCalls(path);
    }
    if (m_server) {
        m_server->resetScenario();
        m_server->clearRequests();
    }
    m_root->remove("/var/log/kiv-domain-client/kiv-domain-session-agent.log");
    m_root->remove("/tmp/alice_post_login.txt");
    QDir(m_root->path(TestEnv::RuntimeDir)).removeRecursively();
    m_root->makeDir(TestEnv::RuntimeDir);
}

bool Fixture::standInsAlive() const
{
    for (const MockStandIn &row : mockStandIns()) {
        if (this->*row.member && !(this->*row.member)->isRunning())
            return false;
    }
    return !m_server || m_server->isRunning();
}

void Fixture::restart(StandIn standIn)
{
    if (standIn == Server) {
        m_server.reset();
        m_server.reset(new DomainServer());
        if (!m_server->isRunning())
            qFatal("the stand-in domain server did not come up");
        return;
    }
    for (const MockStandIn &row : mockStandIns()) {
        if (row.which != standIn)
            continue;
        std::unique_ptr<DBusMock> &mock = this->*row.member;
        mock.reset();
        const QString templ = row.templ[0] == '/' ? TestEnv::simDir() + row.templ : QString(row.templ);
        mock.reset(DBusMock::fromTemplate(templ, row.bus));
        if (!mock->isRunning())
            qFatal("the stand-in %s did not come up", qPrintable(templ));
    }
}

void Fixture::daemonReply(const QString &method, const QString &signature, const QVariant &value) const
{
    m_daemon->mock(TestEnv::AgentPath, "SetReply", {method, signature, QVariant::fromValue(QDBusVariant(value))});
}

void Fixture::daemonError(const QString &method, const QString &errorName) const
{
    m_daemon->mock(TestEnv::AgentPath, "SetError", {method, errorName, QStringLiteral("refused by the test")});
}

void Fixture::daemonDelay(const QString &method, double seconds) const
{
    m_daemon->mock(TestEnv::AgentPath, "SetDelay", {method, seconds});
}

void Fixture::daemonSignal(const QString &path, const QString &name, const QString &signature,
                           const QVariantList &args) const
{
    const QString interface = path == "/com/domain/taskmanager" ? "com.domain.taskmanager" : "com.kiv.domain.agent";
    m_daemon->emitSignal(path, interface, name, signature, args);
}

void Fixture::forgeSignal(const QString &path, const QString &interface, const QString &name, const QVariantList &args)
{
    QDBusMessage forged = QDBusMessage::createSignal(path, interface, name);
    forged.setArguments(args);
    QDBusConnection::systemBus().send(forged);
    // A round trip with the bus: it has passed the signal on before it answers.
    QDBusConnection::systemBus().interface()->isServiceRegistered("org.freedesktop.DBus");
}

bool Fixture::startAgent(const QByteArray &config, const QByteArray &osRelease, bool waitForName)
{
    prepareAgent(config, osRelease);
    return m_agent->start(waitForName);
}

void Fixture::prepareAgent(const QByteArray &config, const QByteArray &osRelease)
{
    stopAgent();
    if (!config.isNull()) {
        QByteArray ini = config;
        if (m_server)
            ini.replace("%SERVER%", m_server->address().toUtf8());
        m_root->writeConfig(ini);
    }
    if (osRelease.isNull())
        m_root->remove("/etc/os-release");
    else
        m_root->writeFile("/etc/os-release", osRelease);
    m_agent.reset(new AgentRun(*m_root, "alice", agentAsTestUser));
    // A physical machine, whatever machine the tests run on.
    m_root->writeFile("/sbin/systemd-detect-virt", "#!/bin/sh\necho none\nexit 1\n", true);
    m_agent->addBind(m_root->path("/sbin/systemd-detect-virt"), "/usr/bin/systemd-detect-virt");
}

void Fixture::stopAgent()
{
    if (!m_agent)
        return;
    m_agent->stop();
    m_agent.reset();
    TestEnv::waitFor([] { return !sessionNameOwned(); }, 5000);
}

QDBusPendingCall Fixture::call(const QString &method, const QVariantList &args, int timeoutMs)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(TestEnv::AgentService, TestEnv::AgentPath, TestEnv::AgentInterface, method);
    message.setArguments(args);
    return QDBusConnection::sessionBus().asyncCall(message, timeoutMs);
}

QString Fixture::answer(const QDBusPendingCall &call, int timeoutMs)
{
    if (!TestEnv::waitFor([&] { return call.isFinished(); }, timeoutMs))
        return "error: no answer within the test's bound";
    // Signals the agent sent before its answer have been queued for this thread by now.
    QCoreApplication::processEvents();
    const QDBusMessage reply = call.reply();
    if (reply.type() == QDBusMessage::ErrorMessage)
        return "error: " + reply.errorName();
    return reply.arguments().isEmpty() ? QString() : reply.arguments().first().toString();
}

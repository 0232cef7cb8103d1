#include "fixture.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDBusVariant>

const QByteArray Kiv5Release = "NAME=\"KIV Desktop\"\nNAME_EN=\"KIVDesktop\"\nVERSION_ID=\"5.0\"\nID=kiv\n";

namespace {
const QString AgentObject = QStringLiteral("/com/domain/agent");

std::unique_ptr<DBusMock> startIf(bool wanted, const QString &templ, DBusMock::Bus bus)
{
    if (!wanted)
        return nullptr;
    std::unique_ptr<DBusMock> mock(DBusMock::fromTemplate(templ, bus));
    if (!mock->isRunning())
        qFatal("the stand-in %s did not come up", qPrintable(templ));
    return mock;
}
}  // namespace

Fixture::Fixture(int standIns, bool applySeam)
    : m_root(new TestEnv::TempRoot(applySeam))
{
    const QString sim = TestEnv::simDir();
    m_daemon = startIf(standIns & Daemon, sim + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus);
    m_logind = startIf(standIns & Logind, "logind", DBusMock::SystemBus);
    m_systemd = startIf(standIns & Systemd, "systemd", DBusMock::SystemBus);
    m_accounts = startIf(standIns & Accounts, sim + "/accountsservice.py", DBusMock::SystemBus);
    m_securityCenter = startIf(standIns & SecurityCenter, sim + "/securitycenter.py", DBusMock::SystemBus);
    m_desktopShell = startIf(standIns & DesktopShell, sim + "/desktopshell.py", DBusMock::SessionBus);
    m_sessionManager = startIf(standIns & SessionManager, sim + "/sessionmanager.py", DBusMock::SessionBus);
    if (standIns & Server) {
        m_server.reset(new DomainServer());
        if (!m_server->isRunning())
            qFatal("the stand-in domain server did not come up");
    }
}

Fixture::~Fixture() { stopAgent(); }

void Fixture::reset()
{
    for (const auto *mock : {&m_logind, &m_systemd, &m_accounts, &m_securityCenter, &m_desktopShell, &m_sessionManager}) {
        if (*mock)
            (*mock)->clearCalls((*mock)->mainObject());
    }
    if (m_daemon) {
        m_daemon->mock(AgentObject, "ResetReplies");
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
}

bool Fixture::standInsAlive() const
{
    for (const auto *mock : {&m_daemon, &m_logind, &m_systemd, &m_accounts, &m_securityCenter, &m_desktopShell,
                             &m_sessionManager}) {
        if (*mock && !(*mock)->isRunning())
            return false;
    }
    return !m_server || m_server->isRunning();
}

void Fixture::restart(StandIn standIn)
{
    const QString sim = TestEnv::simDir();
    const auto again = [](std::unique_ptr<DBusMock> &mock, const QString &templ, DBusMock::Bus bus) {
        if (mock)
            mock->stop();
        mock = startIf(true, templ, bus);
    };
    switch (standIn) {
    case Daemon: again(m_daemon, sim + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus); break;
    case Logind: again(m_logind, "logind", DBusMock::SystemBus); break;
    case Systemd: again(m_systemd, "systemd", DBusMock::SystemBus); break;
    case Accounts: again(m_accounts, sim + "/accountsservice.py", DBusMock::SystemBus); break;
    case SecurityCenter: again(m_securityCenter, sim + "/securitycenter.py", DBusMock::SystemBus); break;
    case DesktopShell: again(m_desktopShell, sim + "/desktopshell.py", DBusMock::SessionBus); break;
    case SessionManager: again(m_sessionManager, sim + "/sessionmanager.py", DBusMock::SessionBus); break;
    case Server:
        m_server.reset();
        m_server.reset(new DomainServer());
        break;
    }
}

void Fixture::daemonReply(const QString &method, const QString &signature, const QVariant &value) const
{
    m_daemon->mock(AgentObject, "SetReply", {method, signature, QVariant::fromValue(QDBusVariant(value))});
}

void Fixture::daemonError(const QString &method, const QString &errorName) const
{
    m_daemon->mock(AgentObject, "SetError", {method, errorName, QStringLiteral("refused by the test")});
}

void Fixture::daemonDelay(const QString &method, double seconds) const
{
    m_daemon->mock(AgentObject, "SetDelay", {method, seconds});
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
    m_agent.reset(new AgentRun(*m_root));
    // A physical machine, whatever machine the tests run on.
    m_root->writeFile("/sbin/systemd-detect-virt", "#!/bin/sh\necho none\nexit 1\n", true);
    m_agent->addBind(m_root->path("/sbin/systemd-detect-virt"), "/usr/bin/systemd-detect-virt");
    return m_agent->start(waitForName);
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

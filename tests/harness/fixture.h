#pragma once

// The one fixture of every test program. The private buses, the offscreen display and the settings backend come from
// scripts/with-test-env.sh; the fixture starts the stand-ins a program names once, holds one temporary root for the
// client's fixed paths, runs the real agent in its sandbox over that root and calls the agent as a session client does.

#include <QDBusPendingCall>
#include <QVariantList>

#include <memory>
#include <vector>

#include "agentrun.h"
#include "dbusmock.h"
#include "domainserver.h"
#include "testenv.h"

class Fixture
{
public:
    enum StandIn {
        Daemon = 0x1,          // com.kiv.domain (sim/daemon)
        Logind = 0x2,          // org.freedesktop.login1 (dbusmock's template)
        Systemd = 0x4,         // org.freedesktop.systemd1 (sim/systemd.py: jobs reported to subscribers)
        Accounts = 0x8,        // org.freedesktop.Accounts (sim/accountsservice.py)
        SecurityCenter = 0x10, // com.kiv.securitycenter (sim/securitycenter.py)
        DesktopShell = 0x20,   // org.freedesktop.Desktop on the session bus (sim/desktopshell.py)
        SessionManager = 0x40, // org.gnome.SessionManager on the session bus (sim/sessionmanager.py)
        Server = 0x80,         // the domain server (sim/domain-server)
    };
    // applySeam: the path seam of this process points at the root too (for code under test that runs in the test
    // program itself).
    explicit Fixture(int standIns, bool applySeam = false);
    ~Fixture();

    DBusMock &daemon() const { return *m_daemon; }
    DBusMock &logind() const { return *m_logind; }
    DBusMock &systemd() const { return *m_systemd; }
    DBusMock &accounts() const { return *m_accounts; }
    DBusMock &securityCenter() const { return *m_securityCenter; }
    DBusMock &desktopShell() const { return *m_desktopShell; }
    DBusMock &sessionManager() const { return *m_sessionManager; }
    DomainServer &server() const { return *m_server; }
    const TestEnv::TempRoot &root() const { return *m_root; }

    // Between rows: the stand-ins forget their calls and knobs, the server its requests and scenario, and the agent's
    // log and log-in marker go, so that a row sees only its own.
    void reset();
    // Every stand-in still serves; a row that killed one would make the next rows pass or fail for the wrong reason.
    bool standInsAlive() const;
    // Starts one stand-in afresh: after a row stopped it, or it died (a daemon that leaves in the middle of a call);
    // also undoes what a row changed in it.
    void restart(StandIn standIn);

    // The daemon stand-in's knobs (see sim/daemon): its answer, an error or a delay for a method.
    void daemonReply(const QString &method, const QString &signature, const QVariant &value) const;
    void daemonError(const QString &method, const QString &errorName) const;
    void daemonDelay(const QString &method, double seconds) const;
    // A signal of the daemon, sent by the daemon itself.
    void daemonSignal(const QString &path, const QString &name, const QString &signature,
                      const QVariantList &args) const;
    // The same signal sent by another connection of the system bus: a forged one.
    static void forgeSignal(const QString &path, const QString &interface, const QString &name,
                            const QVariantList &args);

    // The real agent in its sandbox over root(): with this client configuration (INI text, with the server's address in
    // place of "%SERVER%"; null leaves the root's file, or its absence, as it is) and, when given, this os-release.
    // Waits until the agent owns its name (and has exported its object) unless waitForName is false.
    bool startAgent(const QByteArray &config, const QByteArray &osRelease = QByteArray(), bool waitForName = true);
    bool agentAsTestUser = false;  // the agent as this process's user (see AgentRun)
    // The same, up to the start: agent() then holds the sandbox for another starter.
    void prepareAgent(const QByteArray &config, const QByteArray &osRelease = QByteArray());
    void stopAgent();
    AgentRun &agent() const { return *m_agent; }

    // A call of the agent's service as a session client makes it: sent at once, with D-Bus's default reply limit,
    // answered later.
    static QDBusPendingCall call(const QString &method, const QVariantList &args = {}, int timeoutMs = 25000);
    // The answer of a call, waited for with a bound: its text ("" for a call without one), or "error: " and the D-Bus
    // error name.
    static QString answer(const QDBusPendingCall &call, int timeoutMs = 30000);

private:
    struct MockStandIn;
    static const std::vector<MockStandIn> &mockStandIns();

    std::unique_ptr<TestEnv::TempRoot> m_root;
    std::unique_ptr<DBusMock> m_daemon, m_logind, m_systemd, m_accounts, m_securityCenter, m_desktopShell,
        m_sessionManager;
    std::unique_ptr<DomainServer> m_server;
    std::unique_ptr<AgentRun> m_agent;
};

// The client's own desktop 5: the policy engine runs there.
extern const QByteArray Kiv5Release;

#pragma once

// The real agent program in a bwrap sandbox whose fixed paths are bound to a TempRoot, run as an ordinary user of the
// test buses.

#include <QProcess>
#include <QString>
#include <QStringList>

#include "testenv.h"

class AgentRun
{
public:
    // asTestUser: as this process's user instead of user 1000 of a user namespace (the AT-SPI bus takes only its own
    // user's credentials).
    explicit AgentRun(const TestEnv::TempRoot &root, const QString &user = "alice", bool asTestUser = false);
    ~AgentRun();

    // Another program in the same sandbox instead of the agent: a benchmark's baseline under the same conditions.
    void setProgram(const QString &program, const QStringList &arguments = {});
    // One more file or folder of the host replaced inside the sandbox (the target must exist).
    void addBind(const QString &source, const QString &target) { m_extraBinds << "--ro-bind" << source << target; }
    // The command line of the sandbox, and a shell script that runs it as start() does (for a session manager that
    // starts the agent), except that the program outlives the script's parent.
    QStringList sandbox() const;
    QString script() const;
    // Starts the program; with waitForName, waits until it owns "com.kiv.domain.session" and has exported its service
    // object.
    bool start(bool waitForName = true, int timeoutMs = 20000);
    bool waitForExit(int timeoutMs = 20000);
    int exitCode() const { return m_process.exitCode(); }
    QString output();  // standard output and standard error so far
    void sendSignal(int sig);
    void stop();
    qint64 agentPid() const;  // the agent (or the program set) inside it

private:
    const TestEnv::TempRoot &m_root;
    QString m_program;
    QStringList m_arguments;
    QProcess m_process;
    QString m_output;
    QStringList m_extraBinds;
    bool m_asTestUser;
};

bool sessionNameOwned();

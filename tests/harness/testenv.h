#pragma once

// Shared pieces of the test harness. Each test program runs inside scripts/with-test-env.sh, which gives it private
// session and system buses, an offscreen display and a settings backend.

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

namespace TestEnv {

// The agent's names on the session bus and its configuration file, as its peers use them.
const QString AgentService = QStringLiteral("com.kiv.domain.session");
const QString AgentPath = QStringLiteral("/com/domain/agent");
const QString AgentInterface = QStringLiteral("com.kiv.domain.agent");
const QString ConfigIni = QStringLiteral("/usr/share/kiv-domain-client/salt/config.ini");
// The sandboxed agent's runtime folder ($XDG_RUNTIME_DIR), in its log-in session "7".
const QString RuntimeDir = QStringLiteral("/run/user/1000");

inline QString sourceDir() { return QStringLiteral(AGENT_SOURCE_DIR); }
inline QString binaryDir() { return QStringLiteral(AGENT_BINARY_DIR); }
inline QString agentProgram() { return QStringLiteral(AGENT_PROGRAM); }
inline QString simDir() { return sourceDir() + "/sim"; }  // the stand-ins' sources (templates, scripts)

// Waits for a condition while serving events; false when the bound runs out.
bool waitFor(const std::function<bool()> &condition, int timeoutMs = 10000);

// A temporary folder that stands for "/" for every fixed path of the client. Constructing it points the path seam at
// it; destroying it removes it and points the seam back.
class TempRoot
{
public:
    explicit TempRoot(bool applySeam = true);
    ~TempRoot();

    QString path() const { return m_dir.path(); }  // the folder itself
    QString path(const QString &fixedPath) const { return m_dir.path() + fixedPath; }  // folder + fixed path
    void writeFile(const QString &fixedPath, const QByteArray &content, bool executable = false) const;
    QByteArray readFile(const QString &fixedPath) const;
    // Writes the client configuration file. QSettings, like any reader that trusts a file's size and time stamp, cannot
    // tell two same-size versions written within one clock tick apart; a trailing comment line of a new length keeps
    // quick rewrites distinguishable.
    void writeConfig(const QByteArray &ini) const;
    bool exists(const QString &fixedPath) const { return QFileInfo::exists(path(fixedPath)); }
    void remove(const QString &fixedPath) const { QFile::remove(path(fixedPath)); }
    void makeDir(const QString &fixedPath) const;

    // The agent's log file under this root, and a bounded wait for a line holding text.
    QString logText() const;
    bool waitForLog(const QString &text, int timeoutMs = 10000) const;
    int countInLog(const QString &text) const { return logText().count(text); }

private:
    QTemporaryDir m_dir;
    bool m_applySeam;
};

// Runs an outside command (gdbus, gsettings, ...) while this process keeps serving its own events, so that a call back
// into this test process is answered. exitCode is -1 on time-out.
struct CommandResult {
    int exitCode = -1;
    QString output;  // standard output and standard error
};
CommandResult runCommand(const QString &program, const QStringList &arguments, int timeoutMs = 30000);

// Writes an executable shell script under dir/name that prints output and exits with code; used to put fake system
// commands first on PATH.
void writeFakeCommand(const QString &dir, const QString &name, const QString &script);
void prependPath(const QString &dir);

// Ends a stand-in or the agent: politely first, then for certain, each with a bound.
void endProcess(QProcess &process);

}  // namespace TestEnv

#pragma once

// Pieces shared by the fault suite: a switchable front of the domain server (refuse, relay,
// answer garbage), a private X server that shows which windows the agent has on screen, the
// agent's resident memory, and calls of the agent's session-bus methods that do not block the
// test while the agent is busy.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

#include "testenv.h"

namespace FaultTest {

using TestEnv::AgentInterface;
using TestEnv::AgentPath;
using TestEnv::AgentService;
using TestEnv::ConfigIni;
const QString Marker = QStringLiteral("/tmp/alice_post_login.txt");
const QByteArray Kiv5Release = "NAME=\"KIV Desktop\"\nNAME_EN=\"KIVDesktop\"\nVERSION_ID=\"5.0\"\nID=kiv\n";
// A reply to a request that is not HTTP at all.
constexpr char GarbageBytes[] = "\x16\x03\x01\x00\xff garbage \xfe\xfd\r\n\r\n\x00\x01";
const QByteArray Garbage = QByteArray(GarbageBytes, sizeof(GarbageBytes) - 1);

// A call of one of the agent's methods, sent without waiting; the test keeps serving events.
inline QDBusPendingCall callAgent(const QString &method, const QVariantList &args = {}, int timeoutMs = 60000)
{
    QDBusMessage message = QDBusMessage::createMethodCall(AgentService, AgentPath, AgentInterface, method);
    message.setArguments(args);
    return QDBusConnection::sessionBus().asyncCall(message, timeoutMs);
}

inline bool waitForCall(const QDBusPendingCall &call, int timeoutMs)
{
    return TestEnv::waitFor([&] { return call.isFinished(); }, timeoutMs);
}

// A notice call answered within the bound: the agent is serving its callers.
inline bool agentAnswers(int timeoutMs = 5000)
{
    const QDBusPendingCall call = callAgent("showNotify", {QString("仍在服务"), 0}, timeoutMs);
    return waitForCall(call, timeoutMs + 1000) && !call.isError();
}

// The text post_login answered, or "error: ..." when the call failed or ran out.
inline QString postLoginResult(const QDBusPendingCall &call, int timeoutMs = 60000)
{
    if (!waitForCall(call, timeoutMs))
        return "error: no answer";
    QDBusPendingReply<QString> reply = call;
    return reply.isError() ? "error: " + reply.error().message() : reply.value();
}

using TestEnv::residentKb;

// Whether the sandboxed user of AgentRun could read a file of the host.
inline bool readableInSandbox(const QString &path)
{
    return TestEnv::runCommand("bwrap", {"--bind", "/", "/", "--dev", "/dev", "--unshare-user", "--uid", "1000",
                                         "--gid", "1000", "--", "test", "-r", path})
               .exitCode == 0;
}

// Stands on its own port in front of the stand-in domain server: relays every connection to it,
// refuses connections (nothing listens), or answers each request with bytes that are not HTTP.
class ServerFront
{
public:
    enum Mode { Relay, Refuse, AnswerGarbage };

    explicit ServerFront(int serverPort)
        : m_serverPort(quint16(serverPort))
    {
        m_listener.listen(QHostAddress::LocalHost, 0);
        m_port = m_listener.serverPort();
        QObject::connect(&m_listener, &QTcpServer::newConnection, [this] { accept(); });
    }
    ~ServerFront() { dropConnections(); }

    QString address() const { return "127.0.0.1:" + QString::number(m_port); }

    bool setMode(Mode mode)
    {
        m_mode = mode;
        dropConnections();
        if (mode == Refuse) {
            m_listener.close();
            return true;
        }
        return m_listener.isListening() || m_listener.listen(QHostAddress::LocalHost, m_port);
    }

private:
    void accept()
    {
        while (QTcpSocket *client = m_listener.nextPendingConnection()) {
            client->setParent(m_connections.get());
            client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            if (m_mode == AnswerGarbage) {
                QObject::connect(client, &QTcpSocket::readyRead, client, [client] {
                    client->readAll();
                    client->write(Garbage);
                    client->disconnectFromHost();
                });
                continue;
            }
            auto *upstream = new QTcpSocket(m_connections.get());
            upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(client, &QTcpSocket::readyRead, upstream, [client, upstream] {
                upstream->write(client->readAll());
            });
            QObject::connect(upstream, &QTcpSocket::readyRead, client, [client, upstream] {
                client->write(upstream->readAll());
            });
            QObject::connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
            QObject::connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
            upstream->connectToHost(QHostAddress::LocalHost, m_serverPort);
        }
    }

    void dropConnections() { m_connections = std::make_unique<QObject>(); }

    quint16 m_serverPort;
    quint16 m_port = 0;
    Mode m_mode = Relay;
    QTcpServer m_listener;
    std::unique_ptr<QObject> m_connections = std::make_unique<QObject>();
};

// A private X server, so that the windows the agent shows can be counted from outside.
class XServer
{
public:
    XServer()
    {
        m_process.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x1024x24"});
        if (m_process.waitForStarted(10000))
            TestEnv::waitFor([this] { return m_process.canReadLine() || m_process.state() != QProcess::Running; });
        if (m_process.canReadLine())
            m_display = ":" + QString::fromLatin1(m_process.readLine().trimmed());
    }
    ~XServer()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    bool isRunning() const { return m_process.state() == QProcess::Running && !m_display.isEmpty(); }
    QString display() const { return m_display; }

    // The windows of process pid that are mapped on the screen now; -1 when xdotool fails.
    int visibleWindows(qint64 pid) const
    {
        const TestEnv::CommandResult result = TestEnv::runCommand(
            "env", {"DISPLAY=" + m_display, "xdotool", "search", "--onlyvisible", "--pid", QString::number(pid)});
        if (result.exitCode == 1 && result.output.trimmed().isEmpty())
            return 0;  // nothing found
        if (result.exitCode != 0)
            return -1;
        return result.output.split('\n', Qt::SkipEmptyParts).size();
    }

    // Every window of the screen, mapped or not; -1 when xwininfo fails.
    int allWindows() const
    {
        const TestEnv::CommandResult result =
            TestEnv::runCommand("env", {"DISPLAY=" + m_display, "xwininfo", "-root", "-children"});
        return result.exitCode == 0 ? result.output.count(QRegularExpression("^\\s+0x", QRegularExpression::MultilineOption))
                                    : -1;
    }

private:
    QProcess m_process;
    QString m_display;
};

}  // namespace FaultTest

#pragma once

// The stand-in domain server (sim/domain-server) run as its own process for one test: its address, its replies and what
// it received. The scenario format is described at the top of sim/domain-server/main.cpp.

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QProcess>
#include <QString>

class DomainServer
{
public:
    // Starts the server on a free port of host with the built-in default scenario.
    explicit DomainServer(const QString &host = "127.0.0.1");
    ~DomainServer();

    bool isRunning() const { return m_process.state() == QProcess::Running && m_port > 0; }
    int port() const { return m_port; }
    QString address() const;  // "host:port", as "init/ip_port" holds it

    // Scenario changes; each answers false (and warns) when the server refused it.
    bool setScenario(const QJsonObject &scenario);
    bool resetScenario() { return !control("DELETE", "/__sim/scenario").isEmpty(); }  // back to the built-in default
    bool setReply(const QString &endpoint, const QJsonObject &reply);
    bool setPolicy(const QString &policyName, const QJsonObject &reply);

    // The requests received, oldest first; only those of one endpoint ("policy", "login", ...).
    QList<QJsonObject> requests(const QString &endpoint = QString());
    // The policy names asked for, in order.
    QStringList policyQueries();
    void clearRequests() { control("DELETE", "/__sim/requests"); }
    bool waitForRequests(const QString &endpoint, int count, int timeoutMs = 10000);

    void stop();

    // Reply descriptions.
    static QJsonObject reply(const QJsonValue &body, int status = 200);
    static QJsonObject fault(const QString &fault, int delayMs = 0);
    // The policy envelope {"data": {"code", "success", "switch_status", "policy"}}.
    static QJsonObject policyReply(const QJsonValue &policy, int switchStatus = 1, int code = 200,
                                   bool success = true);

private:
    QByteArray control(const QByteArray &verb, const QString &path, const QByteArray &body = QByteArray());

    QProcess m_process;
    int m_port = -1;
    QString m_host;
};

#pragma once

// The stand-in domain server as a library: the program domain-server-sim wraps it, and a test
// can run it in its own process. The scenario format and the control endpoints are described
// at the top of main.cpp.

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <memory>
#include <string>

class SimDomainServer
{
public:
    SimDomainServer();
    ~SimDomainServer();

    SimDomainServer(const SimDomainServer &) = delete;
    SimDomainServer &operator=(const SimDomainServer &) = delete;

    // Binds host:port (0 picks a free port) and serves from threads of its own.
    // Returns the bound port, or -1 when the port cannot be bound.
    int start(int port = 0, const std::string &host = "127.0.0.1");
    // Releases every request held by a "hang" fault and stops serving.
    void stop();
    int port() const;

    // Both answer an empty text when the scenario was taken, else what is wrong with it.
    QString setScenario(const QJsonObject &scenario);
    // Replaces the endpoints named in part; "policy" is merged policy by policy.
    QString mergeScenario(const QJsonObject &part);
    QJsonObject scenario() const;

    QJsonArray requests() const;
    void clearRequests();

    // The scenario served when none is given: every endpoint answers successfully, and every
    // policy is switched off (so that nothing is enforced).
    static QJsonObject defaultScenario();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#include "domainserver.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QtDebug>

#include "testenv.h"

const int ControlLimitMs = 10000;

DomainServer::DomainServer(const QString &host)
    : m_host(host)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(TestEnv::binaryDir() + "/sim/domain-server/domain-server-sim", {"--host", host});
    if (!m_process.waitForStarted(10000)) {
        qWarning() << "the stand-in domain server did not start:" << m_process.errorString();
        return;
    }
    if (!TestEnv::waitFor([this] { return m_process.canReadLine() || m_process.state() != QProcess::Running; })) {
        qWarning() << "the stand-in domain server printed no port";
        return;
    }
    m_port = m_process.readLine().trimmed().toInt();
}

DomainServer::~DomainServer() { stop(); }

void DomainServer::stop() { TestEnv::endProcess(m_process); }

QString DomainServer::address() const { return m_host + ":" + QString::number(m_port); }

QByteArray DomainServer::control(const QByteArray &verb, const QString &path, const QByteArray &body)
{
    // A plain blocking exchange written in one piece: it runs no event loop (so no handler of the code under test runs
    // inside a set-up step) and waits for no delayed ACK between header and body, as a Qt request with a body would.
    QTcpSocket socket;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.connectToHost(m_host, quint16(m_port));
    QByteArray answer;
    if (socket.waitForConnected(ControlLimitMs)) {
        socket.write(verb + " " + path.toUtf8() + " HTTP/1.1\r\nHost: " + address().toUtf8()
                     + "\r\nConnection: close\r\nContent-Type: application/json\r\nContent-Length: "
                     + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QDeadlineTimer deadline(ControlLimitMs);
        while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            socket.waitForReadyRead(int(deadline.remainingTime()));
            answer += socket.readAll();
        }
        answer += socket.readAll();
    }
    const int split = answer.indexOf("\r\n\r\n");
    const QByteArray statusLine = answer.left(answer.indexOf("\r\n"));
    if (split < 0 || !statusLine.contains(" 200 ")) {
        qWarning() << "control request failed:" << verb << path << statusLine << answer.mid(split + 4)
                   << socket.errorString();
        return QByteArray();
    }
    return answer.mid(split + 4);
}

bool DomainServer::setScenario(const QJsonObject &scenario)
{
    return !control("PUT", "/__sim/scenario", QJsonDocument(scenario).toJson()).isEmpty();
}

bool DomainServer::setReply(const QString &endpoint, const QJsonObject &reply)
{
    return !control("PATCH", "/__sim/scenario", QJsonDocument(QJsonObject{{endpoint, reply}}).toJson()).isEmpty();
}

bool DomainServer::setPolicy(const QString &policyName, const QJsonObject &reply)
{
    return setReply("policy", QJsonObject{{policyName, reply}});
}

QList<QJsonObject> DomainServer::requests(const QString &endpoint)
{
    QList<QJsonObject> result;
    const QJsonArray all = QJsonDocument::fromJson(control("GET", "/__sim/requests")).object().value("requests").toArray();
    for (const QJsonValue &entry : all) {
        if (endpoint.isEmpty() || entry.toObject().value("endpoint").toString() == endpoint)
            result << entry.toObject();
    }
    return result;
}

QStringList DomainServer::policyQueries()
{
    QStringList names;
    for (const QJsonObject &entry : requests("policy"))
        names << entry.value("params").toObject().value("policy_type").toString();
    return names;
}

bool DomainServer::waitForRequests(const QString &endpoint, int count, int timeoutMs)
{
    return TestEnv::waitFor([&] { return requests(endpoint).size() >= count; }, timeoutMs);
}

QJsonObject DomainServer::reply(const QJsonValue &body, int status)
{
    return QJsonObject{{"status", status}, {"body", body}};
}

QJsonObject DomainServer::fault(const QString &fault, int delayMs)
{
    QJsonObject description{{"fault", fault}};
    if (delayMs > 0)
        description.insert("delay_ms", delayMs);
    return description;
}

QJsonObject DomainServer::policyReply(const QJsonValue &policy, int switchStatus, int code, bool success)
{
    const QJsonObject data{{"code", code}, {"success", success}, {"switch_status", switchStatus}, {"policy", policy}};
    return reply(QJsonObject{{"data", data}});
}

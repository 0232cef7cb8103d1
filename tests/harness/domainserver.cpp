#include "domainserver.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QtDebug>

#include "httpwait.h"
#include "testenv.h"

namespace {
const int ControlLimitMs = 10000;
}

DomainServer::DomainServer()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(TestEnv::binaryDir() + "/sim/domain-server/domain-server-sim", QStringList());
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

void DomainServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool DomainServer::isRunning() const { return m_process.state() == QProcess::Running && m_port > 0; }

QString DomainServer::address() const { return "127.0.0.1:" + QString::number(m_port); }

QByteArray DomainServer::control(const QByteArray &verb, const QString &path, const QByteArray &body)
{
    QNetworkRequest request(QUrl("http://" + address() + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QBuffer buffer;
    buffer.setData(body);
    QNetworkReply *reply = m_manager.sendCustomRequest(request, verb, &buffer);
    const bool finished = waitForReply(reply, ControlLimitMs);
    const QByteArray answer = reply->readAll();
    const bool ok = finished && reply->error() == QNetworkReply::NoError;
    if (!ok)
        qWarning() << "control request failed:" << verb << path << reply->errorString() << answer;
    reply->deleteLater();
    return ok ? answer : QByteArray();
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

void DomainServer::clearRequests() { control("DELETE", "/__sim/requests"); }

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

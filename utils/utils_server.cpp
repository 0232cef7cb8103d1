// Questions to the domain server (reachable, add-domain rules, host-name check, repository
// version) and to the local package system (installed client, version order, realmd join).

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QtDebug>

#include <memory>

#include "httpwait.h"
#include "log.h"
#include "networkmanager.h"
#include "utils.h"

namespace {
const char *const PingPath = "/mainapi/device/ping/";
const char *const CheckHostnamePath = "/mainapi/system/terminal/check_hostname/?hostname=";
const char *const VersionPath = "/mainapi/system/terminal/terminal_version/";

constexpr int PingLimitMs = 5000;
// The host-name check and the version query are not urgent, but a server that never answers
// must not hold the agent's one thread for ever.
constexpr int QueryLimitMs = 30000;

struct ServerReply {
    bool ok = false;
    bool timedOut = false;
    QString error;  // why it failed, for the log
    QByteArray body;
};

// One GET from a fresh network access manager, waited for in a local event loop that keeps
// serving events (user input excluded) for at most limitMs.
ServerReply getFromServer(const QNetworkRequest &request, int limitMs)
{
    ServerReply result;
    const std::unique_ptr<QNetworkAccessManager> manager(newNetworkManager(nullptr));
    QNetworkReply *reply = manager->get(request);
    if (!waitForReply(reply, limitMs)) {
        result.timedOut = true;
        result.error = "timeout";
    } else if (reply->error() != QNetworkReply::NoError) {
        result.error = reply->errorString();
    } else {
        result.ok = true;
        result.body = reply->readAll();
    }
    return result;  // the reply goes with its manager
}

// The "data" object of the server's reply envelope; false when the body is not a JSON object
// or has no "data".
bool envelopeData(const QByteArray &body, QJsonObject &data)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject() || !document.object().contains("data"))
        return false;
    data = document.object().value("data").toObject();
    return true;
}

// The server counts as online when the ping body holds its rules or the word pong.
bool judgeOnline(const QString &server, const QByteArray &body)
{
    const bool online = body.contains("domain_rule") || body.contains("pong");
    qInfo().noquote().nospace() << "ping_domain_server: " << server << (online ? " online" : " offline");
    return online;
}

QByteArray utf8(const QString &text) { return text.toUtf8(); }
}  // namespace

QByteArray Utils::ping_domain_server_result(QString &server)
{
    QNetworkRequest request(QUrl("http://" + server + PingPath));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    const ServerReply reply = getFromServer(request, PingLimitMs);
    if (reply.timedOut) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: timeout", "ping_domain_server_result");
        return QByteArray();
    }
    if (!reply.ok) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: reply = %s", "ping_domain_server_result",
                                        utf8(reply.error).constData());
        return QByteArray();
    }
    qInfo().noquote().nospace() << "ping_domain_server_result: " << reply.body;
    return reply.body;
}

bool Utils::ping_domain_server(QString &server)
{
    return judgeOnline(server, ping_domain_server_result(server));
}

QMap<QString, QString> Utils::get_add_domain_rules(QString &server, bool &online)
{
    QMap<QString, QString> rules;
    const QByteArray body = ping_domain_server_result(server);
    online = judgeOnline(server, body);
    if (!body.contains("domain_rule"))
        return rules;

    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return rules;
    const QJsonObject domainRule = document.object().value("domain_rule").toObject();
    const int sms = domainRule.value("sms_switch").toInt();
    const int hostname = domainRule.value("hostname_switch").toInt();
    const int editHostname = domainRule.value("edit_hostname_switch").toInt();
    rules.insert("set_sms_switch", QString::number(sms));
    rules.insert("set_auto_hostname_switch", QString::number(hostname));
    rules.insert("set_edit_hostname_switch", QString::number(editHostname));
    qInfo().noquote() << QString("get_add_domain_rules rules: sms_switch(%1) hostname_switch(%2) "
                                 "edit_hostname_switch(%3)")
                             .arg(sms)
                             .arg(hostname)
                             .arg(editHostname);
    return rules;
}

int Utils::checkHostnameValid(const QString &server, const QString &hostname, QString &domainName, QString &msg)
{
    // The host name is a query value: "&", "#", "+" or blanks in it must not change the query.
    const QString url = "http://" + server + CheckHostnamePath + QString::fromLatin1(QUrl::toPercentEncoding(hostname));
    qDebug().noquote() << "url=" + url;
    const ServerReply reply = getFromServer(QNetworkRequest(QUrl(url)), QueryLimitMs);
    if (!reply.ok) {
        const QString failure = "failed to check hostname " + hostname;
        qDebug().noquote() << failure;
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s, reply = %s", "checkHostnameValid",
                                        utf8(failure).constData(), utf8(reply.error).constData());
        return -1;
    }
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: server_url = %s, replyData = %s", "checkHostnameValid",
                                    utf8(url).constData(), reply.body.constData());

    QJsonObject data;
    if (!envelopeData(reply.body, data))
        return -1;
    if (data.contains("domain_name"))
        domainName = data.value("domain_name").toString();
    if (data.contains("msg"))
        msg = data.value("msg").toString();
    return data.contains("code") ? data.value("code").toInt() : -1;
}

QString Utils::getRepoClientVersion(QString osVersion)
{
    const QString url = "http://" + get_ip_port() + VersionPath;
    const ServerReply reply = getFromServer(QNetworkRequest(QUrl(url)), QueryLimitMs);
    if (!reply.ok) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s, reply = %s", "getRepoClientVersion",
                                        "failed to getRepoClientVersion", utf8(reply.error).constData());
        return QString();
    }
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: url = %s, replyData = %s", "getRepoClientVersion",
                                    utf8(url).constData(), reply.body.constData());

    QJsonObject data;
    if (!envelopeData(reply.body, data))
        return QString();
    const int code = data.value("code").toInt();

    QString version;
    bool answered = false;
    if (osVersion == "4.0" && data.contains("kiv4-ver")) {
        version = data.value("kiv4-ver").toString();
        answered = true;
    } else if (osVersion == "5.0") {
        version = data.value("kiv5-ver").toString();
        answered = true;
    }
    if (answered)
        Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: code:%d, version = %s", "getRepoClientVersion", code,
                                        utf8(version).constData());
    return version;
}

QString Utils::get_client_version()
{
    return exec_cmd("dpkg-query -W -f='${Version}' kiv-domain-client", 0).output;
}

bool Utils::compare_version(QString left, QString right, QString op)
{
    // The versions may come from the server: they go to dpkg as arguments, never through a shell,
    // and after "--", so that a text beginning with "-" is compared, not taken as an option.
    const ProgramRun run = run_program("dpkg", {"--compare-versions", "--", left, op, right}, ProbeLimitMs);
    const bool holds = run.finished && run.exitCode == 0;
    const QString relation = QString("%1 %2 %3").arg(left, op, right);
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: %s result(%s)", "compare_version", utf8(relation).constData(),
                                    holds ? "yes" : "no");
    return holds;
}

bool Utils::check_add_domain_state()
{
    if (exec_cmd("dpkg-query -W -f='${Package}' realmd", 0).output != "realmd")
        return false;
    if (!exec_cmd("realm list", 0).output.isEmpty())
        return true;
    Log::GetInstance()->SaveFileLog(LOG_INFO, "check_add_domain_state: %s", "no");
    return false;
}

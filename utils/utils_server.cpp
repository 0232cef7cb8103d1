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

// One GET from a fresh network access manager, awaited for at most limitMs.
QCoro::Task<ServerReply> getFromServer(QNetworkRequest request, int limitMs)
{
    ServerReply result;
    const std::unique_ptr<QNetworkAccessManager> manager(newNetworkManager(nullptr));
    QNetworkReply *reply = manager->get(request);
    const bool finished = co_await awaitReply(reply, limitMs);
    if (!finished) {
        result.timedOut = true;
        result.error = "timeout";
    } else if (reply->error() != QNetworkReply::NoError) {
        result.error = reply->errorString();
    } else {
        result.ok = true;
        result.body = reply->readAll();
    }
    co_return result;  // the reply goes with its manager
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

QCoro::Task<QByteArray> Utils::ping_domain_server_result(QString server)
{
    QNetworkRequest request(QUrl("http://" + server + PingPath));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    const ServerReply reply = co_await getFromServer(request, PingLimitMs);
    if (reply.timedOut) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: timeout", "ping_domain_server_result");
        co_return QByteArray();
    }
    if (!reply.ok) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: reply = %s", "ping_domain_server_result",
                                        utf8(reply.error).constData());
        co_return QByteArray();
    }
    qInfo().noquote().nospace() << "ping_domain_server_result: " << reply.body;
    co_return reply.body;
}

QCoro::Task<bool> Utils::ping_domain_server(QString server)
{
    const QByteArray body = co_await ping_domain_server_result(server);
    co_return judgeOnline(server, body);
}

QCoro::Task<QMap<QString, QString>> Utils::get_add_domain_rules(QString server, bool &online)
{
    QMap<QString, QString> rules;
    const QByteArray body = co_await ping_domain_server_result(server);
    online = judgeOnline(server, body);
    if (!body.contains("domain_rule"))
        co_return rules;

    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        co_return rules;
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
    co_return rules;
}

QCoro::Task<int> Utils::checkHostnameValid(QString server, QString hostname, QString &domainName, QString &msg)
{
    // The host name is a query value: "&", "#", "+" or blanks in it must not change the query.
    const QString url = "http://" + server + CheckHostnamePath + QString::fromLatin1(QUrl::toPercentEncoding(hostname));
    qDebug().noquote() << "url=" + url;
    const ServerReply reply = co_await getFromServer(QNetworkRequest(QUrl(url)), QueryLimitMs);
    if (!reply.ok) {
        const QString failure = "failed to check hostname " + hostname;
        qDebug().noquote() << failure;
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s, reply = %s", "checkHostnameValid",
                                        utf8(failure).constData(), utf8(reply.error).constData());
        co_return -1;
    }
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: server_url = %s, replyData = %s", "checkHostnameValid",
                                    utf8(url).constData(), reply.body.constData());

    QJsonObject data;
    if (!envelopeData(reply.body, data))
        co_return -1;
    if (data.contains("domain_name"))
        domainName = data.value("domain_name").toString();
    if (data.contains("msg"))
        msg = data.value("msg").toString();
    co_return data.contains("code") ? data.value("code").toInt() : -1;
}

QCoro::Task<QString> Utils::getRepoClientVersion(QString osVersion)
{
    const QString url = "http://" + get_ip_port() + VersionPath;
    const ServerReply reply = co_await getFromServer(QNetworkRequest(QUrl(url)), QueryLimitMs);
    if (!reply.ok) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s, reply = %s", "getRepoClientVersion",
                                        "failed to getRepoClientVersion", utf8(reply.error).constData());
        co_return QString();
    }
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: url = %s, replyData = %s", "getRepoClientVersion",
                                    utf8(url).constData(), reply.body.constData());

    QJsonObject data;
    if (!envelopeData(reply.body, data))
        co_return QString();
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
    co_return version;
}

QCoro::Task<QString> Utils::get_client_version()
{
    const CmdResult installed = co_await exec_cmd("dpkg-query -W -f='${Version}' kiv-domain-client", 0);
    co_return installed.output;
}

QCoro::Task<bool> Utils::compare_version(QString left, QString right, QString op)
{
    // The versions may come from the server: they go to dpkg as arguments, never through a shell,
    // and after "--", so that a text beginning with "-" is compared, not taken as an option.
    const QStringList arguments{"--compare-versions", "--", left, op, right};
    const ProgramRun run = co_await run_program("dpkg", arguments, ProbeLimitMs);
    const bool holds = run.finished && run.exitCode == 0;
    const QString relation = QString("%1 %2 %3").arg(left, op, right);
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: %s result(%s)", "compare_version", utf8(relation).constData(),
                                    holds ? "yes" : "no");
    co_return holds;
}

QCoro::Task<bool> Utils::check_add_domain_state()
{
    const CmdResult realmd = co_await exec_cmd("dpkg-query -W -f='${Package}' realmd", 0);
    if (realmd.output != "realmd")
        co_return false;
    const CmdResult realms = co_await exec_cmd("realm list", 0);
    if (!realms.output.isEmpty())
        co_return true;
    Log::GetInstance()->SaveFileLog(LOG_INFO, "check_add_domain_state: %s", "no");
    co_return false;
}

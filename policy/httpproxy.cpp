#include "httpproxy.h"

#include <QCoroSignal>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>
#include <QUrl>
#include <QtDebug>

#include "httpwait.h"
#include "log.h"
#include "networkmanager.h"
#include "utils.h"

const QMap<QString, PolicyType> PolicyMap{
    {"ssh", POLICY_SSH},
    {"usb", POLICY_USB},
    {"usb_storage", POLICY_USB_STORAGE},
    {"wallpaper", POLICY_WALLPAPER},
    {"firewalld", POLICY_FIREWALLD},
    {"firewalld_level", POLICY_FIREWALLD_LEVEL},
    {"idle-delay", POLICY_IDLE_DELAY},
};

HttpProxy::HttpProxy(QObject *parent)
    : QObject(parent)
    , hostname(Utils::get_hostname())
{
    policyUrl = "http://" + Utils::get_ip_port() + "/mainapi/device/sync/policy/" + hostname + "/?policy_type=";
}

void HttpProxy::setTimeLimit(int ms) { m_timeLimitMs = ms; }

int HttpProxy::timeLimit() const { return m_timeLimitMs; }

QCoro::Task<HttpResult> HttpProxy::getSSHPolicy() { return getHttpReply(policyUrl + "ssh", "ssh"); }
QCoro::Task<HttpResult> HttpProxy::getUSBPolicy() { return getHttpReply(policyUrl + "usb", "usb"); }
QCoro::Task<HttpResult> HttpProxy::getUSBStoragePolicy()
{
    return getHttpReply(policyUrl + "usb_storage", "usb_storage");
}
QCoro::Task<HttpResult> HttpProxy::getWallPaperPolicy() { return getHttpReply(policyUrl + "wallpaper", "wallpaper"); }
QCoro::Task<HttpResult> HttpProxy::getFirewallldPolicy() { return getHttpReply(policyUrl + "firewalld", "firewalld"); }
QCoro::Task<HttpResult> HttpProxy::getFirewalldLevelPolicy()
{
    return getHttpReply(policyUrl + "firewalld_level", "firewalld_level");
}
QCoro::Task<HttpResult> HttpProxy::getIdeldelayPolicy() { return getHttpReply(policyUrl + "idle-delay", "idle-delay"); }

QCoro::Task<HttpResult> HttpProxy::getHttpReply(QString url, QString type)
{
    // Queries run one at a time: a query asked while another is in flight waits for its turn
    // (bounded, since the query in flight is aborted at its own time limit).
    QPointer<HttpProxy> self(this);
    while (m_querying) {
        co_await qCoro(this, &HttpProxy::exchangeEnded);
        if (!self)
            co_return HttpResult();
    }
    m_querying = true;
    const HttpResult result = co_await query(url, type);
    if (!self)
        co_return result;
    m_querying = false;
    emit exchangeEnded();
    co_return result;
}

QNetworkAccessManager *HttpProxy::network()
{
    // Made when the first change needs the server, not at start-up: most sessions never query.
    if (!manager)
        manager = newNetworkManager(this);
    return manager;
}

QCoro::Task<HttpResult> HttpProxy::query(QString url, QString type)
{
    HttpResult result;
    result.policyType = type;

    request.setUrl(QUrl(url, QUrl::TolerantMode));
    QNetworkReply *reply = network()->get(request);
    const bool finished = co_await awaitReply(reply, m_timeLimitMs);
    qDebug().noquote() << "url=" + url;

    if (!finished || reply->error() != QNetworkReply::NoError) {
        const QString message = "failed to get http policy request " + type;
        qDebug().noquote() << message;
        const QString why = finished ? reply->errorString()
                                     : QString("no reply within %1 ms").arg(m_timeLimitMs);
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s, reply = %s", "getHttpReply",
                                        message.toUtf8().constData(), why.toUtf8().constData());
        reply->deleteLater();
        co_return result;
    }

    const QByteArray body = reply->readAll();
    reply->deleteLater();
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: server_url = %s, replyData = %s", "getHttpReply",
                                    url.toUtf8().constData(), body.constData());
    readReply(body, type, result);
    co_return result;
}

void HttpProxy::readReply(const QByteArray &body, const QString &type, HttpResult &result)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (document.isNull() || !document.isObject() || error.error != QJsonParseError::NoError) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: failed to parse reply to Json,", "getHttpReply");
        return;
    }
    const QJsonObject top = document.object();
    if (!top.contains("data"))
        return;
    const QJsonObject data = top.value("data").toObject();
    result.code = data.value("code").toInt();
    if (!data.contains("policy")) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "failed to get policy");
        return;
    }
    result.success = data.value("success").toBool();
    if (!result.success) {
        const QString message = "failed to parse http reply of " + type;
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s, code = %d", "getHttpReply",
                                        message.toUtf8().constData(), result.code);
        return;
    }
    result.switchStatus = data.value("switch_status").toInt() != 0;
    if (type == "wallpaper") {
        result.value = data.value("policy").toString();
        result.valueType = 3;
        result.wallpaperUrl = data.value("wallpaper_url").toString();
    } else {
        result.value = QString::number(data.value("policy").toInt());
    }
}

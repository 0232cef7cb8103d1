#include "websocket.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtDebug>

#include <QCoroTask>

#include "domaindbusinterface.h"
#include "utils.h"
#include "websetcodes.h"

namespace {
// The message names the session user, which may have to be asked of the system first.
QCoro::Task<> sendHeartbeat()
{
    QJsonObject data;
    data.insert("hostname", Utils::get_hostname());
    const QString user = co_await Utils::getLoginName();
    data.insert("username", user);
    QJsonObject message;
    message.insert("sender", 1);
    message.insert("sn", HeartbeatCode);
    message.insert("data", data);
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson());
    qInfo() << "session [send]: " << text;
    dbus::instance()->sendWebSet(text);
}
}  // namespace

WebSocket::WebSocket(QObject *parent)
    : QObject(parent)
{
    const int type = Utils::get_domain_type();
    qInfo() << "domain type=" << type;
    if (type != 1 && type != 3)
        return;
    auto *timer = new QTimer(this);
    timer->setInterval(HeartbeatIntervalMs);
    connect(timer, &QTimer::timeout, this, &WebSocket::onHeartbeatTimeout);
    timer->start();
}

void WebSocket::onHeartbeatTimeout() { sendHeartbeat(); }

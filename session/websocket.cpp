#include "websocket.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtDebug>

#include "domaindbusinterface.h"
#include "utils.h"
#include "websetcodes.h"

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

void WebSocket::onHeartbeatTimeout()
{
    QJsonObject data;
    data.insert("hostname", Utils::get_hostname());
    data.insert("username", Utils::getLoginName());
    QJsonObject message;
    message.insert("sender", 1);
    message.insert("sn", HeartbeatCode);
    message.insert("data", data);
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson());
    qInfo() << "session [send]: " << text;
    dbus::instance()->sendWebSet(text);
}

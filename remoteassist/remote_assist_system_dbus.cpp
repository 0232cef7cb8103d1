#include "remote_assist_system_dbus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QtDebug>

#include "dbuscall.h"
#include "domaindbusinterface.h"


Remote_Assist_System_Dbus::Remote_Assist_System_Dbus(QObject *parent)
    : QObject(parent)
    , m_interface(new DaemonInterface("com.kiv.domain", "/com/domain/remoteassist", "com.domain.remoteassist",
                                      QDBusConnection::systemBus(), nullptr))
{
}

Remote_Assist_System_Dbus::~Remote_Assist_System_Dbus() { delete m_interface; }

QCoro::Task<> Remote_Assist_System_Dbus::debugTogle()
{
    m_args.clear();
    const QDBusPendingCall call = m_interface->asyncCallWithArgumentList("debugTogle", m_args);
    co_await awaitPending(call);
}

QCoro::Task<> Remote_Assist_System_Dbus::sendWebset(QString data)
{
    m_args.clear();
    m_args << QVariant(data);
    const QDBusPendingCall call = m_interface->asyncCallWithArgumentList("sendWebset", m_args);
    const QDBusMessage answer = co_await awaitPending(call);
    const QDBusReply<QString> reply(answer);
    if (!reply.isValid())
        qDebug() << "interface sendWebset error";
}

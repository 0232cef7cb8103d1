#include "remote_assist_system_dbus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QtDebug>

#include "domaindbusinterface.h"


Remote_Assist_System_Dbus::Remote_Assist_System_Dbus(QObject *parent)
    : QObject(parent)
    , m_interface(new DaemonInterface("com.kiv.domain", "/com/domain/remoteassist", "com.domain.remoteassist",
                                      QDBusConnection::systemBus(), nullptr))
{
}

Remote_Assist_System_Dbus::~Remote_Assist_System_Dbus() { delete m_interface; }

void Remote_Assist_System_Dbus::debugTogle()
{
    m_args.clear();
    m_interface->callWithArgumentList(QDBus::AutoDetect, "debugTogle", m_args);
}

void Remote_Assist_System_Dbus::sendWebset(const QString &data)
{
    m_args.clear();
    m_args << QVariant(data);
    const QDBusReply<QString> reply = m_interface->callWithArgumentList(QDBus::AutoDetect, "sendWebset", m_args);
    if (!reply.isValid())
        qDebug() << "interface sendWebset error";
}

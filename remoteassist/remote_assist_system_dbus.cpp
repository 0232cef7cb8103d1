#include "remote_assist_system_dbus.h"

#include <QDBusAbstractInterface>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QtDebug>

namespace {
// A proxy that does not ask the daemon for its introspection data when it is made, so that an
// absent or slow daemon neither blocks the caller nor leaves the proxy unusable later.
class RemoteAssistInterface : public QDBusAbstractInterface
{
public:
    RemoteAssistInterface()
        : QDBusAbstractInterface("com.kiv.domain", "/com/domain/remoteassist", "com.domain.remoteassist",
                                 QDBusConnection::systemBus(), nullptr)
    {
    }
};
}  // namespace

Remote_Assist_System_Dbus::Remote_Assist_System_Dbus(QObject *parent)
    : QObject(parent)
    , m_interface(new RemoteAssistInterface())
{
}

Remote_Assist_System_Dbus::~Remote_Assist_System_Dbus() { delete m_interface; }

void Remote_Assist_System_Dbus::debugTogle()
{
    m_args.clear();
    m_interface->callWithArgumentList(QDBus::Block, "debugTogle", m_args);
}

void Remote_Assist_System_Dbus::sendWebset(const QString &data)
{
    m_args.clear();
    m_args << QVariant(data);
    const QDBusReply<QString> reply = m_interface->callWithArgumentList(QDBus::Block, "sendWebset", m_args);
    if (!reply.isValid())
        qDebug() << "interface sendWebset error";
}

#include "session_dbus_interface.h"

#include <QDBusConnection>
#include <QtDebug>

#include "domaindbusinterface.h"
#include "log.h"
#include "logging.h"
#include "notify.h"
#include "utils.h"

session_dbus_interface::session_dbus_interface(QObject *parent)
    : QObject(parent)
{
}

void session_dbus_interface::start()
{
    m_hostname = Utils::get_hostname();
    m_user_name = Utils::getLoginName();

    updateLoginTime();

    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: m_hostname = %s, user_name = %s", "session_dbus_interface",
                                    m_hostname.toUtf8().constData(), m_user_name.toUtf8().constData());

    if (Utils::get_auto_update_client() && dbus::instance()->CheckUpdateCli()) {
        qInfo() << "request check update client";
    } else if (!Utils::isInDomain()) {
        qInfo() << "check auto add domain system";
        checkAddDomainSystem();
    }

    // Only the daemon itself may announce that the domain server is back: a signal forged by
    // another connection on the system bus is not delivered.
    QDBusConnection::systemBus().connect("com.kiv.domain", "/com/domain/agent", "com.kiv.domain.agent",
                                         "domainServerStatus", this, SLOT(onDomainServerStatus(bool)));

    m_started = true;
    while (!m_heldCalls.isEmpty())
        m_heldCalls.takeFirst()();
}

void session_dbus_interface::showNotify(QString text, int time)
{
    if (calledFromDBus() && !m_started) {
        answerLater([this, text, time] {
            showNotify(text, time);
            return QVariant();
        });
        return;
    }
    TAGGED_INFO(SESSION_DBUS) << "showNotify";
    emit requestShowNotify(text, time);
    auto *popup = new Notify(text, time, nullptr);
    popup->show();
}

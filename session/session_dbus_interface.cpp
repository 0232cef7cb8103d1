#include "session_dbus_interface.h"

#include <QDBusConnection>
#include <QPointer>
#include <QTimer>
#include <QtDebug>

#include "domaindbusinterface.h"
#include "log.h"
#include "logging.h"
#include "notify.h"
#include "utils.h"

namespace {
// The answer of a method that returns nothing.
QCoro::Task<QVariant> noAnswer() { co_return QVariant(); }
}  // namespace

session_dbus_interface::session_dbus_interface(QObject *parent)
    : QObject(parent)
{
}

QCoro::Task<> session_dbus_interface::start()
{
    QPointer<session_dbus_interface> self(this);
    m_hostname = Utils::get_hostname();
    m_user_name = co_await Utils::getLoginName();
    if (!self)
        co_return;

    co_await updateLoginTime();
    if (!self)
        co_return;

    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: m_hostname = %s, user_name = %s", "session_dbus_interface",
                                    m_hostname.toUtf8().constData(), m_user_name.toUtf8().constData());

    // Only the daemon itself may announce that the domain server is back: a signal forged by
    // another connection on the system bus is not delivered.
    QDBusConnection::systemBus().connect("com.kiv.domain", "/com/domain/agent", "com.kiv.domain.agent",
                                         "domainServerStatus", this, SLOT(onDomainServerStatus(bool)));

    // The calls that came early run from the event loop, after the agent's own start-up, so that
    // no caller's work holds up the router, the policy engine or the heartbeat.
    m_started = true;
    if (!m_heldCalls.isEmpty())
        QTimer::singleShot(0, this, &session_dbus_interface::runHeldCalls);

    bool updating = false;
    if (Utils::get_auto_update_client())
        updating = co_await dbus::instance()->CheckUpdateCli();
    if (updating) {
        qInfo() << "request check update client";
    } else if (!Utils::isInDomain()) {
        qInfo() << "check auto add domain system";
        if (self)
            co_await checkAddDomainSystem();
    }
}

void session_dbus_interface::runHeldCalls()
{
    while (!m_heldCalls.isEmpty())
        m_heldCalls.takeFirst()();
}

void session_dbus_interface::showNotify(QString text, int time)
{
    if (calledFromDBus() && !m_started) {
        answerLater([this, text, time] {
            showNotify(text, time);
            return noAnswer();
        });
        return;
    }
    TAGGED_INFO(SESSION_DBUS) << "showNotify";
    emit requestShowNotify(text, time);
    auto *popup = new Notify(text, time, nullptr);
    popup->show();
}

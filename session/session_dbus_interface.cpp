#include "session_dbus_interface.h"

#include <QDBusConnection>
#include <QPointer>
#include <QTimer>
#include <QtDebug>

#include "domaindbusinterface.h"
#include "log.h"
#include "logging.h"
#include "notify.h"
#include "ownfile.h"
#include "paths.h"
#include "utils.h"

namespace {
// The answer of a method that returns nothing.
QCoro::Task<QVariant> noAnswer() { co_return QVariant(); }
}  // namespace

session_dbus_interface::session_dbus_interface(QObject *parent)
    : QObject(parent)
{
    connect(&m_retry, &ReportRetry::due, this, &session_dbus_interface::onReportDue);
}

QString session_dbus_interface::loginTimeMarker() const
{
    const QString session = qEnvironmentVariable("XDG_SESSION_ID");
    if (session.isEmpty() || session.contains('/'))
        return QString();
    return Paths::runtimeDir() + "/kiv-domain-session-agent.login-time." + session;
}

QCoro::Task<> session_dbus_interface::start()
{
    QPointer<session_dbus_interface> self(this);
    m_hostname = Utils::get_hostname();
    m_user_name = co_await Utils::getLoginName();
    if (!self)
        co_return;

    // Once per log-in session: an agent the session starts again after a crash leaves the times
    // alone, or the previous session's log-in time would be lost.
    const QString recorded = loginTimeMarker();
    QString why;
    if (!recorded.isEmpty() && OwnFile::read(recorded, &why)) {
        Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: the log-in time of this session is recorded already",
                                        "updateLoginTime");
    } else {
        if (!recorded.isEmpty() && why != "absent")
            Log::GetInstance()->SaveFileLog(LOG_WARN, "%s: %s is %s, not the agent's own: ignored", "updateLoginTime",
                                            recorded.toUtf8().constData(), why.toUtf8().constData());
        co_await updateLoginTime();
        if (!self)
            co_return;
        if (!recorded.isEmpty() && !OwnFile::write(recorded, QByteArray()))
            Log::GetInstance()->SaveFileLog(LOG_WARN, "%s: cannot write %s", "updateLoginTime",
                                            recorded.toUtf8().constData());
    }

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

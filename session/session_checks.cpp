// Log-in checks and notices: log-in time, automatic domain joining, the forced-full-screen
// notice that starts the client, and the pending report once the domain server is online.
#include "session_dbus_interface.h"

#include <QDateTime>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <QtDebug>

#include <QGSettings>

#include "childenvironment.h"
#include "domaindbusinterface.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "settingsguard.h"
#include "timelimits.h"
#include "utils.h"

namespace {
const char *const OnlineNotice =
    "检测域控服务已在线，2分钟后自启动澄屿域控客户端，请输入账户及密码完成加域；如需帮助，请联系IT服务台：61207345 转1。";
const char *const OfflineNotice =
    "检测域控服务已离线，请确认网线已连接，并通过入网认证，2分钟后自启动澄屿域控客户端，请输入账户及密码完成加域；"
    "如需帮助，请联系IT服务台：61207345 转1。";

// Seconds the log-in notice stays; the client's own schema, where installed, overrides the
// configuration.
int noticeDuration()
{
    int duration = Utils::get_config_value("style/timeout").toInt();
    if (SettingsGuard::schemaInstalled("com.kiv.domain")) {
        if (auto settings = SettingsGuard::open("com.kiv.domain", {"notify-timeout"}, "handleUserLogin")) {
            duration = settings->get("notifyTimeout").toInt();
            qInfo() << "get gsetting notify-timeout" << duration;
        }
    }
    return duration;
}
}  // namespace

QCoro::Task<> session_dbus_interface::updateLoginTime()
{
    // Both are sent at once, in this order, and the log-in time counts as recorded once the
    // daemon has answered both.
    const QString previous = Utils::get_this_login_time();
    QCoro::Task<> last = dbus::instance()->updateConfig("last_login_time", previous);
    const QString now = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    QCoro::Task<> current = dbus::instance()->updateConfig("this_login_time", now);
    co_await last;
    co_await current;
}

QCoro::Task<> session_dbus_interface::checkAddDomainSystem()
{
    const int type = Utils::get_domain_type();
    if (type == 2) {
        co_await dbus::instance()->addSystem(2);
        co_return;
    }
    const QStringList areas = Utils::get_auto_add_domain_area();
    const QString area = Utils::get_file_field(Paths::kivInfo(), "AREA");
    const bool need = areas.contains(area) || Utils::isThinTerminal();
    if (need)
        Utils::set_domain_type(3);
    Log::GetInstance()->SaveFileLog(LOG_INFO, "checkAddDomainSystem: type(%d), area(%s), need_auto_add_domain(%d)",
                                    type, area.toUtf8().constData(), need ? 1 : 0);
    if (need || type == 3)
        co_await dbus::instance()->addSystem(3);
}

QCoro::Task<> session_dbus_interface::handleUserLogin()
{
    QPointer<session_dbus_interface> self(this);
    TAGGED_INFO(SESSION_DBUS) << "enter handleUserLogin";
    // The lock-down answer is fixed after its first reading; asking it first spares ordinary
    // terminals the package and realm queries on every log-in.
    const bool forceFullScreen = co_await Utils::isForceFullScreen();
    if (!forceFullScreen)
        co_return;
    Utils::handleForceFullScreen(true, true);
    const bool joined = co_await Utils::check_add_domain_state();
    if (joined)
        co_return;

    const bool online = co_await dbus::instance()->is_domain_online();
    if (!self)
        co_return;
    const QString text = online ? tr(OnlineNotice) : tr(OfflineNotice);
    const int duration = noticeDuration();
    showNotify(text, duration);

    // Every such log-in starts the client once the notice has been read.
    QTimer::singleShot(secondsToTimerMs(duration), [] {
        qCInfo(SESSION_DBUS).noquote().nospace() << "[handleUserLogin:" << __LINE__ << "] timeout session";
        QProcess client;
        client.setProgram(Paths::clientProgram());
        client.setArguments({"-f", "1"});
        client.setProcessEnvironment(childEnvironment());
        client.startDetached();
    });
}

void session_dbus_interface::onDomainServerStatus(bool status)
{
    if (!status || m_isConnectedWS)
        return;
    TAGGED_INFO(SESSION_DBUS) << "receive websocket connected, m_isConnectedWS: "
                              << (m_isConnectedWS ? "true" : "false") << ", status: " << "true";
    m_isConnectedWS = true;
    requestLogin();  // its reply goes to no caller
}

// Log-in reporting: the "post_login" method and the once-per-user report to the domain server.
#include "session_dbus_interface.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>
#include <QCoroSignal>

#include <memory>
#include <QtDebug>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "domaindbusinterface.h"
#include "httpwait.h"
#include "log.h"
#include "logging.h"
#include "networkmanager.h"
#include "utils.h"

namespace {
enum class Marker { AlreadySent, Created, NotCreated };

// The marker lives in a shared temporary folder under a predictable name: only a regular file of
// this user's own counts as "already sent" (a file another user planted there must not silence
// the report), and it is created without following a link planted there.
Marker claimMarker(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (lstat(native.constData(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid())
        return Marker::AlreadySent;
    const int fd = open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return Marker::NotCreated;
    close(fd);
    return Marker::Created;
}
}  // namespace

QString session_dbus_interface::markerPath() const
{
    return QDir::tempPath() + "/" + m_user_name + "_post_login.txt";
}

QString session_dbus_interface::post_login()
{
    // Called in the agent's own process the report runs and nobody waits for its answer.
    if (!calledFromDBus()) {
        reportLogin();
        return QString();
    }
    answerLater([this] { return loginAnswer(); }, QVariant(QString()));
    return QString();
}

QCoro::Task<QVariant> session_dbus_interface::loginAnswer()
{
    const QString reply = co_await reportLogin();
    co_return QVariant(reply);
}

QCoro::Task<QString> session_dbus_interface::reportLogin()
{
    QPointer<session_dbus_interface> self(this);
    TAGGED_INFO_AS(SESSION_DBUS, "post_login") << "";
    emit user_login();
    co_await handleUserLogin();
    if (!self)
        co_return QString();
    const bool online = co_await dbus::instance()->is_domain_online();
    if (!self || !online)
        co_return QString();  // reported by onDomainServerStatus once the server is online
    TAGGED_INFO_AS(SESSION_DBUS, "post_login") << " user login, websocket connectd requestLogin";
    m_isConnectedWS = true;
    const QString reply = co_await requestLogin();
    co_return reply;
}

QCoro::Task<QString> session_dbus_interface::requestLogin()
{
    // A report is on its way: this request is answered with its reply.
    if (m_report.running()) {
        Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: a report is on its way, this request waits for its reply",
                                        "requestLogin");
        const QString reply = co_await qCoro(&m_report, &ReportInFlight::ended);
        co_return reply;
    }

    const QString marker = markerPath();
    const Marker claimed = claimMarker(marker);
    if (claimed == Marker::AlreadySent) {
        Log::GetInstance()->SaveFileLog(LOG_INFO, "已经发送过request login");
        m_retry.sent();
        co_return QString();
    }
    if (claimed == Marker::Created)
        Log::GetInstance()->SaveFileLog(LOG_INFO, "创建requestLogin临时文件成功");
    else
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "创建requestLogin临时文件失败");

    TAGGED_INFO(SESSION_DBUS) << "";

    const QString url = "http://" + Utils::get_ip_port() + "/mainapi/device/login/";
    QJsonObject body;
    body.insert("device_uuid", Utils::get_hostname());
    body.insert("domain_user", m_user_name);
    const QByteArray sendData = QJsonDocument(body).toJson();
    m_request.setUrl(QUrl(url));
    m_request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");

    // Each report on a manager, and so a connection, of its own: Qt writes a POST's header and
    // body apart, and on a kept-alive connection the body then waits for the server's delayed
    // acknowledgement. The manager lives until the report has ended.
    m_report.begin();
    QPointer<session_dbus_interface> self(this);
    const std::unique_ptr<QNetworkAccessManager> manager(newNetworkManager(nullptr));
    QNetworkReply *reply = manager->post(m_request, sendData);
    co_await awaitReply(reply, LoginReplyLimitMs);
    if (!self)
        co_return QString();

    QString answer;
    if (reply->error() == QNetworkReply::NoError) {
        QByteArray replyData = reply->readAll();
        const int zero = replyData.indexOf('\0');
        if (zero >= 0)
            replyData.truncate(zero);
        Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: server_url = %s, sendData = %s, replyData = %s", "requestLogin",
                                        url.toUtf8().constData(), sendData.constData(), replyData.constData());
        answer = QString::fromUtf8(replyData);
        m_retry.sent();
    } else {
        qDebug() << "post_login reply error!";
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s: %s, reply = %s", "requestLogin", "post_login reply error!",
                                        reply->errorString().toUtf8().constData());
        // The report did not reach the server: give the marker back and listen for the server
        // again, so that the next log-in call, the next "server online" signal or the next agent
        // start sends it.
        if (claimed == Marker::Created)
            QFile::remove(marker);
        m_isConnectedWS = false;
        // Nor need it wait for them: it is tried again by itself.
        m_retry.failed();
    }
    m_report.end(answer);
    co_return answer;
}

void session_dbus_interface::onReportDue()
{
    if (m_isConnectedWS)
        return;  // a report is on its way already, or was sent meanwhile
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: the log-in report is owed, trying again", "requestLogin");
    m_isConnectedWS = true;
    requestLogin();  // its reply goes to no caller
}

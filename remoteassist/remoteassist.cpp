#include "remoteassist.h"

#include <QDBusConnection>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QCoroProcess>

#include <chrono>

#include "childenvironment.h"
#include "inflight.h"
#include "log.h"
#include "paths.h"
#include "utils.h"
#include "websetcodes.h"

RemoteAssist::RemoteAssist(QObject *parent)
    : QDBusAbstractInterface("com.kiv.domain", "/com/domain/remoteassist", "com.domain.remoteassist",
                             QDBusConnection::sessionBus(), parent)
    , m_system(nullptr)
{
}

bool RemoteAssist::isAllowed() { return true; }

void RemoteAssist::debugTogle() { m_debug = !m_debug; }

void RemoteAssist::receiveWebset(QString sn, QString data)
{
    if (sn.isEmpty()) {
        Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s:receive invalid server set!", "receiveWebset");
        return;
    }
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s:handle server set %s data %s", "receiveWebset",
                                    sn.toUtf8().constData(), data.toUtf8().constData());

    using Handler = void (RemoteAssist::*)(const QString &);
    static const QList<QPair<QString, Handler>> handlers = {
        {"9-8-2", &RemoteAssist::requestRemoteAssist},
        {"9-8-3", &RemoteAssist::requestDisconnectBeforeconnected},
        {"9-8-4", &RemoteAssist::requestDisconnect},
        {"9-8-5", &RemoteAssist::requestSwitch},
        {"9-8-6", &RemoteAssist::requestUpdateRules},
    };
    for (const auto &handler : handlers) {
        if (handler.first == sn) {
            (this->*handler.second)(data);
            return;
        }
    }
}

// A request for assistance carries "confirm", "adminname" and "reason"; nothing is done with it.
void RemoteAssist::requestRemoteAssist(const QString &) {}
void RemoteAssist::requestDisconnectBeforeconnected(const QString &) {}
void RemoteAssist::requestDisconnect(const QString &) {}
void RemoteAssist::requestUpdateRules(const QString &) {}
void RemoteAssist::sendRemoteAssistResult() {}
void RemoteAssist::sendDisconnectResult() {}

void RemoteAssist::requestSwitch(const QString &data)
{
    QString adminName;
    QString op;
    // JSON text is UTF-8: an administrator's name with accented letters must still parse.
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data.toUtf8(), &error);
    if (error.error == QJsonParseError::NoError && document.isObject()) {
        adminName = document.object().value("adminname").toString();
        op = document.object().value("op").toString();
    }
    if (adminName.isEmpty() || op.isEmpty()) {
        Log::GetInstance()->SaveFileLog(LOG_INFO, "%s:requestSwitch errror", "requestSwitch");
        return;
    }

    QString script;
    if (op == "start")
        script = Paths::vncLaunchScript();
    else if (op == "stop")
        script = Paths::vncStopScript();
    else
        return;

    runScript(script, op == "start");
}

QCoro::Task<> RemoteAssist::runScript(QString script, bool started)
{
    QPointer<RemoteAssist> self(this);
    auto *process = new QProcess(this);
    process->setProcessEnvironment(childEnvironment());
    process->start("/bin/bash", {script});
    InFlight::track(process);
    co_await qCoro(process).waitForFinished(std::chrono::milliseconds(ScriptWaitMs));
    if (!self)
        co_return;  // the process went with its owner
    // One process object per request: freed once the script has ended, which for a launch script
    // that stays as the VNC server is when that server ends.
    if (process->state() == QProcess::NotRunning)
        process->deleteLater();
    else
        connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), process, &QObject::deleteLater);
    if (!started)
        co_return;
    QJsonObject reply;
    reply.insert("sender", 1);
    reply.insert("sn", RemoteAssistReplyCode);
    reply.insert("data", QJsonObject{{"hostname", Utils::get_hostname()},
                                     {"url", Utils::get_server_ip() + ":41181/vnc.html"}});
    const QString message = QString::fromUtf8(QJsonDocument(reply).toJson());
    co_await m_system.sendWebset(message);
}

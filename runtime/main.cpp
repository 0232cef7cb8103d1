#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QTextCodec>
#include <QtDebug>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "domaindbusinterface.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "session_dbus_interface.h"
#include "syncpolicy.h"
#include "taskmanager.h"
#include "utils.h"
#include "websocket.h"
#include "websetcodes.h"

static const char *const ServiceName = "com.kiv.domain.session";
static const char *const ObjectPath = "/com/domain/agent";

void signalHandler(int sig)
{
    std::printf("Caught signal: %d\n", sig);
    std::fflush(stdout);
    std::exit(sig);
}

int main(int argc, char *argv[])
{
    std::signal(SIGSEGV, signalHandler);
    std::signal(SIGABRT, signalHandler);

    try {
        QApplication app(argc, argv);
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

        const QString logFile = Paths::logFile();
        setLoggingPath(logFile);
        qInstallMessageHandler(outputMessage);
        Log::GetInstance()->setLogPath(logFile);
        Log::GetInstance()->SaveFileLog(LOG_INFO, "%s:hello session agent!", "main");

        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.registerService(ServiceName)) {
            const QString message = bus.lastError().message();
            qDebug() << message;
            Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s:bus registerService error!bus.lastError().message() = %s",
                                            "main", message.toUtf8().constData());
            std::exit(1);
        }

        // The long-lived objects of the agent, in this order: the session service (it records
        // the log-in time and starts the update or add-domain check before any caller can
        // reach it), the heartbeat, the service's export, the policy engine (on the client's own
        // desktop 5), the daemon's USB and heartbeat set-up, and the task notification router.
        session_dbus_interface session;
        WebSocket heartbeat;
        bus.registerObject(ObjectPath, &session,
                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                               QDBusConnection::ExportAllProperties);

        // Policies are enforced only on the client's own desktop system, major version 5.
        const Utils::OSInfo os = Utils::getOSInfo();
        if (os.osType == 1 && os.majorVersion == 5) {
            qInfo() << "start policy sync";
            SyncPolicy::instance()->monitor();
        }

        // The daemon handles USB logging and learns the session's heartbeat period.
        dbus::instance()->usbInit();
        dbus::instance()->setHeartBeat(Utils::get_heartbeat() * 1000);

        // The router of the daemon's installation task signals, last before the event loop.
        TaskManager::instance();

        return app.exec();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "Exception caught in start kiv domain sessin agent%s\n", e.what());
        return -1;
    }
}

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QTextCodec>
#include <QtDebug>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <unistd.h>

#include "domaindbusinterface.h"
#include "log.h"
#include "logging.h"
#include "paths.h"
#include "sessionclient.h"
#include "session_dbus_interface.h"
#include "syncpolicy.h"
#include "taskmanager.h"
#include "timelimits.h"
#include "translation.h"
#include "utils.h"
#include "websocket.h"
#include "websetcodes.h"

static const char *const ServiceName = "com.kiv.domain.session";
static const char *const ObjectPath = "/com/domain/agent";

// A crash must end the agent, never hang it: only async-signal-safe calls here. Running the
// normal exit handlers from inside a crash (static destructors of the bus connections and
// widgets) can deadlock on locks the interrupted code holds, so the process ends at once with
// the signal's number as its status.
void signalHandler(int sig)
{
    char line[32];
    int length = 0;
    for (const char *p = "Caught signal: "; *p; ++p)
        line[length++] = *p;
    char digits[12];
    int count = 0;
    for (int value = sig; value > 0 && count < 11; value /= 10)
        digits[count++] = char('0' + value % 10);
    while (count > 0)
        line[length++] = digits[--count];
    line[length++] = '\n';
    ssize_t ignored = write(STDOUT_FILENO, line, size_t(length));
    (void)ignored;
    _exit(sig);
}

int main(int argc, char *argv[])
{
    std::signal(SIGSEGV, signalHandler);
    std::signal(SIGABRT, signalHandler);

    try {
        // Windows at the screen's scale (twice as large on a 2x screen); a scale between whole
        // steps is rounded down below .75, and fonts take the rest.
        QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
        QApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::RoundPreferFloor);
        QApplication app(argc, argv);
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

        const QString logFile = Paths::logFile();
        setLoggingPath(logFile);
        qInstallMessageHandler(outputMessage);
        Log::GetInstance()->setLogPath(logFile);
        Log::GetInstance()->SaveFileLog(LOG_INFO, "%s:hello session agent!", "main");
        Translation::install(app);

        // The service object is exported before its name is claimed: a log-in script that waits
        // for the name and calls at once must find the object. Its start-up work (log-in time,
        // update or add-domain check) runs only once the name is this agent's, so a second agent
        // in the session does none of it; calls that arrive meanwhile wait for that work.
        QDBusConnection bus = QDBusConnection::sessionBus();
        session_dbus_interface session;
        bus.registerObject(ObjectPath, &session,
                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                               QDBusConnection::ExportAllProperties);
        if (!bus.registerService(ServiceName)) {
            const QString message = bus.lastError().message();
            qDebug().noquote() << message;
            Log::GetInstance()->SaveFileLog(LOG_ERROR, "%s:bus registerService error!bus.lastError().message() = %s",
                                            "main", message.toUtf8().constData());
            std::exit(1);
        }
        // Registered with the desktop's session manager, which starts the agent again when it dies
        // and ends it with the session. The name is the autostart entry's.
        SessionClient sessionClient(bus);
        sessionClient.registerClient("kiv-domain-session-agent");

        // The long-lived objects of the agent, in this order: the session service's start-up work,
        // the heartbeat, the policy engine (on the client's own desktop 5), the daemon's USB and
        // heartbeat set-up, and the task notification router.
        session.start();
        WebSocket heartbeat;

        // Policies are enforced only on the client's own desktop system, major version 5.
        const Utils::OSInfo os = Utils::getOSInfo();
        if (os.osType == 1 && os.majorVersion == 5) {
            qInfo() << "start policy sync";
            SyncPolicy::instance()->monitor();
        }

        // The daemon handles USB logging and learns the session's heartbeat period; a period
        // too long for an int of milliseconds is held at the longest one, never wrapped.
        dbus::instance()->usbInit();
        dbus::instance()->setHeartBeat(secondsToTimerMs(Utils::get_heartbeat()));

        // The router of the daemon's installation task signals, last before the event loop.
        TaskManager::instance();

        if (sessionClient.ended())
            return 0;
        return app.exec();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "Exception caught in start kiv domain sessin agent%s\n", e.what());
        return -1;
    }
}

// The structural floor of the agent's memory and start-up: what every agent must hold whatever
// its code does (the same libraries, the session-bus name and the three task dialogs that the
// router builds at start), and nothing else. The agent is reported against it and against the
// bare Qt program; what it holds beyond this floor is its own.
#include <QApplication>
#include <QDBusConnection>

#include "taskinstallnotify.h"
#include "taskinstallprogress.h"
#include "taskrebootnotify.h"

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(argc, argv);
    if (!QDBusConnection::sessionBus().registerService(argc > 1 ? argv[1] : "com.kiv.bench.floor"))
        return 1;
    TaskInstallNotify prompt;
    TaskInstallProgress progress;
    TaskRebootNotify countDown;
    return app.exec();
}

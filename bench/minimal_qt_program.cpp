// The floor the agent's start-up is compared with: a bare Qt Widgets program that claims a
// session-bus name the same way and runs its event loop.
#include <QApplication>
#include <QDBusConnection>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (!QDBusConnection::sessionBus().registerService(argc > 1 ? argv[1] : "com.kiv.bench.minimal"))
        return 1;
    return app.exec();
}

#include "dbuscall.h"

#include <QCoroDBusPendingCall>
#include <QDBusPendingCall>

QCoro::Task<QDBusMessage> awaitCall(QDBusConnection bus, QDBusMessage call, int limitMs)
{
    const QDBusPendingCall pending = bus.asyncCall(call, limitMs);
    const QDBusMessage reply = co_await qCoro(pending).waitForFinished();
    co_return reply;
}

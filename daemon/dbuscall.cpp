#include "dbuscall.h"

#include <QCoroSignal>
#include <QDBusPendingCallWatcher>

#include "inflight.h"

namespace {
const char *const QuittingError = "com.kiv.domain.session.Error.Quitting";
}  // namespace

QCoro::Task<QDBusMessage> awaitPending(QDBusPendingCall pending)
{
    // The agent quitting gives the call up, so that the operation waiting here unwinds.
    QDBusPendingCallWatcher watcher(pending);
    if (!watcher.isFinished()) {
        InFlight::track(&watcher);
        co_await qCoro(&watcher, &QDBusPendingCallWatcher::finished);
    }
    if (!watcher.isFinished())
        co_return QDBusMessage::createError(QuittingError, "the agent is quitting");
    const QDBusMessage reply = watcher.reply();
    co_return reply;
}

QCoro::Task<QDBusMessage> awaitCall(QDBusConnection bus, QDBusMessage call, int limitMs)
{
    if (InFlight::stopping())
        co_return QDBusMessage::createError(QuittingError, "the agent is quitting");
    const QDBusPendingCall pending = bus.asyncCall(call, limitMs);
    const QDBusMessage reply = co_await awaitPending(pending);
    co_return reply;
}

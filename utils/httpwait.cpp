#include "httpwait.h"

#include <QCoroNetworkReply>
#include <QNetworkReply>

#include <chrono>

#include "inflight.h"

QCoro::Task<bool> awaitReply(QNetworkReply *reply, int limitMs)
{
    if (reply->isFinished())
        co_return true;
    if (InFlight::stopping()) {  // the agent is quitting: nothing new is waited for
        reply->abort();
        co_return false;
    }
    // Quitting aborts the exchange, so the operation waiting here ends rather than stays suspended.
    InFlight::track(reply);
    const bool finished = co_await qCoro(reply).waitForFinished(std::chrono::milliseconds(limitMs));
    if (finished || reply->isFinished())
        co_return true;
    reply->abort();
    co_return false;
}

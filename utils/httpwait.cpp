#include "httpwait.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>

bool waitForReply(QNetworkReply *reply, int limitMs)
{
    if (reply->isFinished())
        return true;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);  // a coarse timer may give up 5 % early
    bool expired = false;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &limit, &QTimer::stop);
    QObject::connect(&limit, &QTimer::timeout, reply, [reply, &expired] {
        if (reply->isFinished())
            return;
        expired = true;
        reply->abort();
    });
    limit.start(limitMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return !expired;
}

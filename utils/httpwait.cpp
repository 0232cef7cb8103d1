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
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(limitMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (reply->isFinished())
        return true;
    QObject::disconnect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    reply->abort();
    return false;
}

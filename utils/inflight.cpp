#include "inflight.h"

#include <QCoreApplication>
#include <QDBusPendingCallWatcher>
#include <QList>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>

#include <algorithm>

#include <csignal>
#include <sys/types.h>

namespace {
bool quitting = false;

QList<QPointer<QNetworkReply>> &replies()
{
    static QList<QPointer<QNetworkReply>> list;
    return list;
}

QList<QPointer<QDBusPendingCallWatcher>> &calls()
{
    static QList<QPointer<QDBusPendingCallWatcher>> list;
    return list;
}

QList<QPointer<QProcess>> &processes()
{
    static QList<QPointer<QProcess>> list;
    return list;
}

void endAll()
{
    quitting = true;
    // Ending one may resume an operation that tracks another: work on copies.
    const auto pendingReplies = replies();
    replies().clear();
    for (const QPointer<QNetworkReply> &reply : pendingReplies) {
        if (reply && reply->isRunning())
            reply->abort();
    }
    const auto pendingCalls = calls();
    calls().clear();
    for (const QPointer<QDBusPendingCallWatcher> &call : pendingCalls) {
        if (call && !call->isFinished())
            emit call->finished(call);
    }
    const auto pendingProcesses = processes();
    processes().clear();
    for (const QPointer<QProcess> &process : pendingProcesses) {
        if (!process || process->state() == QProcess::NotRunning)
            continue;
        // Commands run in a process group of their own: end what they started too.
        if (process->processId() > 0)
            ::kill(-pid_t(process->processId()), SIGKILL);
        process->kill();
    }
}

void watchQuit()
{
    static bool watching = false;
    if (watching || !QCoreApplication::instance())
        return;
    watching = true;
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, endAll);
}

template <typename T, typename Done>
void add(QList<QPointer<T>> &list, T *object, Done done)
{
    watchQuit();
    list.erase(std::remove_if(list.begin(), list.end(), [&done](const QPointer<T> &p) { return !p || done(p.data()); }),
               list.end());
    list.append(object);
}
}  // namespace

namespace InFlight {

void track(QNetworkReply *reply)
{
    add(replies(), reply, [](QNetworkReply *r) { return r->isFinished(); });
}

void track(QProcess *process)
{
    add(processes(), process, [](QProcess *p) { return p->state() == QProcess::NotRunning; });
}

void track(QDBusPendingCallWatcher *call)
{
    add(calls(), call, [](QDBusPendingCallWatcher *c) { return c->isFinished(); });
}

bool stopping() { return quitting; }

}  // namespace InFlight

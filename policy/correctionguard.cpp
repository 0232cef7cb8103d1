#include "correctionguard.h"

#include "log.h"

CorrectionGuard::Report CorrectionGuard::reported(const QString &item)
{
    Item &state = m_items[item];
    const bool own = state.ownReports > 0;
    if (own)
        --state.ownReports;
    if (state.breakerOpen) {
        // The engine's own reports would only start the same round again.
        if (own)
            return Report::Dropped;
        state.breakerOpen = false;
        state.recent.clear();
    }
    return own ? Report::Own : Report::Outside;
}

void CorrectionGuard::inOrder(const QString &item)
{
    m_items[item].failed = false;
}

void CorrectionGuard::switchedOff(const QString &item)
{
    Item &state = m_items[item];
    state.failed = false;
    state.recent.clear();
}

bool CorrectionGuard::mayCorrect(const char *operation, const QString &item, Kind kind, Report report,
                                 const QString &local, const QString &server, qint64 nowMs)
{
    Item &state = m_items[item];
    if (report == Report::Own) {
        // A service still differs right after the daemon was asked to correct it: the
        // correction did not take. A setting was read back when it was written; if it differs
        // now, it was changed again after that, and that change has a report of its own.
        if (kind == Kind::Service)
            notTaken(operation, state, item, local, server);
        return false;
    }
    // A setting's next change tries a refused write again; a service is tried again only once
    // its state or the server's value is another.
    if (kind == Kind::Service && state.failed && state.failedLocal == local && state.failedServer == server)
        return false;
    forgetOlderThanWindow(state, nowMs);
    if (state.recent.size() < MaxCorrections)
        return true;
    if (!state.breakerOpen) {
        state.breakerOpen = true;
        Log::GetInstance()->SaveFileLog(LOG_WARN,
                                        "%s: %s corrected %d times, %d of them within %d s: not corrected again "
                                        "before a change that is not the agent's own",
                                        operation, item.toUtf8().constData(), state.corrections,
                                        int(state.recent.size()), int(WindowMs / 1000));
    }
    return false;
}

void CorrectionGuard::corrected(const QString &item, bool reportFollows, qint64 nowMs)
{
    Item &state = m_items[item];
    ++state.corrections;
    forgetOlderThanWindow(state, nowMs);
    state.recent.append(nowMs);
    if (reportFollows)
        ++state.ownReports;
}

void CorrectionGuard::forgetOlderThanWindow(Item &state, qint64 nowMs)
{
    while (!state.recent.isEmpty() && nowMs - state.recent.first() >= WindowMs)
        state.recent.removeFirst();
}

void CorrectionGuard::notKept(const char *operation, const QString &item, const QString &local, const QString &server)
{
    notTaken(operation, m_items[item], item, local, server);
}

void CorrectionGuard::notTaken(const char *operation, Item &state, const QString &item, const QString &local,
                               const QString &server)
{
    if (state.failed && state.failedLocal == local && state.failedServer == server)
        return;
    state.failed = true;
    state.failedLocal = local;
    state.failedServer = server;
    Log::GetInstance()->SaveFileLog(LOG_WARN,
                                    "%s: the state of %s could not be corrected, local value: %s, server value: %s",
                                    operation, item.toUtf8().constData(), local.toUtf8().constData(),
                                    server.toUtf8().constData());
}

qint64 CorrectionGuard::msUntilWindowPassed(const QString &item, qint64 nowMs) const
{
    const Item state = m_items.value(item);
    return state.recent.isEmpty() ? 0 : qMax<qint64>(0, state.recent.first() + WindowMs - nowMs);
}

void CorrectionGuard::windowPassed(const QString &item)
{
    Item &state = m_items[item];
    state.breakerOpen = false;
    state.recent.clear();
    state.ownReports = 0;
}

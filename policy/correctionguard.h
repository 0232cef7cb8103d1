#pragma once

#include <QHash>
#include <QList>
#include <QString>

// Keeps the policy engine's corrections of a guarded item from going round in circles.
//
// A correction raises a change report of its own: the change notification of the key the
// engine wrote, the job signal of the service the daemon restarted. The guard tells those
// reports from the others, holds back a correction that did not take until the local state or
// the server's value changes, and opens a breaker when one item would be corrected more than
// MaxCorrections times within WindowMs; an open breaker closes at the next change report that
// is not the engine's own, or when the engine looks again once the window has passed (a user
// who changes a setting faster than the breaker allows must not win). Times are the caller's
// monotonic milliseconds, so that nothing here needs a timer.
class CorrectionGuard
{
public:
    // Corrections of one item allowed within WindowMs before its breaker opens: enough for a
    // user who changes a setting a few times in a row, few enough that a correction the desktop
    // undoes at once costs the server and the log a handful of lines a minute, not an endless
    // stream.
    static constexpr int MaxCorrections = 3;
    static constexpr qint64 WindowMs = 60000;

    // Setting: a desktop setting the engine writes and reads back itself. Service: a system
    // service the daemon corrects; whether that took shows only in the next report.
    enum class Kind { Setting, Service };
    // Own: the report follows the engine's own correction. Dropped: it does too, and the item's
    // breaker is open, so it is not looked at.
    enum class Report { Outside, Own, Dropped };

    // A change of item was reported; call once per report, when its handling begins.
    Report reported(const QString &item);
    // The item holds the server's value.
    void inOrder(const QString &item);
    // The server has switched the item's policy off: what went before no longer counts.
    void switchedOff(const QString &item);
    // The item differs from the server's value: may the engine correct it now? Says once in the
    // log why not, when that is news to an administrator.
    bool mayCorrect(const char *operation, const QString &item, Kind kind, Report report, const QString &local,
                    const QString &server, qint64 nowMs);
    // The engine corrected item; reportFollows: a change report of its own is to come.
    void corrected(const QString &item, bool reportFollows, qint64 nowMs);
    // A written setting, read back, does not hold the server's value.
    void notKept(const char *operation, const QString &item, const QString &local, const QString &server);

    int corrections(const QString &item) const { return m_items.value(item).corrections; }

    bool breakerOpen(const QString &item) const { return m_items.value(item).breakerOpen; }
    // How long until the corrections that opened the item's breaker are out of its window.
    qint64 msUntilWindowPassed(const QString &item, qint64 nowMs) const;
    // The window has passed: the breaker closes, and the next report counts as an outside one.
    void windowPassed(const QString &item);

private:
    struct Item {
        int corrections = 0;   // since start
        QList<qint64> recent;  // times of the corrections in the breaker's window, oldest first
        bool breakerOpen = false;
        int ownReports = 0;  // reports still to come from the engine's own corrections
        bool failed = false;  // a correction from failedLocal to failedServer did not take
        QString failedLocal;
        QString failedServer;
    };

    static void forgetOlderThanWindow(Item &state, qint64 nowMs);
    static void notTaken(const char *operation, Item &state, const QString &item, const QString &local,
                         const QString &server);

    QHash<QString, Item> m_items;
};

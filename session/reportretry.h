#pragma once

#include <QObject>

class QTimer;

// The log-in report is owed after an attempt that did not reach the server; it is tried again by
// itself, without waiting for a caller or the daemon's "server online". The waits grow from
// about half a minute to ten minutes, each drawn at random between half and all of its interval,
// so that a thousand terminals that lost the server together do not come back together. The
// timer exists only while a report is owed: an agent with nothing owed never wakes up for it.
class ReportRetry : public QObject
{
    Q_OBJECT

public:
    static constexpr int FirstIntervalMs = 30000;
    static constexpr int LongestIntervalMs = 600000;

    using QObject::QObject;

    // An attempt failed: the next one is due after the current interval, which then doubles.
    void failed();
    // The report reached the server (or was found sent): nothing more is due, and a later
    // failure starts again from the first interval.
    void sent();

signals:
    void due();

private:
    QTimer *m_timer = nullptr;
    int m_intervalMs = FirstIntervalMs;
};

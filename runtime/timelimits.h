#pragma once

#include <QtGlobal>

#include <limits>

// Display times arrive in seconds from callers and peers; a QTimer takes an int of milliseconds.
// A negative time counts as 0 and a time whose milliseconds would overflow is held at the
// longest interval a timer can run.
inline int secondsToTimerMs(qint64 seconds)
{
    constexpr qint64 longest = std::numeric_limits<int>::max();
    if (seconds <= 0)
        return 0;
    if (seconds > longest / 1000)
        return int(longest);
    return int(seconds * 1000);
}

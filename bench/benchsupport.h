#pragma once

// Pieces shared by the benchmarks.

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <vector>


// The middle sample of a run (-1 when there is none): one slow outlier does not move it.
inline double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Serves events for ms milliseconds.
inline void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}


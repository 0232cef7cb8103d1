#pragma once

// Pieces shared by the benchmarks.

#include <QByteArray>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <vector>

#include "testenv.h"

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

// The session the agent's figures are taken in: the client's own desktop 5 with a guarded
// wallpaper and idle delay (so the policy engine watches its settings), a terminal that has
// joined the domain, the heartbeat off (domain type 2).
inline void writeSessionRoot(const TestEnv::TempRoot &root)
{
    root.writeFile("/etc/os-release", "NAME=\"KIV Desktop\"\nNAME_EN=\"KIVDesktop\"\nVERSION_ID=\"5.0\"\nID=kiv\n");
    root.writeConfig("[init]\nadd_domain_success=true\ndomain_type=2\nip_port=127.0.0.1:9\n"
                     "[policy]\nitems=pictureUri,idleDelay\n");
}

// The three programs compared: the agent, the structural floor (same libraries, same three
// dialogs) and the bare Qt program, each with the session-bus name it claims.
struct Compared {
    const char *label;
    QString program;
    QStringList arguments;
    QString name;
};
inline std::vector<Compared> comparedPrograms(const QString &agent, const QString &floor, const QString &minimal)
{
    return {{"agent", agent, {}, "com.kiv.domain.session"},
            {"floor (same libraries and dialogs)", floor, {"com.kiv.bench.floor"}, "com.kiv.bench.floor"},
            {"bare Qt program", minimal, {"com.kiv.bench.minimal"}, "com.kiv.bench.minimal"}};
}

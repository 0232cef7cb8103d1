#pragma once

// The programs the session figures compare, and the session they run in.

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <vector>

#include "testenv.h"

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

// Resident memory of a process in KiB, -1 when it cannot be read.
inline long residentKb(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

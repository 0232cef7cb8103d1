// File logger throughput: lines per second of Log::SaveFileLog (which opens, appends and closes
// the log file for every line) against the same line written with stdio, once with an open and
// close per line and once on a file kept open.
//   bench_log [lines]
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

#include "log.h"

namespace {
double linesPerSecond(int lines, const std::function<void(int)> &write)
{
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < lines; ++i)
        write(i);
    return lines / (clock.nsecsElapsed() / 1e9);
}

void stdioLine(FILE *file, int i)
{
    const QByteArray stamp = QDateTime::currentDateTime().toString("[yyyy-MM-dd hh:mm:ss.zzz]").toUtf8();
    std::fprintf(file, "%s [LOG_INFO] %s: line %d of the benchmark, user = %s\n", stamp.constData(), "bench", i,
                 "alice");
}
}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int lines = argc > 1 ? qMax(1, atoi(argv[1])) : 20000;
    QTemporaryDir dir;
    const QString logPath = dir.filePath("agent.log");
    const QByteArray stdioPath = dir.filePath("stdio.log").toLocal8Bit();

    Log::GetInstance()->setLogPath(logPath);
    const double agent = linesPerSecond(lines, [](int i) {
        Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: line %d of the benchmark, user = %s", "bench", i, "alice");
    });
    const double reopen = linesPerSecond(lines, [&](int i) {
        FILE *file = std::fopen(stdioPath.constData(), "a");
        stdioLine(file, i);
        std::fclose(file);
    });
    FILE *kept = std::fopen(stdioPath.constData(), "a");
    const double open = linesPerSecond(lines, [&](int i) { stdioLine(kept, i); });
    std::fclose(kept);

    std::printf("%-44s %12s %8s\n", QString("file logger, %1 lines").arg(lines).toUtf8().constData(), "lines/s",
                "ratio");
    std::printf("%-44s %12.0f %8s\n", "Log::SaveFileLog", agent, "");
    std::printf("%-44s %12.0f %8.2f\n", "stdio, open and close per line", reopen, agent / reopen);
    std::printf("%-44s %12.0f %8.2f\n", "stdio, file kept open", open, agent / open);
    return 0;
}

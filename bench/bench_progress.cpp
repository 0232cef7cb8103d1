// Install progress check: what the once-a-second check of a task's install log costs over a whole
// installation. A task of N packages (500 unless given), first some ticks before the daemon has
// written the log, then the log grows one line at a time, as the package manager writes it, with a
// tick of the check after every line, until the check reports the installation complete. The
// ticks call the slot directly. Counted: the messages the check writes into the agent's log (its
// message handler), the bytes it reads (the process's read counter, /proc/self/io "rchar") and its
// time. Beside it, from the same run, the cost of a check that re-reads the whole log and writes
// every set-up line found on every tick, computed from the same log.
//   bench_progress [packages] [ticks before the log]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>

#include <cstdio>

#include "paths.h"
#include "taskinstallprogress.h"

namespace {
const QByteArray SetUpMark = QByteArray("正在设置");

struct Written {
    qint64 lines = 0;
    qint64 setUpLines = 0;
    qint64 bytes = 0;  // UTF-8 of the messages, without the handler's stamps
};
Written written;

void countMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QByteArray text = message.toUtf8();
    ++written.lines;
    written.bytes += text.size() + 1;
    if (text.contains(SetUpMark))
        ++written.setUpLines;
}

// Bytes this process has read so far, and the size of the counter file read to learn it (the
// next reading includes that read).
struct ReadCounter {
    qint64 value = -1;
    qint64 ownRead = 0;
};

ReadCounter bytesRead()
{
    ReadCounter counter;
    QFile io("/proc/self/io");
    if (!io.open(QIODevice::ReadOnly))
        return counter;
    const QByteArray text = io.readAll();
    counter.ownRead = text.size();
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("rchar:"))
            counter.value = line.mid(6).trimmed().toLongLong();
    }
    return counter;
}

void append(QFile &log, const QByteArray &line)
{
    log.write(line + "\n");
    log.flush();
}
}  // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int packages = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 500;
    const int ticksBeforeLog = argc > 2 ? qMax(0, QByteArray(argv[2]).toInt()) : 30;

    QTemporaryDir root;
    Paths::setRoot(root.path());
    const QString taskDir = Paths::tasksDir() + "bench-task";
    QDir().mkpath(taskDir);
    for (int i = 1; i <= packages; ++i) {
        QFile package(taskDir + QString("/pkg%1_1.0_amd64.deb").arg(i));
        package.open(QIODevice::WriteOnly);
        package.write("!<arch>\n");
    }

    qInstallMessageHandler(countMessage);
    TaskInstallProgress dialog;
    QProgressBar *bar = dialog.findChild<QProgressBar *>("progressBar");
    int complete = 0;
    QObject::connect(&dialog, &TaskInstallProgress::installComplete, [&complete](bool) { ++complete; });
    dialog.showNotify("bench-task", "bench");
    written = Written();  // only the checks' messages

    qint64 ticks = 0, readBytes = 0, elapsedNs = 0;
    // The whole-log check, computed: per tick the whole file is read and every set-up line in it
    // is written; a missing log writes its warning on every tick.
    qint64 wholeLines = 0, wholeSetUp = 0, wholeBytes = 0, wholeMessageBytes = 0;
    qint64 fileSize = 0, setUpInFile = 0, setUpMessageBytes = 0;
    bool logExists = false;
    const auto tick = [&] {
        if (bar->value() != 100) {
            if (logExists) {
                wholeLines += setUpInFile;
                wholeSetUp += setUpInFile;
                wholeBytes += fileSize;
                wholeMessageBytes += setUpMessageBytes;
            } else {
                ++wholeLines;
                wholeMessageBytes += qstrlen("Failed to open file for reading") + 1;
            }
        }
        const ReadCounter before = bytesRead();
        QElapsedTimer clock;
        clock.start();
        dialog.onCheckProgress();
        elapsedNs += clock.nsecsElapsed();
        readBytes += bytesRead().value - before.value - before.ownRead;
        ++ticks;
    };

    for (int i = 0; i < ticksBeforeLog; ++i)
        tick();

    QFile log(taskDir + "/install.log");
    log.open(QIODevice::WriteOnly | QIODevice::Append);
    logExists = true;
    const auto appendLine = [&](const QByteArray &line) {
        append(log, line);
        fileSize += line.size() + 1;
        if (line.contains(SetUpMark)) {
            ++setUpInFile;
            // What the whole-log check wrote for it: the line, quoted.
            setUpMessageBytes += line.size() + 3;
        }
        tick();
    };
    appendLine("正在选中未选择的软件包 bench。");
    appendLine("(正在读取数据库 ... 系统当前共安装有 212345 个文件和目录。)");
    for (int i = 1; i <= packages; ++i) {
        appendLine(QString("正在准备解包 .../pkg%1_1.0_amd64.deb  ...").arg(i).toUtf8());
        appendLine(QString("正在解包 pkg%1 (1.0-1) ...").arg(i).toUtf8());
        appendLine(QString("正在设置 pkg%1 (1.0-1) ...").arg(i).toUtf8());
    }
    appendLine("正在处理用于 man-db (2.11.2-2) 的触发器 ...");
    for (int i = 0; i < 3 && complete == 0; ++i)
        tick();

    qInstallMessageHandler(nullptr);
    std::printf("install progress check, %d packages, %d ticks before the log, then one per log line: %lld ticks, "
                "log %lld bytes, bar %d, complete reported %s\n",
                packages, ticksBeforeLog, ticks, fileSize, bar->value(), complete == 0 ? "no" : "yes");
    std::printf("%-34s %12s %12s %14s %14s %10s\n", "", "lines", "set-up lines", "message bytes", "bytes read",
                "ms");
    std::printf("%-34s %12lld %12lld %14lld %14lld %10.1f\n", "this build", written.lines, written.setUpLines,
                written.bytes, readBytes, elapsedNs / 1e6);
    std::printf("%-34s %12lld %12lld %14lld %14lld %10s\n", "whole log every tick (computed)", wholeLines,
                wholeSetUp, wholeMessageBytes, wholeBytes, "-");
    return complete == 0 ? 1 : 0;
}

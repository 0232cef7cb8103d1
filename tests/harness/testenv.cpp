#include "testenv.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTest>

#include "paths.h"

namespace TestEnv {

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QTest::qWait(10);
    }
    return true;
}

TempRoot::TempRoot(bool applySeam)
    : m_dir(QDir::tempPath() + "/kiv-root.XXXXXX")
    , m_applySeam(applySeam)
{
    // The sandboxed agent runs as another user: the folders must be open to it.
    QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7777));
    for (const char *dir : {"/usr/share/kiv-domain-client/salt", "/usr/share/kiv-domain-client/tasks",
                            "/var/log/kiv-domain-client", "/etc/kiv", "/etc/kiv-security", "/tmp", "/proc", "/run/user/1000"})
        makeDir(dir);
    if (m_applySeam)
        Paths::setRoot(m_dir.path());
}

TempRoot::~TempRoot()
{
    if (m_applySeam)
        Paths::setRoot(QString());
}

void TempRoot::makeDir(const QString &fixedPath) const
{
    QString current = m_dir.path();
    for (const QString &part : fixedPath.split('/', Qt::SkipEmptyParts)) {
        current += "/" + part;
        QDir().mkpath(current);
        QFile::setPermissions(current, QFileDevice::Permissions(0x7777));
    }
}

void TempRoot::writeFile(const QString &fixedPath, const QByteArray &content, bool executable) const
{
    makeDir(QFileInfo(fixedPath).path());
    QFile file(path(fixedPath));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write test fixture %s", qPrintable(file.fileName()));
    file.write(content);
    file.close();
    QFile::setPermissions(file.fileName(), executable ? QFileDevice::Permissions(0x7777)
                                                      : QFileDevice::Permissions(0x6666));
}

void TempRoot::writeConfig(const QByteArray &ini) const
{
    static int version = 0;
    ++version;
    writeFile(ConfigIni, ini + "\n;" + QByteArray(version % 64 + 1, 'v') + QByteArray::number(version) + "\n");
}

QByteArray TempRoot::readFile(const QString &fixedPath) const
{
    QFile file(path(fixedPath));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString TempRoot::logText() const
{
    return QString::fromUtf8(readFile("/var/log/kiv-domain-client/kiv-domain-session-agent.log"));
}

bool TempRoot::waitForLog(const QString &text, int timeoutMs) const
{
    return waitFor([&] { return logText().contains(text); }, timeoutMs);
}

CommandResult runCommand(const QString &program, const QStringList &arguments, int timeoutMs)
{
    CommandResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ended = process.waitForStarted(10000) &&
                       waitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    endProcess(process);
    result.output = QString::fromUtf8(process.readAll());
    if (ended && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

void writeFakeCommand(const QString &dir, const QString &name, const QString &script)
{
    QDir().mkpath(dir);
    QFile file(dir + "/" + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write fake command %s", qPrintable(file.fileName()));
    file.write("#!/bin/bash\n" + script.toUtf8() + "\n");
    file.close();
    QFile::setPermissions(file.fileName(), QFileDevice::Permissions(0x7755));
}

void prependPath(const QString &dir)
{
    qputenv("PATH", dir.toLocal8Bit() + ":" + qgetenv("PATH"));
}

void endProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

}  // namespace TestEnv

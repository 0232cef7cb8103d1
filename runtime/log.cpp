#include "log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QTextStream>
#include <QtDebug>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "utils.h"

Log *Log::instance = nullptr;

Log::Log()
    : m_logPath(QDir::currentPath())
{
}

Log *Log::GetInstance()
{
    if (!instance)
        instance = new Log();
    return instance;
}

void Log::setLogPath(QString path) { m_logPath = path; }

void Log::setLogLevel(LOGLEVEL level) { m_logLevel = level; }

QString Log::getLevelStr(LOGLEVEL level)
{
    switch (level) {
    case LOG_DEBUG: return QStringLiteral("LOG_DEBUG");
    case LOG_INFO: return QStringLiteral("LOG_INFO");
    case LOG_WARN: return QStringLiteral("LOG_WARN");
    case LOG_ERROR: return QStringLiteral("LOG_ERROR");
    }
    return QString();
}

namespace {
// vsnprintf never writes past the buffer: a longer expansion is cut at 8191 bytes.
__attribute__((format(printf, 2, 0))) void formatMessage(char (&buffer)[Log::BufferSize], const char *format,
                                                         va_list args)
{
    std::vsnprintf(buffer, sizeof(buffer), format, args);
}
}  // namespace

void Log::SaveFileLog(LOGLEVEL level, const char *format, ...)
{
    if (!Utils::isWriteLog())
        return;
    if (level < m_logLevel)
        return;
    if (std::strlen(format) > BufferSize - 1) {
        SaveFileLog(LOG_ERROR, "write too bigger log content");
        return;
    }

    char buffer[BufferSize] = {0};
    va_list args;
    va_start(args, format);
    formatMessage(buffer, format, args);
    va_end(args);

    const QString stamp = QDateTime::currentDateTime().toString("[yyyy-MM-dd hh:mm:ss.zzz]");
    QFile file(m_logPath);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text))
        return;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    stream << stamp << " [" << getLevelStr(level) << "] " << QObject::tr(buffer) << Qt::endl;
    file.close();
}

void Log::PrintLog(LOGLEVEL level, const char *format, ...)
{
    if (level < m_logLevel)
        return;

    char buffer[BufferSize] = {0};
    va_list args;
    va_start(args, format);
    formatMessage(buffer, format, args);
    va_end(args);

    const QByteArray stamp = QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toUtf8();
    const QByteArray levelName = getLevelStr(level).toUtf8();
    qDebug("[%s] [%s] {%s}", stamp.constData(), levelName.constData(), buffer);
}

// Both log channels ask this switch before writing a line.
bool Utils::isWriteLog() { return true; }

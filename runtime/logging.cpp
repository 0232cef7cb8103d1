#include "logging.h"

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>

#include <cstdio>

#include "utils.h"

namespace {
QString logPath;

QString levelWord(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return QStringLiteral("Debug");
    case QtWarningMsg: return QStringLiteral("Warning");
    case QtCriticalMsg: return QStringLiteral("Critical");
    case QtFatalMsg: return QStringLiteral("Fatal");
    case QtInfoMsg: return QStringLiteral("Info");
    }
    return QString();
}
}  // namespace

void setLoggingPath(const QString &path) { logPath = path; }

void outputMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!Utils::isWriteLog())
        return;

    static QMutex mutex;
    QMutexLocker locker(&mutex);

    const QString time = QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss:zzz");
    const QString line = QString("[%1][%2][%3] %4")
                             .arg(time, levelWord(type), QString::fromUtf8(context.category), message);

    // Bound to the path of the first message; reopened on every message while it fails.
    static QFile file(logPath);
    static QTextStream stream(&file);
    if (!file.isOpen()) {
        if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
            stream.setCodec("UTF-8");
    }
    if (file.isOpen()) {
        stream << line << Qt::endl;
    }

    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

#define AGENT_CATEGORY(accessor, name)                                 \
    const QLoggingCategory &accessor()                                 \
    {                                                                  \
        static const QLoggingCategory category(name, QtInfoMsg);       \
        return category;                                               \
    }

AGENT_CATEGORY(FORM_WINDOWS_ADMIN, "windows.admin")
AGENT_CATEGORY(FORM_WINDOWS_DOMAIN, "windows.domain")
AGENT_CATEGORY(WEBSOCKET, "websocket")
AGENT_CATEGORY(MAINWINDOW, "mainwindow")
AGENT_CATEGORY(DBUS, "dbus")
AGENT_CATEGORY(FORM_ADD_PREPARE, "form_add_prepare")
AGENT_CATEGORY(SESSION_DBUS, "session_dbus_interface")
AGENT_CATEGORY(NOTIFY, "notify")
AGENT_CATEGORY(DOMAIN_DBUS_INTERFACE, "domain_dbus_interface")

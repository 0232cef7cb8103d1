#pragma once

// Pieces shared by the daemon proxy tests: the stand-in daemon and its knobs, and a record of
// the Qt messages the proxy writes.

#include <QDBusVariant>
#include <QList>
#include <QStringList>
#include <QString>
#include <QVariant>

#include <memory>

#include "dbusmock.h"
#include "testenv.h"

namespace DaemonTest {

using TestEnv::AgentInterface;
using TestEnv::AgentPath;
const QString SyncPath = QStringLiteral("/com/domain/sync");
const QString ConfigPath = QStringLiteral("/com/domain/config");
const QString EventsPath = QStringLiteral("/com/domain/events");
const QString TaskPath = QStringLiteral("/com/domain/taskmanager");
const QString TaskInterface = QStringLiteral("com.domain.taskmanager");

inline std::unique_ptr<DBusMock> startDaemon(const QString &parametersJson = QString())
{
    return std::unique_ptr<DBusMock>(DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py",
                                                            DBusMock::SystemBus, parametersJson));
}

// The stand-in's knobs (see the top of sim/daemon/kiv_domain_daemon.py).
inline void setReply(const DBusMock &daemon, const QString &method, const QString &signature, const QVariant &value)
{
    daemon.mock(AgentPath, "SetReply", {method, signature, QVariant::fromValue(QDBusVariant(value))});
}
inline void setError(const DBusMock &daemon, const QString &method, const QString &name)
{
    daemon.mock(AgentPath, "SetError", {method, name, QStringLiteral("refused by the test")});
}
inline void setDelay(const DBusMock &daemon, const QString &method, double seconds)
{
    daemon.mock(AgentPath, "SetDelay", {method, seconds});
}

// The same value and the same type: an int argument must not arrive as a string or a long.
inline bool sameTyped(const QVariantList &actual, const QVariantList &expected)
{
    if (actual.size() != expected.size())
        return false;
    for (int i = 0; i < actual.size(); ++i) {
        if (actual.at(i).userType() != expected.at(i).userType() || actual.at(i) != expected.at(i))
            return false;
    }
    return true;
}

// For failure messages: each value with its type, "int 3, QString ssh".
inline QString describe(const QVariantList &values)
{
    QStringList parts;
    for (const QVariant &value : values)
        parts << QString("%1 %2").arg(QString::fromLatin1(value.typeName()), value.toString());
    return parts.join(", ");
}

struct LoggedMessage {
    QtMsgType type;
    QString category;
    QString text;
};

// Records every Qt message while it lives (and still passes them on to the previous handler).
class MessageLog
{
public:
    MessageLog()
    {
        messages().clear();
        previous() = qInstallMessageHandler(&MessageLog::handler);
    }
    ~MessageLog() { qInstallMessageHandler(previous()); }

    static QList<LoggedMessage> &messages()
    {
        static QList<LoggedMessage> list;
        return list;
    }
    // Whether some message of this type and category holds text (blanks folded, quotes kept).
    static bool contains(const QString &text, QtMsgType type = QtInfoMsg, const QString &category = "default")
    {
        return indexOf(text, type, category) >= 0;
    }
    static int indexOf(const QString &text, QtMsgType type = QtInfoMsg, const QString &category = "default")
    {
        for (int i = 0; i < messages().size(); ++i) {
            const LoggedMessage &m = messages().at(i);
            if (m.type == type && m.category == category && m.text.simplified().contains(text))
                return i;
        }
        return -1;
    }

private:
    static QtMessageHandler &previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        messages().append({type, QString::fromUtf8(context.category), text});
        if (previous())
            previous()(type, context, text);
    }
};

}  // namespace DaemonTest

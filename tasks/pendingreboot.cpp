#include "pendingreboot.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "log.h"
#include "ownfile.h"
#include "paths.h"

namespace {
QString entryPath() { return Paths::runtimeDir() + "/kiv-domain-session-agent.pending-reboot"; }

QString bootId()
{
    QFile file(Paths::bootIdFile());
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed() : QString();
}
}  // namespace

namespace PendingReboot {

void save(const Entry &entry)
{
    const QJsonObject object{{"boot", bootId()},
                             {"task", entry.taskId},
                             {"name", entry.taskName},
                             {"end", QString::number(entry.endMs)}};
    if (!OwnFile::write(entryPath(), QJsonDocument(object).toJson(QJsonDocument::Compact)))
        Log::GetInstance()->SaveFileLog(LOG_WARN, "%s: cannot write %s", "PendingReboot",
                                        entryPath().toUtf8().constData());
}

std::optional<Entry> load()
{
    QString why;
    const std::optional<QByteArray> content = OwnFile::read(entryPath(), &why);
    if (!content) {
        if (why != "absent")
            Log::GetInstance()->SaveFileLog(LOG_WARN, "%s: %s is %s, not the agent's own: ignored", "PendingReboot",
                                            entryPath().toUtf8().constData(), why.toUtf8().constData());
        return std::nullopt;
    }
    const QJsonObject object = QJsonDocument::fromJson(*content).object();
    bool numeric = false;
    Entry entry{object.value("task").toString(), object.value("name").toString(),
                object.value("end").toString().toLongLong(&numeric)};
    const QString boot = object.value("boot").toString();
    if (!numeric || entry.taskId.isEmpty() || boot.isEmpty()) {
        Log::GetInstance()->SaveFileLog(LOG_WARN, "%s: %s holds no pending reboot: ignored", "PendingReboot",
                                        entryPath().toUtf8().constData());
        return std::nullopt;
    }
    if (boot != bootId()) {
        clear();  // the machine has rebooted since
        return std::nullopt;
    }
    return entry;
}

void clear() { OwnFile::remove(entryPath()); }

}  // namespace PendingReboot

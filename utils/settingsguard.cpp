#include "settingsguard.h"

#include <QGSettings>
#include <QtDebug>

namespace SettingsGuard {

bool schemaInstalled(const QByteArray &schema) { return QGSettings::isSchemaInstalled(schema); }

QString listedKeyName(const QString &key)
{
    QString name;
    bool upper = false;
    for (const QChar c : key) {
        if (c == '-') {
            upper = true;
            continue;
        }
        name += upper ? c.toUpper() : c;
        upper = false;
    }
    return name;
}

bool hasKey(const QGSettings &settings, const QString &key) { return settings.keys().contains(listedKeyName(key)); }

std::unique_ptr<QGSettings> open(const QByteArray &schema, const QStringList &keys, const char *operation)
{
    if (!schemaInstalled(schema)) {
        qWarning().noquote().nospace() << operation << ": schema " << schema << " is not installed, skipped";
        return nullptr;
    }
    auto settings = std::make_unique<QGSettings>(schema);
    for (const QString &key : keys) {
        if (!hasKey(*settings, key)) {
            qWarning().noquote().nospace() << operation << ": schema " << schema << " has no key " << key
                                           << ", skipped";
            return nullptr;
        }
    }
    return settings;
}

}  // namespace SettingsGuard

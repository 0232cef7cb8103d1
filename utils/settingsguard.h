#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

class QGSettings;

// gsettings-qt aborts the agent when it opens a schema that is not installed and when it reads a
// key the installed schema lacks: every settings object the agent opens is checked here first.
namespace SettingsGuard {

bool schemaInstalled(const QByteArray &schema);
// gsettings-qt's name of a key: "show-desktop" is listed as "showDesktop".
QString listedKeyName(const QString &key);
// Whether the settings object lists the key (by its schema name or gsettings-qt's name).
bool hasKey(const QGSettings &settings, const QString &key);
// Opens a schema at its default path, or logs (naming operation) and answers null when the schema
// or one of the keys the caller needs is missing.
std::unique_ptr<QGSettings> open(const QByteArray &schema, const QStringList &keys, const char *operation);

}  // namespace SettingsGuard

#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Small state files the agent keeps for itself in folders others can write to or plant in: only a
// regular file of this user's own, not a link, is read back; a file is replaced whole, never
// written in place, so that a crash leaves the old or the new content and never half of it.
namespace OwnFile {

// The content, or nothing (with the reason in why) when the file is absent, is not a regular
// file of this user's, or cannot be read.
std::optional<QByteArray> read(const QString &path, QString *why = nullptr);
// Writes the whole content under a temporary name and renames it into place (mode 0600).
bool write(const QString &path, const QByteArray &content);
void remove(const QString &path);

}  // namespace OwnFile

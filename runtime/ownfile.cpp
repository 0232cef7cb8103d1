#include "ownfile.h"

#include <QFile>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace OwnFile {

std::optional<QByteArray> read(const QString &path, QString *why)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (lstat(native.constData(), &info) != 0) {
        if (why)
            *why = "absent";
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        if (why)
            *why = S_ISLNK(info.st_mode) ? "a link" : !S_ISREG(info.st_mode) ? "not a regular file" : "another user's file";
        return std::nullopt;
    }
    // Opened without following a link planted between the look and the open.
    const int fd = open(native.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            close(fd);
        if (why)
            *why = "unreadable";
        return std::nullopt;
    }
    return file.read(64 * 1024);
}

bool write(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(content);
    return file.commit();
}

void remove(const QString &path) { QFile::remove(path); }

}  // namespace OwnFile

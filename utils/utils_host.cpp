// Host identity and OS facts: system files, hardware identifiers, addresses and users.
#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QNetworkInterface>
#include <QTextStream>
#include <QtDebug>

#include <unistd.h>

#include "log.h"
#include "accounts.h"
#include "paths.h"
#include "utils.h"

QString Utils::m_serial;
QStringList Utils::m_serialList;

namespace {
// One property of an AccountsService user; an invalid variant when the call fails.
QCoro::Task<QVariant> accountsUserProperty(QString path, QString name)
{
    QString error;
    const QVariant value = co_await Accounts::userProperty(QDBusConnection::systemBus(), path, name, &error);
    if (!value.isValid())
        qWarning().noquote() << "failed to read " + name + " of " + path + ": " + error;
    co_return value;
}

// The root mount point the disk-serial walk compares mounts with.
QString &recordedRootMount()
{
    static QString mount;
    return mount;
}
}  // namespace

Utils::OSInfo Utils::getOSInfo()
{
    // The record is kept once the client's own desktop system has been recognised.
    static OSInfo info;
    if (info.osType == 1)
        return info;

    QFile file(Paths::osRelease());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug() << "failed to open os-release";
        return info;
    }
    QMap<QString, QString> fields;
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QStringList parts = stream.readLine().split('=');
        if (parts.size() != 2)
            continue;  // a value holding "=" is not one of ours
        fields.insert(parts.at(0).trimmed(), parts.at(1).trimmed().remove('"'));
    }
    if (fields.value("NAME_EN") == "KIVDesktop")
        info.osType = 1;
    const QString version = fields.value("VERSION_ID");
    if (!version.isEmpty())
        info.majorVersion = version.at(0).digitValue();
    info.id = fields.value("ID");
    return info;
}

QString Utils::get_file_field(QString path, QString key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug().noquote() << "Failed to open " + path;
        return QString();
    }
    const QString prefix = key + "=";
    QString value;
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (line.startsWith(prefix)) {
            value = line.mid(prefix.size());
            break;
        }
    }
    value = value.simplified().remove('"');
    qInfo().noquote() << "filePath: " + path + " key=" + key + " value=" + value;
    return value;
}

// Both files are read on every call, so that both facts show in the log.
bool Utils::isThinTerminal()
{
    const bool thinMachine = get_file_field(Paths::kivInfo(), "MACHINE") == "THIN";
    const bool thinFeature = get_file_field(Paths::osRelease(), "FEATURE_NAME") == "thin";
    return thinMachine || thinFeature;
}

bool Utils::isLivecd()
{
    qInfo() << "isLivecd"
            << "enter";
    QFile file(Paths::procCmdline());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug() << "failed to open /proc/cmdline";
        return false;
    }
    return file.readAll().contains("boot=live");
}

QCoro::Task<bool> Utils::isVirtual()
{
    qInfo() << "isVirtual"
            << "enter";
    // No answer at all (the tool is missing) counts as virtual.
    const CmdResult detected = co_await exec_cmd("/usr/bin/systemd-detect-virt", 0);
    co_return QString(detected.output).remove('\n') != "none";
}

QCoro::Task<QString> Utils::getUuid()
{
    const QStringList arguments{"-c", "dmidecode -s system-uuid"};
    const ProgramRun run = co_await run_program("bash", arguments, ProbeLimitMs);
    QString uuid = QString::fromLatin1(run.output.constData());
    if (!uuid.isEmpty()) {
        uuid.remove('\n');
        Log::GetInstance()->SaveFileLog(LOG_INFO, "get uuid ,uuid is   %s", uuid.toUtf8().constData());
    }
    co_return uuid;
}

QCoro::Task<QString> Utils::getSn()
{
    const QStringList arguments{"-c", "dmidecode -s system-serial-number"};
    const ProgramRun run = co_await run_program("bash", arguments, ProbeLimitMs);
    QString sn = QString::fromLatin1(run.output.constData());
    if (!sn.isEmpty()) {
        sn.remove('\n');
        Log::GetInstance()->SaveFileLog(LOG_INFO, "get sn ,sn is   %s", sn.toUtf8().constData());
    }
    co_return sn == "Not Specified" ? QStringLiteral("0000") : sn;
}

QCoro::Task<QString> Utils::getDiskSerial()
{
    if (!m_serial.isEmpty()) {
        Log::GetInstance()->SaveFileLog(LOG_INFO, "serial has been set, no need to be reset  %s",
                                        m_serial.toUtf8().constData());
        co_return m_serial;
    }
    const QStringList arguments{"-J", "-bno", "NAME,SERIAL,MOUNTPOINT,UUID"};
    const ProgramRun run = co_await run_program("lsblk", arguments, NoOwnLimit);
    if (run.output.isEmpty())
        co_return QString();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(run.output, &error);
    if (error.error != QJsonParseError::NoError) {
        Log::GetInstance()->SaveFileLog(LOG_INFO, "json格式解析错误");
        co_return QString();
    }
    // The walk below compares each mount with the recorded root mount point, read once here.
    const QString rootMount = co_await read_mountpoint_path();
    recordedRootMount() = rootMount.trimmed();
    QString serial;
    const QJsonObject top = document.object();
    if (top.contains("blockdevices") && top.value("blockdevices").isArray()) {
        for (const QJsonValue device : top.value("blockdevices").toArray())
            rescureSerial(device.toObject(), serial);
    }
    m_serial = serial;
    co_return serial;
}

QString Utils::rescureSerial(QJsonObject device, QString &serial)
{
    if (device.value("children").isArray()) {
        m_serialList.append(device.value("serial").toString());
        for (const QJsonValue child : device.value("children").toArray())
            rescureSerial(child.toObject(), serial);
        return serial;
    }

    const QString mountPoint = device.value("mountpoint").toString();
    if (mountPoint.isEmpty())
        return QString();

    // A server edition keeps the root's disk under /boot.
    const QString pretty = ini_value(Paths::osRelease(), "PRETTY_NAME", "UTF8").toString();
    const QString root = pretty.contains("server", Qt::CaseInsensitive) ? "/boot" : "/";

    if (mountPoint == root || mountPoint == recordedRootMount())
        serial = findSerial(device, serial);
    Log::GetInstance()->SaveFileLog(LOG_INFO, "serial has been set, no need to be reset  %s",
                                    m_serial.toUtf8().constData());
    return serial;
}

QString Utils::findSerial(QJsonObject device, QString &serial)
{
    // The disk seen last above the mount is the one that holds it.
    for (int i = m_serialList.size() - 1; i >= 0; --i) {
        if (!m_serialList.at(i).isEmpty()) {
            serial = m_serialList.at(i);
            break;
        }
    }
    if (m_serialList.isEmpty()) {
        serial = device.value("serial").toString();
        Log::GetInstance()->SaveFileLog(LOG_INFO, "get current row serial:   %s", serial.toUtf8().constData());
    }
    Log::GetInstance()->SaveFileLog(LOG_INFO, "serial=   %s", serial.toUtf8().constData());
    if (serial.isEmpty()) {
        serial = device.value("uuid").toString();
        Log::GetInstance()->SaveFileLog(LOG_INFO, "serial=null, uuid=  %s", serial.toUtf8().constData());
    }
    return serial;
}

QCoro::Task<QString> Utils::read_mountpoint_path()
{
    const QStringList arguments{Paths::rootMountPointFile()};
    const ProgramRun run = co_await run_program("cat", arguments, ProbeLimitMs);
    co_return QString::fromLatin1(run.output.constData());
}

QCoro::Task<QString> Utils::read_ip_address()
{
    static QString address;
    if (!address.isEmpty())
        co_return address;

    const QStringList upAddress{"-c", "ip addr | grep 'state UP' -A2 | awk '/inet/ {print $2}' | cut -f1 "
                                      "-d'/' | head -n 1"};
    const ProgramRun up = co_await run_program("bash", upAddress, NoOwnLimit);
    const QString candidate = QString::fromUtf8(up.output).trimmed();
    qDebug().noquote() << "local ip address: " + candidate;

    for (const QHostAddress &host : QNetworkInterface::allAddresses()) {
        if (host.isLoopback() || host.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        if (host.toString() == candidate) {
            address = candidate;
            qDebug().noquote() << "find same ip = " + host.toString();
            break;
        }
    }
    if (address.isEmpty()) {
        const QStringList routeSource{"-c", "ip route get 1.1.1.1 | awk '/src/ {print $7}'"};
        const ProgramRun route = co_await run_program("bash", routeSource, NoOwnLimit);
        address = QString::fromUtf8(route.output).trimmed();
        qDebug().noquote() << "retrieve local ip address: " + address;
    }
    if (address.isEmpty())
        address = QHostAddress(QHostAddress::LocalHost).toString();
    co_return address;
}

QCoro::Task<QString> Utils::get_using_mac()
{
    static QString mac;
    if (!mac.isEmpty())
        co_return mac;
    const QStringList upMac{"-c", "ip addr | grep 'state UP' -A2 | awk '/ether/ {print $2}' | head -n 1"};
    const ProgramRun up = co_await run_program("/bin/bash", upMac, NoOwnLimit);
    mac = QString::fromUtf8(up.output).trimmed();
    qInfo().noquote() << "local using mac: " + mac;
    co_return mac;
}

QCoro::Task<QString> Utils::getLoginName()
{
    QString name;
    if (geteuid() != 0) {
        name = QDir::home().dirName();
        if (name.isEmpty() || name == "root")
            qInfo().noquote() << "failed to get login session name: " + name;
    } else {
        // A system process finds the user of display :0 (as the line or as the host in
        // brackets); a log-in time such as 09:05 holds ":0" too and must not match.
        const QStringList displayUser{"-c", "/usr/bin/who | /usr/bin/grep -E '[ (]:0([^0-9]|$)' | "
                                            "/usr/bin/head -n 1 | /usr/bin/awk '{print $1}'"};
        const ProgramRun run = co_await run_program("/bin/bash", displayUser, ProbeLimitMs);
        if (run.finished && run.exitCode == 0)
            name = QString::fromUtf8(run.output).trimmed();
        else
            qInfo().noquote() << "failed to get login name in system process error: "
                    + QString::fromUtf8(run.errorOutput);
    }
    qInfo().noquote() << "getLoginName: " + name;
    co_return name;
}

QCoro::Task<QStringList> Utils::getCachedUsers()
{
    QStringList users;
    QList<QDBusObjectPath> paths;
    QString error;
    const bool listed = co_await Accounts::cachedUsers(QDBusConnection::systemBus(), paths, &error);
    if (!listed) {
        qWarning().noquote() << "failed to list cached users: " + error;
        co_return users;
    }
    if (paths.isEmpty())
        co_return users;
    for (const QDBusObjectPath &path : paths) {
        const QVariant uidValue = co_await accountsUserProperty(path.path(), "Uid");
        const QVariant nameValue = co_await accountsUserProperty(path.path(), "UserName");
        const qulonglong uid = uidValue.toULongLong();
        const QString name = nameValue.toString();
        if (!name.isEmpty())
            users << name;
        qInfo().noquote() << "path= " + path.path() + " uid: " + QString::number(uid) + " name: " + name;
    }
    qInfo() << "login UI cached users:" << users;
    co_return users;
}

QString Utils::get_token()
{
    QFile file(Paths::uuidFile());
    if (!file.exists())
        return QString();
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "failed to open " + file.fileName() + ": " + file.errorString();
        return QString();
    }
    return QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5).toHex());
}

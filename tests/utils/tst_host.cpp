// Host identity and OS facts from fixture files under a temporary root and from fake system
// commands. Probes that run programs by absolute path (who, systemd-detect-virt) or that keep
// their first answer for the process are run in a copy of this test program, in a bwrap
// sandbox where a fake program is bound over the real one.
#include <QtTest>

#include <QCryptographicHash>
#include <QNetworkInterface>

#include <cstdio>
#include <functional>
#include <unistd.h>

#include "dbusmock.h"
#include "log.h"
#include "paths.h"
#include "testenv.h"
#include "utils.h"

namespace {
const char *const ProbeVariable = "KIV_HOST_PROBE";  // set in the copy: the probe to answer
const QString OsRelease = "/etc/os-release";
const QString KivInfo = "/etc/kiv/info";

// In the copy of this program: print one probe's answer and end.
void answerProbeAndExit(const QByteArray &probe)
{
    QString answer;
    if (probe == "isVirtual")
        answer = Utils::isVirtual() ? "true" : "false";
    else if (probe == "getLoginName")
        answer = Utils::getLoginName();
    else if (probe == "read_ip_address")
        answer = Utils::read_ip_address() + "|" + Utils::read_ip_address();
    std::printf("\nPROBE<%s>\n", answer.toUtf8().constData());
    std::fflush(stdout);
    std::_Exit(0);
}

// Runs the probe in a copy of this program; binds maps fake files over real paths in a sandbox.
QString probeInCopy(const QByteArray &probe, const QMap<QString, QString> &binds = {},
                    const QString &path = QString())
{
    QStringList arguments{"--bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--die-with-parent"};
    for (auto it = binds.cbegin(); it != binds.cend(); ++it)
        arguments << "--ro-bind" << it.value() << it.key();
    arguments << "--" << QCoreApplication::applicationFilePath();
    QProcess copy;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(ProbeVariable, probe);
    if (!path.isEmpty())
        environment.insert("PATH", path + ":" + environment.value("PATH"));
    copy.setProcessEnvironment(environment);
    copy.start("bwrap", arguments);
    if (!copy.waitForFinished(30000))
        return "<no answer>";
    const QString output = QString::fromUtf8(copy.readAllStandardOutput());
    const QRegularExpressionMatch match = QRegularExpression("\nPROBE<(.*)>\n").match(output);
    return match.hasMatch() ? match.captured(1) : "<no answer> " + output + copy.readAllStandardError();
}

struct SeteuidScope {
    explicit SeteuidScope(uid_t uid) : active(geteuid() == 0) { ok = !active || seteuid(uid) == 0; }
    ~SeteuidScope()
    {
        if (active)
            (void)seteuid(0);
    }
    bool active;
    bool ok;
};
}  // namespace

class TestHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void osInfoIsKeptOnceRecognised_data();
    void osInfoIsKeptOnceRecognised();
    void fileField_data();
    void fileField();
    void thinTerminal_data();
    void thinTerminal();
    void livecd_data();
    void livecd();
    void virtualMachine_data();
    void virtualMachine();
    void uuidAndSerialNumber_data();
    void uuidAndSerialNumber();
    void diskSerial_data();
    void diskSerial();
    void diskSerialIsKept();
    void ipAddress_data();
    void ipAddress();
    void macAddressIsKeptOnceFound();
    void loginNameOfAUser_data();
    void loginNameOfAUser();
    void loginNameAsRoot_data();
    void loginNameAsRoot();
    void cachedUsers_data();
    void cachedUsers();
    void token_data();
    void token();

private:
    void fakeCommand(const QString &name, const QString &script) { TestEnv::writeFakeCommand(m_bin.path(), name, script); }

    QTemporaryDir m_bin;    // fake commands, first on PATH
    QTemporaryDir m_fakes;  // fake programs bound over absolute paths
};

void TestHost::initTestCase()
{
    if (qEnvironmentVariableIsSet(ProbeVariable))
        answerProbeAndExit(qgetenv(ProbeVariable));
    TestEnv::prependPath(m_bin.path());
    Utils::setCommandTimeLimitMs(20000);
}

void TestHost::osInfoIsKeptOnceRecognised_data()
{
    QTest::addColumn<QByteArray>("file");  // empty: no file
    QTest::addColumn<int>("osType");
    QTest::addColumn<int>("majorVersion");
    QTest::addColumn<QString>("id");

    // The rows run in order against one process-wide record.
    QTest::newRow("no file: the empty record") << QByteArray() << 0 << 0 << "";
    QTest::newRow("no version yet") << QByteArray("ID=debian\n") << 0 << 0 << "debian";
    QTest::newRow("other system") << QByteArray("NAME_EN=\"Debian\"\nVERSION_ID=\"4.0\"\nID=debian\n") << 0 << 4
                                  << "debian";
    QTest::newRow("version not a digit") << QByteArray("VERSION_ID=\"v5\"\nID=\"x\"\n") << 0 << -1 << "x";
    QTest::newRow("version kept when absent") << QByteArray("VERSION_ID=7\nID=a\n") << 0 << 7 << "a";
    QTest::newRow("value with = ignored") << QByteArray("NAME_EN=KIVDesktop=2\nID=b\n") << 0 << 7 << "b";
    QTest::newRow("id absent") << QByteArray("NAME_EN=KIVDesktopX\n") << 0 << 7 << "";
    QTest::newRow("later line wins") << QByteArray("ID=first\nID = \"second\" \n") << 0 << 7 << "second";
    QTest::newRow("recognised") << QByteArray("NAME_EN=\"KIVDesktop\"\nVERSION_ID=\"5.0\"\nID=kiv\n") << 1 << 5
                                << "kiv";
    QTest::newRow("kept after a change") << QByteArray("NAME_EN=Debian\nVERSION_ID=12\nID=debian\n") << 1 << 5 << "kiv";
    QTest::newRow("kept without a file") << QByteArray() << 1 << 5 << "kiv";
}

void TestHost::osInfoIsKeptOnceRecognised()
{
    QFETCH(QByteArray, file);
    QFETCH(int, osType);
    QFETCH(int, majorVersion);
    QFETCH(QString, id);

    TestEnv::TempRoot root;
    if (!file.isEmpty())
        root.writeFile(OsRelease, file);
    const Utils::OSInfo info = Utils::getOSInfo();
    QCOMPARE(info.osType, osType);
    QCOMPARE(info.majorVersion, majorVersion);
    QCOMPARE(info.id, id);
}

void TestHost::fileField_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("quoted value") << QByteArray("MACHINE_TYPE=x86\nMACHINE=\"THIN\"\n") << "MACHINE" << "THIN";
    QTest::newRow("longer key does not match") << QByteArray("MACHINE_TYPE=THIN\n") << "MACHINE" << "";
    QTest::newRow("white space folded") << QByteArray("AREA=  north   east \t\n") << "AREA" << "north east";
    QTest::newRow("first line wins") << QByteArray("AREA=one\nAREA=two\n") << "AREA" << "one";
    QTest::newRow("case matters") << QByteArray("area=one\n") << "AREA" << "";
    QTest::newRow("blank before = does not match") << QByteArray("AREA =one\n") << "AREA" << "";
    QTest::newRow("value with =") << QByteArray("AREA=a=b\n") << "AREA" << "a=b";
    QTest::newRow("inner quotes removed") << QByteArray("AREA=\"x\"\"y\"\n") << "AREA" << "xy";
    QTest::newRow("utf-8 value") << QByteArray("AREA=华东\n") << "AREA" << QString::fromUtf8("华东");
    QTest::newRow("empty value") << QByteArray("AREA=\n") << "AREA" << "";
    QTest::newRow("no file") << QByteArray() << "AREA" << "";
}

void TestHost::fileField()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, key);
    QFETCH(QString, value);

    TestEnv::TempRoot root;
    if (!file.isEmpty()) {
        root.writeFile(KivInfo, file);
        QTest::ignoreMessage(QtInfoMsg, qPrintable("filePath: " + Paths::kivInfo() + " key=" + key + " value=" + value));
    } else {
        QTest::ignoreMessage(QtDebugMsg, qPrintable("Failed to open " + Paths::kivInfo()));
    }
    QCOMPARE(Utils::get_file_field(Paths::kivInfo(), key), value);
}

void TestHost::thinTerminal_data()
{
    QTest::addColumn<QByteArray>("info");       // empty: no file
    QTest::addColumn<QByteArray>("osRelease");  // empty: no file
    QTest::addColumn<bool>("thin");
    QTest::newRow("info THIN") << QByteArray("MACHINE=THIN\n") << QByteArray() << true;
    QTest::newRow("info thin in lower case") << QByteArray("MACHINE=thin\n") << QByteArray() << false;
    QTest::newRow("no info, FEATURE_NAME=thin") << QByteArray() << QByteArray("FEATURE_NAME=thin\n") << true;
    QTest::newRow("FEATURE_NAME quoted") << QByteArray("MACHINE=PC\n") << QByteArray("FEATURE_NAME=\"thin\"\n") << true;
    QTest::newRow("FEATURE_NAME=THIN") << QByteArray() << QByteArray("FEATURE_NAME=THIN\n") << false;
    QTest::newRow("neither") << QByteArray("MACHINE=PC\n") << QByteArray("ID=kiv\n") << false;
    QTest::newRow("no files") << QByteArray() << QByteArray() << false;
}

void TestHost::thinTerminal()
{
    QFETCH(QByteArray, info);
    QFETCH(QByteArray, osRelease);
    QFETCH(bool, thin);
    TestEnv::TempRoot root;
    if (!info.isEmpty())
        root.writeFile(KivInfo, info);
    if (!osRelease.isEmpty())
        root.writeFile(OsRelease, osRelease);
    // Both files are read on every call, whatever the first one says.
    const auto expectRead = [](const QString &path, const QString &key, bool exists) {
        if (exists)
            QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^filePath: " + QRegularExpression::escape(path)
                                                               + " key=" + key + " value="));
        else
            QTest::ignoreMessage(QtDebugMsg, qPrintable("Failed to open " + path));
    };
    expectRead(Paths::kivInfo(), "MACHINE", !info.isEmpty());
    expectRead(Paths::osRelease(), "FEATURE_NAME", !osRelease.isEmpty());
    QCOMPARE(Utils::isThinTerminal(), thin);
}

void TestHost::livecd_data()
{
    QTest::addColumn<QByteArray>("cmdline");
    QTest::addColumn<bool>("live");
    QTest::newRow("live boot") << QByteArray("BOOT_IMAGE=/live/vmlinuz boot=live quiet\n") << true;
    QTest::newRow("installed") << QByteArray("BOOT_IMAGE=/vmlinuz root=UUID=1 ro quiet\n") << false;
    QTest::newRow("similar word") << QByteArray("boot=liv e\n") << false;
    QTest::newRow("no file") << QByteArray() << false;
}

void TestHost::livecd()
{
    QFETCH(QByteArray, cmdline);
    QFETCH(bool, live);
    TestEnv::TempRoot root;
    if (!cmdline.isEmpty())
        root.writeFile("/proc/cmdline", cmdline);
    QCOMPARE(Utils::isLivecd(), live);
}

void TestHost::virtualMachine_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("answer");
    QTest::newRow("bare metal") << "echo none; exit 1" << "false";
    QTest::newRow("kvm") << "echo kvm" << "true";
    QTest::newRow("container") << "echo docker" << "true";
    QTest::newRow("no answer") << "exit 1" << "true";
    QTest::newRow("none with other text") << "echo none; echo x" << "true";
}

void TestHost::virtualMachine()
{
    QFETCH(QString, script);
    QFETCH(QString, answer);
    TestEnv::writeFakeCommand(m_fakes.path(), "systemd-detect-virt", script);
    QCOMPARE(probeInCopy("isVirtual", {{"/usr/bin/systemd-detect-virt", m_fakes.path() + "/systemd-detect-virt"}}),
             answer);
}

void TestHost::uuidAndSerialNumber_data()
{
    QTest::addColumn<QString>("uuidOutput");
    QTest::addColumn<QString>("snOutput");
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<QString>("sn");
    QTest::newRow("both known") << "4c4c4544-0042-3510-8051-b4c04f4e3332\\n" << "CN1234XY\\n"
                                << "4c4c4544-0042-3510-8051-b4c04f4e3332" << "CN1234XY";
    QTest::newRow("serial not specified") << "u-1\\n" << "Not Specified\\n" << "u-1" << "0000";
    QTest::newRow("serial not specified, longer") << "u-1\\n" << "Not Specified yet\\n" << "u-1" << "Not Specified yet";
    QTest::newRow("no output") << "" << "" << "" << "";
    QTest::newRow("output up to a zero byte") << "ab\\0cd\\n" << "s\\0x" << "ab" << "s";
}

void TestHost::uuidAndSerialNumber()
{
    QFETCH(QString, uuidOutput);
    QFETCH(QString, snOutput);
    QFETCH(QString, uuid);
    QFETCH(QString, sn);

    TestEnv::TempRoot root;
    Log::GetInstance()->setLogPath(Paths::logFile());
    fakeCommand("dmidecode", QString("case \"$2\" in\n system-uuid) printf '%1' ;;\n"
                                     " system-serial-number) printf '%2' ;;\n *) exit 2 ;;\nesac")
                                 .arg(uuidOutput, snOutput));
    QCOMPARE(Utils::getUuid(), uuid);
    QCOMPARE(Utils::getSn(), sn);
    if (!uuid.isEmpty())
        QVERIFY2(root.logText().contains("get uuid ,uuid is   " + uuid), qPrintable(root.logText()));
}

void TestHost::diskSerial_data()
{
    QTest::addColumn<QByteArray>("lsblk");
    QTest::addColumn<QByteArray>("osRelease");
    QTest::addColumn<QByteArray>("rootMountPoint");
    QTest::addColumn<QString>("serial");

    const QByteArray desktop = "PRETTY_NAME=\"KIV Desktop 5.0\"\n";
    QTest::newRow("partition of one disk") << QByteArray(R"({"blockdevices": [
        {"name": "sda", "serial": "S1", "mountpoint": null, "uuid": null, "children": [
            {"name": "sda1", "serial": null, "mountpoint": "/boot/efi", "uuid": "A-1"},
            {"name": "sda2", "serial": null, "mountpoint": "/", "uuid": "A-2"}]}]})")
                                           << desktop << QByteArray() << "S1";
    QTest::newRow("nested: disk, partition, volume")
        << QByteArray(R"({"blockdevices": [
        {"name": "nvme0n1", "serial": "N1", "mountpoint": null, "children": [
            {"name": "nvme0n1p1", "serial": null, "mountpoint": "/boot"},
            {"name": "nvme0n1p2", "serial": null, "mountpoint": null, "children": [
                {"name": "vg-root", "serial": null, "mountpoint": "/", "uuid": "V-1"}]}]}]})")
        << desktop << QByteArray() << "N1";
    QTest::newRow("root on the first of two disks") << QByteArray(R"({"blockdevices": [
        {"name": "sda", "serial": "S1", "children": [{"name": "sda1", "mountpoint": "/"}]},
        {"name": "sdb", "serial": "S2", "children": [{"name": "sdb1", "mountpoint": "/data"}]}]})")
                                                    << desktop << QByteArray() << "S1";
    QTest::newRow("root on the second of two disks") << QByteArray(R"({"blockdevices": [
        {"name": "sda", "serial": "S1", "children": [{"name": "sda1", "mountpoint": "/data"}]},
        {"name": "sdb", "serial": "S2", "children": [{"name": "sdb1", "mountpoint": "/"}]}]})")
                                                     << desktop << QByteArray() << "S2";
    QTest::newRow("whole disk mounted") << QByteArray(R"({"blockdevices": [
        {"name": "vda", "serial": "VD-9", "mountpoint": "/", "uuid": "U-9"}]})")
                                        << desktop << QByteArray() << "VD-9";
    QTest::newRow("no serial: the uuid") << QByteArray(R"({"blockdevices": [
        {"name": "vda", "serial": null, "mountpoint": "/", "uuid": "U-9"}]})")
                                         << desktop << QByteArray() << "U-9";
    QTest::newRow("disk without serial: the uuid") << QByteArray(R"({"blockdevices": [
        {"name": "vda", "serial": null, "children": [{"name": "vda1", "mountpoint": "/", "uuid": "U-1"}]}]})")
                                                   << desktop << QByteArray() << "U-1";
    QTest::newRow("server edition: the /boot disk") << QByteArray(R"({"blockdevices": [
        {"name": "sda", "serial": "S1", "children": [{"name": "sda1", "mountpoint": "/"}]},
        {"name": "sdb", "serial": "S2", "children": [{"name": "sdb1", "mountpoint": "/boot"}]}]})")
                                                    << QByteArray("PRETTY_NAME=\"KIV Server 5, build 7\"\n")
                                                    << QByteArray() << "S2";
    QTest::newRow("root from the mount point file") << QByteArray(R"({"blockdevices": [
        {"name": "sda", "serial": "S1", "children": [{"name": "sda1", "mountpoint": "/"}]},
        {"name": "sdc", "serial": "S3", "children": [{"name": "sdc1", "mountpoint": "/sysroot"}]}]})")
                                                    << desktop << QByteArray("/sysroot\n") << "S3";
    QTest::newRow("no root mount") << QByteArray(R"({"blockdevices": [
        {"name": "sda", "serial": "S1", "children": [{"name": "sda1", "mountpoint": "/data"}]}]})")
                                   << desktop << QByteArray() << "";
    QTest::newRow("no block devices") << QByteArray(R"({"other": []})") << desktop << QByteArray() << "";
    QTest::newRow("not json") << QByteArray("lsblk: failed") << desktop << QByteArray() << "";
    QTest::newRow("no output") << QByteArray() << desktop << QByteArray() << "";
}

void TestHost::diskSerial()
{
    QFETCH(QByteArray, lsblk);
    QFETCH(QByteArray, osRelease);
    QFETCH(QByteArray, rootMountPoint);
    QFETCH(QString, serial);

    TestEnv::TempRoot root;
    Log::GetInstance()->setLogPath(Paths::logFile());
    Utils::m_serial.clear();
    Utils::m_serialList.clear();
    root.writeFile(OsRelease, osRelease);
    if (!rootMountPoint.isEmpty())
        root.writeFile("/tmp/rootMountPoint", rootMountPoint);
    root.writeFile("/tmp/lsblk.json", lsblk);
    fakeCommand("lsblk", QString("[ \"$*\" = '-J -bno NAME,SERIAL,MOUNTPOINT,UUID' ] || exit 2\ncat '%1'")
                             .arg(root.path("/tmp/lsblk.json")));

    QCOMPARE(Utils::getDiskSerial(), serial);
    QCOMPARE(Utils::m_serial, serial);
    if (lsblk == "lsblk: failed")
        QVERIFY(root.logText().contains(QString::fromUtf8("json格式解析错误")));
}

void TestHost::diskSerialIsKept()
{
    TestEnv::TempRoot root;
    Log::GetInstance()->setLogPath(Paths::logFile());
    Utils::m_serial.clear();
    Utils::m_serialList.clear();
    fakeCommand("lsblk", R"(echo '{"blockdevices": [{"name": "vda", "serial": "K-1", "mountpoint": "/"}]}')");
    QCOMPARE(Utils::getDiskSerial(), QString("K-1"));
    fakeCommand("lsblk", R"(echo '{"blockdevices": [{"name": "vda", "serial": "K-2", "mountpoint": "/"}]}')");
    QCOMPARE(Utils::getDiskSerial(), QString("K-1"));
    QVERIFY(root.logText().contains("serial has been set, no need to be reset  K-1"));
}

void TestHost::ipAddress_data()
{
    QTest::addColumn<QString>("addrOutput");
    QTest::addColumn<QString>("routeOutput");
    QTest::addColumn<QString>("expected");

    QString local;
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (!address.isLoopback() && address.protocol() == QAbstractSocket::IPv4Protocol) {
            local = address.toString();
            break;
        }
    }
    const QString route = "1.1.1.1 via 10.0.0.1 dev eth0 src 10.9.8.7 uid 0";
    if (!local.isEmpty()) {
        QTest::newRow("address of an interface that is up")
            << QString("2: eth0: <BROADCAST,UP> mtu 1500 state UP qlen 1000\n    link/ether 52:54:00:00:00:01\n"
                       "    inet %1/24 brd 10.255.255.255 scope global eth0\n").arg(local)
            << route << local + "|" + local;
    }
    QTest::newRow("address not on this machine: the route's source")
        << QString("2: eth0: <UP> state UP\n    link/ether x\n    inet 203.0.113.77/24 scope global\n") << route
        << "10.9.8.7|10.9.8.7";
    QTest::newRow("nothing up: the route's source") << QString("1: lo: <LOOPBACK> state UNKNOWN\n") << route
                                                    << "10.9.8.7|10.9.8.7";
    QTest::newRow("no route either: loop-back") << QString() << QString() << "127.0.0.1|127.0.0.1";
}

void TestHost::ipAddress()
{
    QFETCH(QString, addrOutput);
    QFETCH(QString, routeOutput);
    QFETCH(QString, expected);

    // Each row needs a fresh process: the address is kept for the life of the process.
    QTemporaryDir bin;
    TestEnv::TempRoot root;
    root.writeFile("/tmp/addr", addrOutput.toUtf8());
    root.writeFile("/tmp/route", routeOutput.toUtf8());
    TestEnv::writeFakeCommand(bin.path(), "ip",
                              QString("case \"$1\" in\n addr) cat '%1' ;;\n route) cat '%2' ;;\nesac")
                                  .arg(root.path("/tmp/addr"), root.path("/tmp/route")));
    QCOMPARE(probeInCopy("read_ip_address", {}, bin.path()), expected);
}

void TestHost::macAddressIsKeptOnceFound()
{
    TestEnv::TempRoot root;
    root.writeFile("/tmp/addr", "1: lo: <LOOPBACK> state UNKNOWN\n    link/loopback 00:00:00:00:00:00\n");
    fakeCommand("ip", QString("[ \"$1\" = addr ] && cat '%1'").arg(root.path("/tmp/addr")));
    QCOMPARE(Utils::get_using_mac(), QString());  // an empty answer is asked again next time

    root.writeFile("/tmp/addr", "2: eth0: <UP> mtu 1500 state UP\n    link/ether 52:54:00:12:34:56 brd ff:ff:ff:ff:ff:ff\n"
                                "    inet 10.0.0.2/24\n");
    QTest::ignoreMessage(QtInfoMsg, "local using mac: 52:54:00:12:34:56");
    QCOMPARE(Utils::get_using_mac(), QString("52:54:00:12:34:56"));

    root.writeFile("/tmp/addr", "2: eth0: <UP> state UP\n    link/ether 52:54:00:ff:ff:ff brd x\n");
    QCOMPARE(Utils::get_using_mac(), QString("52:54:00:12:34:56"));
}

void TestHost::loginNameOfAUser_data()
{
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("failure");
    QTest::newRow("user home") << "/home/alice" << "alice" << false;
    QTest::newRow("domain user home") << "/home/CORP/bob.smith" << "bob.smith" << false;
    QTest::newRow("root's home") << "/root" << "root" << true;
    QTest::newRow("file system root") << "/" << "" << true;
}

void TestHost::loginNameOfAUser()
{
    QFETCH(QString, home);
    QFETCH(QString, name);
    QFETCH(bool, failure);

    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", home.toUtf8());
    if (failure)
        QTest::ignoreMessage(QtInfoMsg, qPrintable("failed to get login session name: " + name));
    QTest::ignoreMessage(QtInfoMsg, qPrintable("getLoginName: " + name));
    QString answer;
    {
        SeteuidScope user(1000);
        QVERIFY(user.ok);
        answer = Utils::getLoginName();
    }
    qputenv("HOME", savedHome);
    QCOMPARE(answer, name);
}

void TestHost::loginNameAsRoot_data()
{
    QTest::addColumn<QString>("whoScript");
    QTest::addColumn<QString>("name");
    QTest::newRow("graphical seat user") << "printf 'carol    pts/0  2024-05-01 09:00 (10.0.0.9)\\n"
                                            "alice    :0     2024-05-01 08:00 (:0)\\n"
                                            "bob      :0     2024-05-01 08:30 (:0)\\n'"
                                         << "alice";
    QTest::newRow("display as the host") << "printf 'dave     tty7   2024-05-01 10:00 (:0)\\n'" << "dave";
    QTest::newRow("display with a screen") << "printf 'erin     pts/1  2024-05-01 10:10 (:0.0)\\n'" << "erin";
    QTest::newRow("a time with :0 is not the seat") << "printf 'carol    pts/0  2024-05-01 09:05 (10.0.0.9)\\n'"
                                                    << "";
    QTest::newRow("display :10 is not :0") << "printf 'frank    pts/2  2024-05-01 11:11 (:10)\\n'" << "";
    QTest::newRow("who fails") << "echo broken >&2; exit 1" << "";
}

void TestHost::loginNameAsRoot()
{
    QFETCH(QString, whoScript);
    QFETCH(QString, name);
    if (geteuid() != 0)
        QSKIP("the system-process branch needs root");
    TestEnv::writeFakeCommand(m_fakes.path(), "who", whoScript);
    QCOMPARE(probeInCopy("getLoginName", {{"/usr/bin/who", m_fakes.path() + "/who"}}), name);
}

void TestHost::cachedUsers_data()
{
    QTest::addColumn<bool>("serviceRuns");
    QTest::addColumn<QString>("parameters");
    QTest::addColumn<QStringList>("users");
    QTest::newRow("two users in order") << true << R"({"users": [[1001, "bob"], [1000, "alice"]]})"
                                        << QStringList{"bob", "alice"};
    QTest::newRow("nameless user left out") << true << R"({"users": [[1000, "alice"], [1005, ""], [1002, "李四"]]})"
                                            << QStringList{"alice", QString::fromUtf8("李四")};
    QTest::newRow("no users") << true << R"({"users": []})" << QStringList();
    QTest::newRow("no service") << false << "" << QStringList();
}

void TestHost::cachedUsers()
{
    QFETCH(bool, serviceRuns);
    QFETCH(QString, parameters);
    QFETCH(QStringList, users);

    QScopedPointer<DBusMock> accounts;
    if (serviceRuns) {
        accounts.reset(DBusMock::fromTemplate(TestEnv::simDir() + "/accountsservice.py", DBusMock::SystemBus,
                                              parameters));
        QVERIFY(accounts->isRunning());
    }
    if (users.contains("alice"))
        QTest::ignoreMessage(QtInfoMsg, "path= /org/freedesktop/Accounts/User1000 uid: 1000 name: alice");
    QCOMPARE(Utils::getCachedUsers(), users);
}

void TestHost::token_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("uuid text") << true << QByteArray("3f2b6c1e-9a7d-4e55-b0c1-7d2e9f00aa11\n");
    QTest::newRow("binary content") << true << QByteArray("a\0b\xff", 4);
    QTest::newRow("empty file") << true << QByteArray();
    QTest::newRow("no file") << false << QByteArray();
}

void TestHost::token()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    TestEnv::TempRoot root;
    if (exists)
        root.writeFile("/usr/share/kiv-domain-client/salt/uuid.txt", content);
    const QString expected = exists ? QString(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())
                                    : QString();
    QCOMPARE(Utils::get_token(), expected);
    if (exists && content.isEmpty())
        QCOMPARE(Utils::get_token(), QString("d41d8cd98f00b204e9800998ecf8427e"));
}

QTEST_MAIN(TestHost)
#include "tst_host.moc"

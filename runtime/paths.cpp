#include "paths.h"

#include <QDir>

namespace {
QString &rootPrefix()
{
    static QString prefix;
    return prefix;
}
}  // namespace

namespace Paths {

void setRoot(const QString &root) { rootPrefix() = root; }
QString root() { return rootPrefix(); }
QString under(const QString &fixedPath) { return rootPrefix() + fixedPath; }

QString logFile() { return under("/var/log/kiv-domain-client/kiv-domain-session-agent.log"); }
QString clientDir() { return under("/usr/share/kiv-domain-client"); }
QString configIni() { return clientDir() + "/salt/config.ini"; }
QString uuidFile() { return clientDir() + "/salt/uuid.txt"; }
QString tasksDir() { return clientDir() + "/tasks/"; }
QString translationsDir() { return clientDir() + "/translations"; }
QString clientProgram() { return clientDir() + "/kiv-domain-client"; }
QString usbScript() { return clientDir() + "/usb/log-usb.sh"; }
QString usbStatus() { return clientDir() + "/usb/usbstatus"; }
QString vncLaunchScript() { return clientDir() + "/remote-assist/launch_x11vnc.sh"; }
QString vncStopScript() { return clientDir() + "/remote-assist/stop_x11vnc.sh"; }
QString osRelease() { return under("/etc/os-release"); }
QString kivInfo() { return under("/etc/kiv/info"); }
QString procCmdline() { return under("/proc/cmdline"); }
QString firewallConfig() { return under("/etc/kiv-security/qoroconfig.xml"); }
QString rootMountPointFile() { return under("/tmp/rootMountPoint"); }

QString runtimeDir()
{
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return dir.isEmpty() ? QDir::tempPath() : dir;
}

QString bootIdFile() { return "/proc/sys/kernel/random/boot_id"; }

}  // namespace Paths

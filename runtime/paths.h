#pragma once

#include <QString>

// Every fixed path of the client in one place. Production code never changes the root;
// only tests move all paths under a temporary folder with setRoot().
namespace Paths {

void setRoot(const QString &root);  // test seam: "" restores the real file system
QString root();
QString under(const QString &fixedPath);  // root() + fixedPath

QString logFile();             // /var/log/kiv-domain-client/kiv-domain-session-agent.log
QString clientDir();           // /usr/share/kiv-domain-client
QString configIni();           // .../salt/config.ini
QString uuidFile();            // .../salt/uuid.txt
QString tasksDir();            // .../tasks/ (with its final slash)
QString translationsDir();     // .../translations (the dialogs' catalogues)
QString clientProgram();       // .../kiv-domain-client
QString usbScript();           // .../usb/log-usb.sh
QString usbStatus();           // .../usb/usbstatus
QString vncLaunchScript();     // .../remote-assist/launch_x11vnc.sh
QString vncStopScript();       // .../remote-assist/stop_x11vnc.sh
QString osRelease();           // /etc/os-release
QString kivInfo();             // /etc/kiv/info
QString procCmdline();         // /proc/cmdline
QString firewallConfig();      // /etc/kiv-security/qoroconfig.xml
QString rootMountPointFile();  // /tmp/rootMountPoint

// The user's runtime folder ($XDG_RUNTIME_DIR; the temporary folder when the session has none):
// what the agent keeps there lasts as long as the user's log-in, across restarts of the agent.
QString runtimeDir();
QString bootIdFile();  // /proc/sys/kernel/random/boot_id: one id per boot of the machine

}  // namespace Paths

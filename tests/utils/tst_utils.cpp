// The client's shared helpers over the fixture's root: configuration, host facts, commands, service probes, desktop
// lock-down (read back with `gsettings`). Programs they run are stand-ins on PATH or bound over the real ones.
#include <QtTest>

#include <QGSettings/QGSettings>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "fixture.h"
#include "paths.h"
#include "utils.h"

using Probe = std::function<QString()>;
Q_DECLARE_METATYPE(Probe)

namespace {
const int LimitMs = 15000;  // the command time limit here
const QString Ini = TestEnv::ConfigIni;
const char *const MediaKeys = "org.qoro.settings-daemon.plugins.media-keys";
const char *const Workspaces = "org.qoro.desktop.wm.keybindings";
const char *const ShowDesktop = "org.gnome.desktop.wm.keybindings";

// Texts, numbers and truth values as they are; list items joined by "|".
QString text(const QVariant &v) { return v.type() == QVariant::StringList ? v.toStringList().join('|') : v.toString(); }
QString text(const CmdResult &result) { return text(result.ok) + " " + result.output; }
QString text(const Utils::OSInfo &info) { return QString("%1 %2 %3").arg(info.osType).arg(info.majorVersion).arg(info.id); }
template <typename T> QString text(QCoro::Task<T> &task) { return text(QCoro::waitFor(task)); }
// The answers of a row's calls, made in their order (a braced list is evaluated left to right).
struct Texts {
    template <typename... T> Texts(T &&...values) : joined(QStringList{text(values)...}.join(' ')) {}
    QString joined;
};
#define PROBE(...) Probe([] { return Texts{__VA_ARGS__}.joined; })

// A value as another program reads it from the configuration file.
QString stored(const QString &key)
{
    QSettings settings(Paths::configIni(), QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    return settings.value(key).toString();
}

QString gsettings(const char *schema, const char *key)
{
    return TestEnv::runCommand("gsettings", {"get", schema, key}).output.trimmed();
}
}  // namespace

class TestUtils : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCOMPARE(Utils::commandTimeLimitMs(), 120000);
        Utils::setCommandTimeLimitMs(LimitMs);
        QVERIFY2(unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0,
                 "needs root for a mount namespace of its own");
        m_fixture.reset(new Fixture(Fixture::Systemd | Fixture::Accounts | Fixture::DesktopShell, true));
        m_fixture->systemd().mock("/org/freedesktop/systemd1", "AddMockUnit", {"ssh.service"});
        for (const QVariantList &user : QList<QVariantList>{{1001ull, "bob"}, {1005ull, ""}, {1002ull, "李四"}})
            m_fixture->accounts().mock("/org/freedesktop/Accounts", "AddUser", user);
        TestEnv::prependPath(m_bin.path());
        // Meant for the agent alone: the commands it runs never see them.
        qputenv("QT_BEARER_POLL_TIMEOUT", "2147483647");
        qputenv("DESKTOP_AUTOSTART_ID", "autostart-42");
    }

    void cleanup() { QVERIFY(m_fixture->standInsAlive()); }

    void probes_data()
    {
        QTest::addColumn<QString>("file");  // the row's fixed file, written by hand
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("command");  // a stand-in program: a name or an absolute path
        QTest::addColumn<QString>("script");   // its script; empty: a file that cannot run
        QTest::addColumn<Probe>("probe");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const Probe &probe, const QString &expected, const QString &file = {},
                            const QByteArray &content = {}, const QString &command = {}, const QString &script = {}) {
            QTest::newRow(name) << file << content << command << script << probe << expected;
        };

        // ---- the configuration store
        row("no configuration: fallbacks, some written back",
            PROBE(Utils::get_domain_type(), Utils::get_hostname(), QFile::exists(Paths::configIni()), Utils::get_ldap_timeout(),
                  Utils::get_krb5_auth_timeout(), stored("init/ldap_timeout"), stored("init/krb5_auth_timeout")),
            "2 " + QSysInfo::machineHostName() + " false 30 0 30 ");
        row("values out of range", PROBE(Utils::get_domain_type(), Utils::get_heartbeat(), Utils::get_krb5_auth_timeout()),
            "2 10 30", Ini, "[init]\ndomain_type=abc\nheartbeat=-5\nkrb5_auth_timeout=-1\n");
        row("exact flags, flags in any case, loose flags",
            PROBE(Utils::isInDomain(), Utils::use_security_center(), Utils::get_check_DNS(), Utils::get_dyndns_update(),
                  Utils::get_optimize_login()),
            "false true false false true", Ini, "[init]\nadd_domain_success=True\ncheck_DNS=FALSE\ndyndns_update=0\n"
            "optimize_login=yes\n[uniteauth]\nuse_security_center=True\n");
        row("lists with an empty item", PROBE(Utils::get_policy_items(), Utils::get_auto_add_domain_area()), "a||b x||y",
            Ini, "[policy]\nitems=a,,b\n[style]\nauto_add_domain_area=\"x,,y\"\n");
        row("unquoted text with a comma", PROBE(Utils::get_auth_type()), "ldap,sms", Ini, "[uniteauth]\nauth_type=ldap,sms\n");
        row("automatic update switched on for the next call",
            PROBE(Utils::get_auto_update_client(), stored("init/auto_update_client"), Utils::get_auto_update_client()),
            "false true true", Ini, "[init]\nauto_update_client=\n");
        row("a write keeps the UTF-8 text of other keys", Probe([] {
                Utils::set_hostname("研发部-01");
                return Texts{stored("init/hostname"), stored("init/domain_name"), Utils::get_server_domain()}.joined;
            }), "研发部-01 华东区 华东区", Ini, "[init]\ndomain_name=华东区\n");
        row("a file the user may not write is left as it is", Probe([] {
                QFile::setPermissions(Paths::configIni(), QFileDevice::ReadOwner | QFileDevice::ReadOther);
                seteuid(65534);  // root may write any file
                Utils::set_domain_type(5);
                seteuid(0);
                return Texts{Utils::get_domain_type(), stored("init/domain_type")}.joined;
            }), "3 3", Ini, "[init]\ndomain_type=3\n");
        row("join marker line", PROBE(Utils::hasAddedDomain()), "true", Ini, "[init]\n;add_domain_success=true\n");
        row("plain key is no join marker", PROBE(Utils::hasAddedDomain()), "false", Ini, "[init]\nadd_domain_success=true\n");

        // ---- host facts; the OS record is kept once recognised, so these three rows keep their order
        row("os-release of another system", PROBE(Utils::getOSInfo()), "0 4 debian", "/etc/os-release",
            "NAME_EN=Debian\nVERSION_ID=\"4.0\"\nID=debian\nNAME_EN=KIVDesktop=\n");
        row("os-release of the client's system", PROBE(Utils::getOSInfo()), "1 5 kiv", "/etc/os-release", Kiv5Release);
        row("os-release changed later", PROBE(Utils::getOSInfo()), "1 5 kiv", "/etc/os-release", "ID=debian\n");
        row("host facts: a longer key, quotes, blanks",
            PROBE(Utils::get_file_field(Paths::kivInfo(), "MACHINE"), Utils::get_file_field(Paths::kivInfo(), "AREA")),
            "THIN north east", "/etc/kiv/info", "MACHINE_TYPE=x86\nMACHINE=\"THIN\"\nAREA=  north   east \n");
        row("thin terminal by its system", PROBE(Utils::isThinTerminal()), "true", "/etc/os-release", "FEATURE_NAME=thin\n");
        row("live system", PROBE(Utils::isLivecd()), "true", "/proc/cmdline", "BOOT_IMAGE=/live/vmlinuz boot=live quiet\n");
        row("physical machine", PROBE(Utils::isVirtual()), "false", {}, {}, "/usr/bin/systemd-detect-virt", "echo none; exit 1");
        row("no answer counts as virtual", PROBE(Utils::isVirtual()), "true", {}, {}, "/usr/bin/systemd-detect-virt", "exit 1");
        row("machine ids, serial not specified", PROBE(Utils::getUuid(), Utils::getSn()), "u-1 0000", {}, {}, "dmidecode",
            "[ \"$2\" = system-uuid ] && echo u-1 || echo 'Not Specified'");
        row("disk holding the root", PROBE(Utils::getDiskSerial()), "S2", {}, {}, "lsblk",
            R"(echo '{"blockdevices": [{"serial": "S1", "children": [{"mountpoint": "/data"}]},
                                       {"serial": "S2", "children": [{"mountpoint": "/"}]}]}')");
        row("root disk without serial: its uuid", PROBE(Utils::getDiskSerial()), "U-9", {}, {}, "lsblk",
            R"(echo '{"blockdevices": [{"serial": null, "mountpoint": "/", "uuid": "U-9"}]}')");
        row("server edition: the disk of /boot", PROBE(Utils::getDiskSerial()), "S1", "/etc/os-release",
            "PRETTY_NAME=\"KIV Server 5\"\n", "lsblk", R"(echo '{"blockdevices": [{"serial": "S1", "mountpoint": "/boot"}]}')");
        row("log-in name from the home folder", Probe([] {
                qputenv("HOME", "/home/CORP/bob.smith");  // read by nothing else here
                seteuid(1000);
                const auto backToRoot = qScopeGuard([] { seteuid(0); });
                return QCoro::waitFor(Utils::getLoginName());
            }), "bob.smith");
        row("log-in name of display :0, not of a log-in time holding :0", PROBE(Utils::getLoginName()), "alice", {}, {},
            "/usr/bin/who", "printf 'carol pts/0 2024-05-01 09:05 (10.0.0.9)\\nalice :0 2024-05-01 08:00 (:0)\\n'");
        row("cached users in order, nameless ones left out", PROBE(Utils::getCachedUsers()), "bob|李四");
        row("token", PROBE(Utils::get_token()), "900150983cd24fb0d6963f7d28e17f72", "/usr/share/kiv-domain-client/salt/uuid.txt",
            "abc");

        // ---- the command runner and service probes
        row("commands: two lines up to a zero byte, errors apart; a failure; a script file; an unknown mode runs nothing",
            PROBE(Utils::exec_cmd("echo one$QT_BEARER_POLL_TIMEOUT$DESKTOP_AUTOSTART_ID; printf 'ab\\0cd'; echo e >&2", 0), Utils::exec_cmd("exit 3", 0),
                  Utils::exec_cmd(Paths::under("/tmp/job.sh"), 1), Utils::exec_cmd("echo never", 2)),
            "true one\nab false  true from script\n false ", "/tmp/job.sh", "echo from script\n");
        row("no shell", PROBE(Utils::exec_cmd("echo never", 0)), "false ", {}, {}, "/bin/bash", "");
        // Events are served while a command runs; one that never ends is killed with what it started.
        row("a command that never ends", Probe([] {
                const QString flag = Paths::under("/tmp/flag");
                QTimer::singleShot(100, [flag] { QFile(flag).open(QIODevice::WriteOnly); });
                Utils::setCommandTimeLimitMs(1500);
                const CmdResult result = QCoro::waitFor(Utils::exec_cmd(
                    "sleep 600 & echo $!; until [ -e " + flag + " ]; do sleep 0.02; done; echo seen; wait", 0));
                Utils::setCommandTimeLimitMs(LimitMs);
                const qint64 child = result.output.section('\n', 0, 0).toLongLong();
                const bool ended = TestEnv::waitFor([child] {  // gone, or a zombie left for its parent
                    QFile stat(QString("/proc/%1/stat").arg(child));
                    return !stat.open(QIODevice::ReadOnly) || stat.readAll().split(')').last().startsWith(" Z");
                }, 5000);
                return Texts{result.ok, result.output.section('\n', 1), child > 0 && ended}.joined;
            }), "false seen\n true");
        const QString firewallFile = "/etc/kiv-security/qoroconfig.xml";
        const Probe firewall = [] {
            int level = 7, enable = 8;
            Utils::get_firewall_status(level, enable);
            return Texts{level, enable}.joined;
        };
        row("firewall: the last bases element, its level missing", firewall, "0 0", firewallFile,
            "<root><bases enable=\"1\" level=\"1\"/><other enable=\"9\"/><bases enable=\"0\"/></root>");
        row("firewall: another root element", firewall, "7 8", firewallFile, "<config><bases enable=\"1\"/></config>");
        row("SSH unit started", Probe([this] {
                QCoro::waitFor(Utils::start_systemd_unit("ssh.service"));
                const QVariantList call = m_fixture->systemd().callsOf("/org/freedesktop/systemd1", "StartUnit").value(0);
                return text(QVariant(call).toStringList());
            }), "ssh.service|replace");

        // ---- the desktop lock-down; the binding to put back is the one before the first lock-down
        const auto desktop = [this] {  // what the lock-down touches, as `gsettings` and the desktop shell see it
            QStringList taskView;
            for (const auto &args : m_fixture->desktopShell().callsOf("/org/freedesktop/Desktop", "AppSwitcherSetEnable"))
                taskView << text(args.value(0).toBool());
            return Texts{gsettings(MediaKeys, "terminal"), gsettings(Workspaces, "switch-to-workspace-right"),
                         gsettings(Workspaces, "switch-to-workspace-left"), gsettings(ShowDesktop, "show-desktop"),
                         stored("style/taskview_key"), taskView}.joined;
        };
        row("locked down, then lifted", Probe([desktop] {
                QGSettings(MediaKeys).set("terminal", "<Super>t");
                QGSettings(Workspaces).set("switch-to-workspace-left", QStringList{"<Super>Left"});
                QGSettings(ShowDesktop).set("show-desktop", QStringList{"<Super>d", "<Alt>d"});
                Utils::handleForceFullScreen(false, false);
                const QString locked = desktop();
                Utils::handleForceFullScreen(true, false);
                return locked + " / " + desktop();
            }), "'[]' @as [] ['<Super>Left'] @as [] <Super>d,<Alt>d false / "
                "'<Primary><Alt>t' ['<Primary><Alt>Right'] ['<Super>Left'] ['<Super>d', '<Alt>d'] <Super>d,<Alt>d false|true");
        row("lifted at log-in: the saved bindings", Probe([] {
                QGSettings(ShowDesktop).set("show-desktop", QStringList());
                Utils::resetWinKey();
                return gsettings(ShowDesktop, "show-desktop");
            }), "['<Super>s', '<Super>w']", Ini, "[style]\ntaskview_key=<Super>s,<Super>w\n");
        row("forced full screen, never on a thin terminal; kept", Probe([] {
                Utils::set_config_value("style/force_full_screen", "true");
                const bool first = QCoro::waitFor(Utils::isForceFullScreen());
                QFile::remove(Paths::kivInfo());
                return Texts{first, QCoro::waitFor(Utils::isForceFullScreen())}.joined;
            }), "false false", "/etc/kiv/info", "MACHINE=THIN\n", "/usr/bin/systemd-detect-virt", "echo none");
    }

    void probes()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, command);
        QFETCH(QString, script);
        QFETCH(Probe, probe);
        QFETCH(QString, expected);

        m_fixture->reset();
        m_fixture->root().remove(Ini);
        Utils::m_serial.clear();  // the disk's serial is kept once found
        Utils::m_serialList.clear();
        const QString standIn = m_bin.filePath(QFileInfo(command).fileName());
        const auto undo = qScopeGuard([&] {  // undone after the row, whatever its outcome
            if (command.startsWith('/'))
                umount2(QFile::encodeName(command), MNT_DETACH);
            QFile::remove(standIn);
            m_fixture->root().remove(file);
        });
        if (file == Ini)
            m_fixture->root().writeConfig(content);
        else if (!file.isEmpty())
            m_fixture->root().writeFile(file, content);
        if (!command.isEmpty())
            TestEnv::writeFakeCommand(m_bin.path(), QFileInfo(command).fileName(), script);
        if (!command.isEmpty() && script.isEmpty())
            QVERIFY(QFile::setPermissions(standIn, QFileDevice::ReadOwner));  // a file that cannot run
        if (command.startsWith('/'))
            QCOMPARE(mount(QFile::encodeName(standIn), QFile::encodeName(command), nullptr, MS_BIND, nullptr), 0);
        const QDeadlineTimer halfLimit(LimitMs / 2);  // no row waits out the command time limit
        QCOMPARE(probe(), expected);
        QVERIFY(!halfLimit.hasExpired());
    }

private:
    std::unique_ptr<Fixture> m_fixture;
    QTemporaryDir m_bin;
};

QTEST_MAIN(TestUtils)
#include "tst_utils.moc"

// The client configuration store on a real INI file under a temporary root: defaults and
// write-backs of the key table, flag rules, hand-written lists, outside changes and a file
// the session user may not write.
#include <QtTest>

#include <QHostInfo>
#include <QSettings>

#include <functional>
#include <unistd.h>

#include "paths.h"
#include "testenv.h"
#include "utils.h"

using Getter = std::function<QVariant()>;
using Setter = std::function<void()>;
Q_DECLARE_METATYPE(Getter)
Q_DECLARE_METATYPE(Setter)

namespace {
const QString ConfigFile = "/usr/share/kiv-domain-client/salt/config.ini";

// What another program (or an administrator's editor) would read from the UTF-8 file.
QVariant storedOutside(const TestEnv::TempRoot &root, const QString &key)
{
    QSettings outside(root.path(ConfigFile), QSettings::IniFormat);
    outside.setIniCodec("UTF-8");
    return outside.value(key);
}

Getter text(QString (*getter)()) { return [getter] { return QVariant(getter()); }; }
Getter number(int (*getter)()) { return [getter] { return QVariant(getter()); }; }
Getter flag(bool (*getter)()) { return [getter] { return QVariant(getter()); }; }
Getter list(QStringList (*getter)()) { return [getter] { return QVariant(getter()); }; }
}  // namespace

class TestConfig : public QObject
{
    Q_OBJECT

private slots:
    void defaultsWithoutFile_data();
    void defaultsWithoutFile();
    void storedValues_data();
    void storedValues();
    void settersWriteText_data();
    void settersWriteText();
    void autoUpdateClientSwitchesOnForTheNextCall();
    void smsSwitchIsLogged();
    void rawValueAndPresence();
    void outsideChangeIsSeenAtNextRead();
    void unwritableFileIsSilent();
    void hasAddedDomainCountsTheMarkerLine_data();
    void hasAddedDomainCountsTheMarkerLine();
};

void TestConfig::defaultsWithoutFile_data()
{
    QTest::addColumn<Getter>("getter");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QString>("writtenKey");  // empty: nothing may be written
    QTest::addColumn<QString>("writtenText");

    QTest::newRow("domain type") << number(Utils::get_domain_type) << QVariant(2) << "" << "";
    QTest::newRow("heartbeat") << number(Utils::get_heartbeat) << QVariant(10) << "" << "";
    QTest::newRow("add-domain timeout") << number(Utils::get_add_domain_timeout) << QVariant(60) << "" << "";
    QTest::newRow("ldap timeout") << number(Utils::get_ldap_timeout) << QVariant(30) << "init/ldap_timeout" << "30";
    QTest::newRow("events record timeout")
        << number(Utils::get_events_record_timeout) << QVariant(15) << "init/events_record_timeout" << "15";
    QTest::newRow("krb5 timeout") << number(Utils::get_krb5_auth_timeout) << QVariant(0) << "" << "";
    QTest::newRow("idle delay") << number(Utils::get_policy_idleDelay) << QVariant(60) << "policy/idleDelay" << "60";
    QTest::newRow("policy items") << list(Utils::get_policy_items) << QVariant(QStringList()) << "" << "";
    QTest::newRow("host name") << text(Utils::get_hostname) << QVariant(QHostInfo::localHostName()) << "" << "";
    QTest::newRow("server ip") << text(Utils::get_server_ip) << QVariant(QString()) << "" << "";
    QTest::newRow("server port") << text(Utils::get_server_port) << QVariant(QString()) << "" << "";
    QTest::newRow("debug level") << number(Utils::get_debug_level) << QVariant(0) << "" << "";
    QTest::newRow("in domain") << flag(Utils::isInDomain) << QVariant(false) << "" << "";
    QTest::newRow("security center") << flag(Utils::use_security_center) << QVariant(false) << "" << "";
    QTest::newRow("check DNS") << flag(Utils::get_check_DNS) << QVariant(false) << "" << "";
    QTest::newRow("sms switch") << flag(Utils::get_sms_switch) << QVariant(false) << "" << "";
    QTest::newRow("user prefix") << text(Utils::get_user_prefix) << QVariant(QString()) << "" << "";
    QTest::newRow("this login time") << text(Utils::get_this_login_time) << QVariant(QString()) << "" << "";
}

void TestConfig::defaultsWithoutFile()
{
    QFETCH(Getter, getter);
    QFETCH(QVariant, expected);
    QFETCH(QString, writtenKey);
    QFETCH(QString, writtenText);

    TestEnv::TempRoot root;
    QCOMPARE(getter(), expected);
    if (writtenKey.isEmpty()) {
        QVERIFY2(!root.exists(ConfigFile), root.readFile(ConfigFile).constData());
    } else {
        QCOMPARE(storedOutside(root, writtenKey).toString(), writtenText);
        QCOMPARE(getter(), expected);  // and the stored default reads back the same
    }
}

void TestConfig::storedValues_data()
{
    QTest::addColumn<QByteArray>("file");  // written by hand, as another program would
    QTest::addColumn<Getter>("getter");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QString>("writtenKey");
    QTest::addColumn<QString>("writtenText");

    const auto row = [](const char *name, const QByteArray &file, const Getter &getter, const QVariant &expected,
                        const QString &key = QString(), const QString &written = QString()) {
        QTest::newRow(name) << file << getter << expected << key << written;
    };
    // Exact flags.
    row("in domain: true", "[init]\nadd_domain_success=true\n", flag(Utils::isInDomain), true);
    row("in domain: True is not true", "[init]\nadd_domain_success=True\n", flag(Utils::isInDomain), false);
    row("sms: TRUE is not true", "[uniteauth]\nsms_switch=TRUE\n", flag(Utils::get_sms_switch), false);
    row("auto hostname: true", "[uniteauth]\nauto_hostname_switch=true\n", flag(Utils::get_auto_hostname_switch), true);
    row("edit hostname: yes", "[uniteauth]\nedit_hostname_switch=yes\n", flag(Utils::get_edit_hostname_switch), false);
    // Flags in any case.
    row("security center: True", "[uniteauth]\nuse_security_center=True\n", flag(Utils::use_security_center), true);
    row("repeat: TRUE", "[init]\nauto_add_domain_repeat=TRUE\n", flag(Utils::auto_add_domain_repeat), true);
    row("repeat: 1", "[init]\nauto_add_domain_repeat=1\n", flag(Utils::auto_add_domain_repeat), false);
    // Loose flags.
    row("check DNS: FALSE", "[init]\ncheck_DNS=FALSE\n", flag(Utils::get_check_DNS), false);
    row("check DNS: 0", "[init]\ncheck_DNS=0\n", flag(Utils::get_check_DNS), false);
    row("check DNS: yes", "[init]\ncheck_DNS=yes\n", flag(Utils::get_check_DNS), true);
    row("check DNS: empty", "[init]\ncheck_DNS=\n", flag(Utils::get_check_DNS), false);
    row("dyndns: 00", "[init]\ndyndns_update=00\n", flag(Utils::get_dyndns_update), true);
    row("optimize login: off,on", "[init]\noptimize_login=off,on\n", flag(Utils::get_optimize_login), true);
    // Integers with a fallback.
    row("domain type 0", "[init]\ndomain_type=0\n", number(Utils::get_domain_type), 2);
    row("domain type text", "[init]\ndomain_type=abc\n", number(Utils::get_domain_type), 2);
    row("domain type 3", "[init]\ndomain_type=3\n", number(Utils::get_domain_type), 3);
    row("heartbeat -5", "[init]\nheartbeat=-5\n", number(Utils::get_heartbeat), 10);
    row("heartbeat 30", "[init]\nheartbeat=30\n", number(Utils::get_heartbeat), 30);
    row("add-domain timeout 0", "[uniteauth]\nadd_domain_timeout=0\n", number(Utils::get_add_domain_timeout), 60);
    row("debug level 3", "[init]\ndebug_level=3\n", number(Utils::get_debug_level), 3);
    // Integers with a stored default.
    row("krb5 -1 stores 30", "[init]\nkrb5_auth_timeout=-1\n", number(Utils::get_krb5_auth_timeout), 30,
        "init/krb5_auth_timeout", "30");
    row("krb5 5", "[init]\nkrb5_auth_timeout=5\n", number(Utils::get_krb5_auth_timeout), 5,
        "init/krb5_auth_timeout", "5");
    row("events record 0 stores 15", "[init]\nevents_record_timeout=0\n", number(Utils::get_events_record_timeout),
        15, "init/events_record_timeout", "15");
    row("events record -3 unchanged", "[init]\nevents_record_timeout=-3\n",
        number(Utils::get_events_record_timeout), -3, "init/events_record_timeout", "-3");
    row("ldap -1 stores 30", "[init]\nldap_timeout=-1\n", number(Utils::get_ldap_timeout), 30, "init/ldap_timeout",
        "30");
    row("ldap 45", "[init]\nldap_timeout=45\n", number(Utils::get_ldap_timeout), 45, "init/ldap_timeout", "45");
    row("idle delay present but empty", "[policy]\nidleDelay=\n", number(Utils::get_policy_idleDelay), 0,
        "policy/idleDelay", "");
    row("idle delay 300", "[policy]\nidleDelay=300\n", number(Utils::get_policy_idleDelay), 300);
    // Lists: present empty, empty items, and an unquoted list written by another program.
    row("items present but empty", "[policy]\nitems=\n", list(Utils::get_policy_items), QStringList{""});
    row("items a,,b", "[policy]\nitems=a,,b\n", list(Utils::get_policy_items), QStringList{"a", "", "b"});
    row("items unquoted a,b", "[policy]\nitems=wallpaper,idleDelay\n", list(Utils::get_policy_items),
        QStringList{"wallpaper", "idleDelay"});
    row("items quoted", "[policy]\nitems=\"wallpaper,usb\"\n", list(Utils::get_policy_items),
        QStringList{"wallpaper", "usb"});
    row("items single", "[policy]\nitems=wallpaper\n", list(Utils::get_policy_items), QStringList{"wallpaper"});
    // Texts.
    row("server ip", "[init]\nip_port=10.0.0.5:8000\n", text(Utils::get_server_ip), "10.0.0.5");
    row("server port", "[init]\nip_port=10.0.0.5:8000\n", text(Utils::get_server_port), "8000");
    row("server port without colon", "[init]\nip_port=10.0.0.5\n", text(Utils::get_server_port), "");
    row("server ip of an empty value", "[init]\nip_port=\n", text(Utils::get_server_ip), "");
    row("ip port text", "[init]\nip_port=server.example:80\n", text(Utils::get_ip_port), "server.example:80");
    row("configured host name", "[init]\nhostname=pc-0815\n", text(Utils::get_hostname), "pc-0815");
    row("empty host name", "[init]\nhostname=\n", text(Utils::get_hostname), QHostInfo::localHostName());
    row("unquoted text with a comma", "[uniteauth]\nauth_type=ldap,sms\n", text(Utils::get_auth_type), "ldap,sms");
    row("domain name", "[init]\ndomain_name=corp.example\n", text(Utils::get_server_domain), "corp.example");
    row("utf-8 user name", "[init]\nusername=\"张三\"\n", text(Utils::get_username), QString::fromUtf8("张三"));
}

void TestConfig::storedValues()
{
    QFETCH(QByteArray, file);
    QFETCH(Getter, getter);
    QFETCH(QVariant, expected);
    QFETCH(QString, writtenKey);
    QFETCH(QString, writtenText);

    TestEnv::TempRoot root;
    root.writeFile(ConfigFile, file);
    QCOMPARE(getter(), expected);
    if (!writtenKey.isEmpty())
        QCOMPARE(storedOutside(root, writtenKey).toString(), writtenText);
    else
        QCOMPARE(root.readFile(ConfigFile), file);  // a pure read leaves the file as it was
}

void TestConfig::settersWriteText_data()
{
    QTest::addColumn<Setter>("set");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<Getter>("getter");

    QTest::newRow("domain type") << Setter([] { Utils::set_domain_type(3); }) << "init/domain_type"
                                 << "3" << number(Utils::get_domain_type);
    QTest::newRow("hostname") << Setter([] { Utils::set_hostname("pc-01"); }) << "init/hostname"
                              << "pc-01" << text(Utils::get_hostname);
    QTest::newRow("auto update false")
        << Setter([] { Utils::set_auto_update_client(false); }) << "init/auto_update_client" << "false"
        << flag(Utils::get_auto_update_client);
    QTest::newRow("sms true") << Setter([] { Utils::set_sms_switch(true); }) << "uniteauth/sms_switch"
                              << "true" << flag(Utils::get_sms_switch);
    QTest::newRow("idle delay") << Setter([] { Utils::set_policy_idleDelay(900); })
                                << "policy/idleDelay" << "900" << number(Utils::get_policy_idleDelay);
    QTest::newRow("add-domain timeout") << Setter([] { Utils::set_add_domain_timeout(-4); })
                                        << "uniteauth/add_domain_timeout" << "-4"
                                        << number(Utils::get_add_domain_timeout);
    QTest::newRow("ip port") << Setter([] { Utils::set_ip_port("10.1.2.3:8080"); }) << "init/ip_port"
                             << "10.1.2.3:8080" << text(Utils::get_server_ip);
    QTest::newRow("text with a comma") << Setter([] { Utils::set_verify_code("a,b"); })
                                       << "uniteauth/verify_code" << "a,b" << text(Utils::get_verify_code);
    QTest::newRow("login time") << Setter([] { Utils::set_this_login_time("2024-05-01 08:00:00"); })
                                << "init/this_login_time" << "2024-05-01 08:00:00"
                                << text(Utils::get_this_login_time);
    QTest::newRow("utf-8 host name") << Setter([] { Utils::set_hostname(QString::fromUtf8("研发部-01")); })
                                     << "init/hostname" << QString::fromUtf8("研发部-01") << text(Utils::get_hostname);
}

void TestConfig::settersWriteText()
{
    QFETCH(Setter, set);
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(Getter, getter);

    TestEnv::TempRoot root;
    // Values that another program wrote in plain UTF-8 survive a write of another key.
    root.writeFile(ConfigFile, "[init]\nusername=kept\ndomain_name=华东区\n[uniteauth]\nauth_type=\"统一认证\"\n");
    set();
    QCOMPARE(storedOutside(root, key).toString(), text);
    QCOMPARE(storedOutside(root, "init/username").toString(), QString("kept"));
    QCOMPARE(Utils::get_server_domain(), QString::fromUtf8("华东区"));
    QCOMPARE(Utils::get_auth_type(), QString::fromUtf8("统一认证"));
    const QVariant readBack = getter();
    if (key == "init/ip_port")
        QCOMPARE(readBack.toString(), QString("10.1.2.3"));
    else if (key == "uniteauth/add_domain_timeout")
        QCOMPARE(readBack.toInt(), 60);  // stored as given, read with the fallback
    else
        QCOMPARE(readBack.toString(), text);
}

void TestConfig::autoUpdateClientSwitchesOnForTheNextCall()
{
    TestEnv::TempRoot root;
    root.writeFile(ConfigFile, "[init]\nauto_update_client=\n");
    QTest::ignoreMessage(QtInfoMsg, "get_auto_update_client: ");
    QCOMPARE(Utils::get_auto_update_client(), false);
    QCOMPARE(storedOutside(root, "init/auto_update_client").toString(), QString("true"));
    QTest::ignoreMessage(QtInfoMsg, "get_auto_update_client: true");
    QCOMPARE(Utils::get_auto_update_client(), true);

    root.writeFile(ConfigFile, "[init]\nauto_update_client=TRUE,\n");
    QTest::ignoreMessage(QtInfoMsg, "get_auto_update_client: TRUE,");
    QCOMPARE(Utils::get_auto_update_client(), false);
    QCOMPARE(root.readFile(ConfigFile), QByteArray("[init]\nauto_update_client=TRUE,\n"));
}

void TestConfig::smsSwitchIsLogged()
{
    TestEnv::TempRoot root;
    root.writeFile(ConfigFile, "[uniteauth]\nsms_switch=true\n");
    QTest::ignoreMessage(QtInfoMsg, "get_sms_switch: value true");
    QVERIFY(Utils::get_sms_switch());
}

void TestConfig::rawValueAndPresence()
{
    TestEnv::TempRoot root;
    root.writeFile(ConfigFile, "[style]\ntimeout=12\nempty=\ntaskview_key=<Super>s,<Super>w\n");
    QCOMPARE(Utils::get_config_value("style/timeout").toInt(), 12);
    QVERIFY(Utils::get_config_value("style/missing").isNull());
    QVERIFY(Utils::contains("style/empty"));
    QVERIFY(!Utils::contains("style/missing"));
    QCOMPARE(Utils::get_config_value("style/empty").toString(), QString(""));
    // A list written by another program reads as the text it was written as.
    QCOMPARE(Utils::get_config_value("style/taskview_key").toString(), QString("<Super>s,<Super>w"));

    Utils::set_config_value("style/timeout", "7");
    QCOMPARE(Utils::get_config_value("style/timeout").toString(), QString("7"));
    QCOMPARE(Utils::get_config_value("style/taskview_key").toString(), QString("<Super>s,<Super>w"));
}

void TestConfig::outsideChangeIsSeenAtNextRead()
{
    TestEnv::TempRoot root;
    root.writeFile(ConfigFile, "[init]\ndomain_type=1\n");
    QCOMPARE(Utils::get_domain_type(), 1);

    QProcess editor;  // another program rewrites the file behind the agent's back
    editor.start("/bin/sh", {"-c", "printf '[init]\\ndomain_type=3\\nhostname=edited-by-admin\\n' > \"$0\"",
                             root.path(ConfigFile)});
    QVERIFY(editor.waitForFinished(10000));
    QCOMPARE(Utils::get_domain_type(), 3);
    QCOMPARE(Utils::get_hostname(), QString("edited-by-admin"));

    root.remove(ConfigFile);
    QCOMPARE(Utils::get_domain_type(), 2);
}

void TestConfig::unwritableFileIsSilent()
{
    TestEnv::TempRoot root;
    root.writeFile(ConfigFile, "[init]\ndomain_type=3\n");
    QFile::setPermissions(root.path(ConfigFile), QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);

    // Root may write any file: act as an ordinary session user for the writes.
    const bool asRoot = geteuid() == 0;
    if (asRoot)
        QCOMPARE(seteuid(65534), 0);
    Utils::set_domain_type(5);
    const int ldap = Utils::get_ldap_timeout();  // its write-back is lost too
    if (asRoot)
        QCOMPARE(seteuid(0), 0);

    QCOMPARE(ldap, 30);
    QCOMPARE(Utils::get_domain_type(), 3);
    QCOMPARE(root.readFile(ConfigFile), QByteArray("[init]\ndomain_type=3\n"));
}

void TestConfig::hasAddedDomainCountsTheMarkerLine_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("expected");
    QTest::newRow("no file") << QByteArray() << false;
    QTest::newRow("marker line") << QByteArray("[init]\n;add_domain_success=true\n") << true;
    QTest::newRow("two marker lines") << QByteArray(";add_domain_success=true\n;add_domain_success=true\n") << true;
    QTest::newRow("plain key is not the marker") << QByteArray("[init]\nadd_domain_success=true\n") << false;
    QTest::newRow("marker false") << QByteArray("[init]\n;add_domain_success=false\n") << false;
}

void TestConfig::hasAddedDomainCountsTheMarkerLine()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, expected);
    TestEnv::TempRoot root;
    if (!file.isEmpty())
        root.writeFile(ConfigFile, file);
    QCOMPARE(Utils::hasAddedDomain(), expected);
}

QTEST_MAIN(TestConfig)
#include "tst_config.moc"

#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

struct CmdResult {
    bool ok = false;
    QString output;
};

// Static helpers shared by every part of the client. The implementation is split by area:
// utils_config.cpp (configuration store), utils_command.cpp (commands and service probes),
// utils_host.cpp (host identity and OS facts), utils_cipher.cpp (string encryption),
// utils_lockdown.cpp (desktop lock-down), utils_server.cpp (domain-server probes).
//
// Helpers that ask a command, the domain server or a system service are awaited (QCoro tasks):
// the agent's one thread serves events while they wait. Their reference out-parameters are
// written before the task ends: await the task before reading them.
class Utils
{
public:
    Utils() = delete;

    struct OSInfo {
        int osType = 0;
        int majorVersion = 0;
        QString id;
    };

    // ---- logging switch
    static bool isWriteLog();

    // ---- configuration store
    static QVariant get_config_value(QString key);
    static void set_config_value(QString key, QString value);
    static bool contains(QString key);

    static QString get_hostname();
    static void set_hostname(QString value);
    static QString get_ip_port();
    static void set_ip_port(QString value);
    static QString get_server_ip();
    static QString get_server_port();
    static QString get_username();
    static void set_username(QString value);
    static int get_domain_type();
    static void set_domain_type(int value);
    static QString get_server_domain();
    static bool get_auto_update_client();
    static void set_auto_update_client(bool value);
    static QString get_last_login_time();
    static void set_last_login_time(QString value);
    static QString get_this_login_time();
    static void set_this_login_time(QString value);
    static bool auto_add_domain_repeat();
    static bool isInDomain();
    static QCoro::Task<bool> hasAddedDomain();
    static int get_heartbeat();
    static int get_debug_level();
    static bool get_check_DNS();
    static int get_krb5_auth_timeout();
    static int get_events_record_timeout();
    static int get_ldap_timeout();
    static bool get_dyndns_update();
    static bool get_optimize_login();
    static QString get_user_prefix();
    static void set_user_prefix(QString value);
    static int get_add_domain_timeout();
    static void set_add_domain_timeout(int value);
    static QString get_auth_type();
    static void set_auth_type(QString value);
    static bool get_auto_hostname_switch();
    static void set_auto_hostname_switch(bool value);
    static bool get_sms_switch();
    static void set_sms_switch(bool value);
    static bool get_edit_hostname_switch();
    static void set_edit_hostname_switch(bool value);
    static QString get_verify_code();
    static void set_verify_code(QString value);
    static bool use_security_center();
    static QStringList get_policy_items();
    static int get_policy_idleDelay();
    static void set_policy_idleDelay(int value);

    // ---- string encryption with the client's fixed key
    static QString encryptSM4(QString text);
    static QString decryptSm4(QString hex);

    // ---- host identity and OS facts
    static OSInfo getOSInfo();
    static QString get_file_field(QString path, QString key);
    static bool isThinTerminal();
    static bool isLivecd();
    static QCoro::Task<bool> isVirtual();
    static QCoro::Task<QString> getUuid();
    static QCoro::Task<QString> getSn();
    static QCoro::Task<QString> getDiskSerial();
    static QString rescureSerial(QJsonObject device, QString &serial);
    static QString findSerial(QJsonObject device, QString &serial);
    static QCoro::Task<QString> read_mountpoint_path();
    static QCoro::Task<QString> read_ip_address();
    static QCoro::Task<QString> get_using_mac();
    static QCoro::Task<QString> getLoginName();
    static QCoro::Task<QStringList> getCachedUsers();
    static QString get_token();

    static QString m_serial;
    static QStringList m_serialList;

    // ---- desktop lock-down
    static QCoro::Task<bool> isForceFullScreen();
    static void handleForceFullScreen(bool enable, bool login);
    static void setTerminalEnable(bool enable);
    static void setWorkSpaceEnable(bool enable);
    static void setWinKeyEnable(bool enable);
    static void resetWinKey();
    static QStringList get_auto_add_domain_area();

    // ---- domain-server probes
    static QCoro::Task<QByteArray> ping_domain_server_result(QString server);
    static QCoro::Task<bool> ping_domain_server(QString server);
    static QCoro::Task<QMap<QString, QString>> get_add_domain_rules(QString server, bool &online);
    static QCoro::Task<int> checkHostnameValid(QString server, QString hostname, QString &domainName, QString &msg);
    static QCoro::Task<QString> getRepoClientVersion(QString osVersion);
    static QCoro::Task<QString> get_client_version();
    static QCoro::Task<bool> compare_version(QString left, QString right, QString op);
    static QCoro::Task<bool> check_add_domain_state();

    // ---- command runner and service probes
    static QCoro::Task<CmdResult> exec_cmd(QString cmd, int mode);
    static bool isProcessExisted(QString name);
    static bool isSelfProcessExisted(QString name);
    static QCoro::Task<> start_systemd_unit(QString unit);
    static void initUsb();
    static QCoro::Task<QString> get_ssh_status();
    static QCoro::Task<QString> get_usb_status();
    static void get_firewall_status(int &level, int &enable);

    // A command that never ends is killed after this many milliseconds, so that it cannot hold
    // the agent's only thread for ever.
    static int commandTimeLimitMs();
    static void setCommandTimeLimitMs(int ms);

private:
    // A value of an INI file read afresh; invalid when absent. A list (an unquoted value that
    // holds a comma) comes back as the text it was stored as.
    static QVariant ini_value(const QString &file, const QString &key, const char *codec = nullptr);
    // The stored text of a configuration key; empty when the key is absent.
    static QString config_text(const QString &key);

    // One program run to its end, or killed at its own limit (NoOwnLimit: none) or at the
    // command time limit, whichever comes first.
    struct ProgramRun {
        bool finished = false;  // ended by itself within the limit
        int exitCode = -1;
        QByteArray output;
        QByteArray errorOutput;
    };
    static constexpr int NoOwnLimit = -1;
    static constexpr int ProbeLimitMs = 30000;
    static QCoro::Task<ProgramRun> run_program(QString program, QStringList arguments, int timeoutMs);
};

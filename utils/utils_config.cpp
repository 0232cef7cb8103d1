// The client configuration store: one INI file, opened and closed on every access so that a
// change made by another process is seen at the next read.
#include <QHostInfo>
#include <QSettings>
#include <QtDebug>

#include "log.h"
#include "paths.h"
#include "utils.h"

namespace {
// "Loose" flags: false for empty text, the digit 0 or the word false in any case.
bool looseFlag(const QString &text)
{
    const QString lower = text.toLower();
    return !(lower.isEmpty() || lower == "0" || lower == "false");
}

QString flagText(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

// The configuration file is UTF-8 text, written by hand or by other programs of the client.
// Every access reads it as UTF-8, writes included: a write rewrites the whole file, and a write
// that read it in another codec would turn the non-ASCII values of every other key into
// mojibake. QSettings' own escapes read the same in any codec.
const char *const ConfigCodec = "UTF-8";
}  // namespace

QVariant Utils::ini_value(const QString &file, const QString &key, const char *codec)
{
    QSettings settings(file, QSettings::IniFormat);
    if (codec)
        settings.setIniCodec(codec);
    const QVariant value = settings.value(key);
    // Every value is stored as text; an unquoted value holding a comma (a list written by
    // another program) comes back from QSettings as a list and must read as the same text.
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(',');
    return value;
}

QVariant Utils::get_config_value(QString key) { return ini_value(Paths::configIni(), key, ConfigCodec); }

void Utils::set_config_value(QString key, QString value)
{
    QSettings settings(Paths::configIni(), QSettings::IniFormat);
    settings.setIniCodec(ConfigCodec);
    // QSettings keeps a change it could not store, shows it to every later reader of the file
    // in this process and writes it whenever it next can: a change the file cannot take is
    // not made at all.
    if (!settings.isWritable()) {
        Log::GetInstance()->SaveFileLog(LOG_WARN, "%s: %s is not writable, %s not stored", "set_config_value",
                                        settings.fileName().toUtf8().constData(), key.toUtf8().constData());
        return;
    }
    settings.setValue(key, value);
}

bool Utils::contains(QString key)
{
    QSettings settings(Paths::configIni(), QSettings::IniFormat);
    settings.setIniCodec(ConfigCodec);
    return settings.contains(key);
}

QString Utils::config_text(const QString &key) { return get_config_value(key).toString(); }

// ---- init

QString Utils::get_hostname()
{
    const QString name = config_text("init/hostname");
    return name.isEmpty() ? QHostInfo::localHostName() : name;
}

void Utils::set_hostname(QString value) { set_config_value("init/hostname", value); }

QString Utils::get_ip_port() { return config_text("init/ip_port"); }

void Utils::set_ip_port(QString value) { set_config_value("init/ip_port", value); }

QString Utils::get_server_ip() { return get_ip_port().split(':').value(0); }

// An address without a colon has no port: the answer is then empty.
QString Utils::get_server_port() { return get_ip_port().split(':').value(1); }

QString Utils::get_username() { return config_text("init/username"); }

void Utils::set_username(QString value) { set_config_value("init/username", value); }

int Utils::get_domain_type()
{
    const int type = get_config_value("init/domain_type").toInt();
    return type < 1 ? 2 : type;
}

void Utils::set_domain_type(int value) { set_config_value("init/domain_type", QString::number(value)); }

QString Utils::get_server_domain() { return config_text("init/domain_name"); }

bool Utils::get_auto_update_client()
{
    const QString text = config_text("init/auto_update_client");
    // A missing value switches automatic updates on from the next call.
    if (text.isEmpty())
        set_auto_update_client(true);
    qInfo().noquote() << "get_auto_update_client: " + text;
    return text == "true";
}

void Utils::set_auto_update_client(bool value) { set_config_value("init/auto_update_client", flagText(value)); }

QString Utils::get_last_login_time() { return config_text("init/last_login_time"); }

void Utils::set_last_login_time(QString value) { set_config_value("init/last_login_time", value); }

QString Utils::get_this_login_time() { return config_text("init/this_login_time"); }

void Utils::set_this_login_time(QString value) { set_config_value("init/this_login_time", value); }

bool Utils::auto_add_domain_repeat() { return config_text("init/auto_add_domain_repeat").toLower() == "true"; }

bool Utils::isInDomain() { return config_text("init/add_domain_success") == "true"; }

QCoro::Task<bool> Utils::hasAddedDomain()
{
    // The pattern holds the leading semicolon of the line that the join writes.
    const QString command = QString("grep ';add_domain_success=true' -c %1").arg(Paths::configIni());
    const QStringList arguments{"-c", command};
    const ProgramRun run = co_await run_program("bash", arguments, NoOwnLimit);
    co_return QString::fromLatin1(run.output).trimmed().toInt() > 0;
}

int Utils::get_heartbeat()
{
    const int seconds = get_config_value("init/heartbeat").toInt();
    return seconds < 1 ? 10 : seconds;
}

int Utils::get_debug_level() { return get_config_value("init/debug_level").toInt(); }

bool Utils::get_check_DNS() { return looseFlag(config_text("init/check_DNS")); }

int Utils::get_krb5_auth_timeout()
{
    const int value = get_config_value("init/krb5_auth_timeout").toInt();
    if (value < 0) {
        set_config_value("init/krb5_auth_timeout", "30");
        return 30;
    }
    return value;
}

int Utils::get_events_record_timeout()
{
    const int value = get_config_value("init/events_record_timeout").toInt();
    if (value == 0) {
        set_config_value("init/events_record_timeout", "15");
        return 15;
    }
    return value;
}

int Utils::get_ldap_timeout()
{
    const int value = get_config_value("init/ldap_timeout").toInt();
    if (value <= 0) {
        set_config_value("init/ldap_timeout", "30");
        return 30;
    }
    return value;
}

bool Utils::get_dyndns_update() { return looseFlag(config_text("init/dyndns_update")); }

bool Utils::get_optimize_login() { return looseFlag(config_text("init/optimize_login")); }

// ---- uniteauth

QString Utils::get_user_prefix() { return config_text("uniteauth/user_name_prefix"); }

void Utils::set_user_prefix(QString value) { set_config_value("uniteauth/user_name_prefix", value); }

int Utils::get_add_domain_timeout()
{
    const int seconds = get_config_value("uniteauth/add_domain_timeout").toInt();
    return seconds < 1 ? 60 : seconds;
}

void Utils::set_add_domain_timeout(int value)
{
    set_config_value("uniteauth/add_domain_timeout", QString::number(value));
}

QString Utils::get_auth_type() { return config_text("uniteauth/auth_type"); }

void Utils::set_auth_type(QString value) { set_config_value("uniteauth/auth_type", value); }

bool Utils::get_auto_hostname_switch() { return config_text("uniteauth/auto_hostname_switch") == "true"; }

void Utils::set_auto_hostname_switch(bool value)
{
    set_config_value("uniteauth/auto_hostname_switch", flagText(value));
}

bool Utils::get_sms_switch()
{
    const bool value = config_text("uniteauth/sms_switch") == "true";
    qInfo().noquote() << "get_sms_switch: value " + flagText(value);
    return value;
}

void Utils::set_sms_switch(bool value) { set_config_value("uniteauth/sms_switch", flagText(value)); }

bool Utils::get_edit_hostname_switch() { return config_text("uniteauth/edit_hostname_switch") == "true"; }

void Utils::set_edit_hostname_switch(bool value)
{
    set_config_value("uniteauth/edit_hostname_switch", flagText(value));
}

QString Utils::get_verify_code() { return config_text("uniteauth/verify_code"); }

void Utils::set_verify_code(QString value) { set_config_value("uniteauth/verify_code", value); }

bool Utils::use_security_center() { return config_text("uniteauth/use_security_center").toLower() == "true"; }

// ---- policy: these two keys are tested for presence, not for emptiness

QStringList Utils::get_policy_items()
{
    if (!contains("policy/items"))
        return QStringList();
    return config_text("policy/items").split(',');
}

int Utils::get_policy_idleDelay()
{
    if (!contains("policy/idleDelay")) {
        set_policy_idleDelay(60);
        return 60;
    }
    return get_config_value("policy/idleDelay").toInt();
}

void Utils::set_policy_idleDelay(int value) { set_config_value("policy/idleDelay", QString::number(value)); }

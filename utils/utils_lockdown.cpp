// Desktop lock-down: on a machine configured for forced full-screen use the desktop's escape
// routes (terminal shortcut, workspace switching, show-desktop, task view) are switched off,
// and switched on again at log-in or before a power action.

#include <QGSettings/QGSettings>
#include <QtDebug>

#include "domaindbusinterface.h"
#include "settingsguard.h"
#include "utils.h"

namespace {
const char *const ClientSchema = "com.kiv.domain";
const char *const MediaKeysSchema = "org.qoro.settings-daemon.plugins.media-keys";
const char *const WorkspaceSchema = "org.qoro.desktop.wm.keybindings";
const char *const ShowDesktopSchema = "org.gnome.desktop.wm.keybindings";

const char *const ForceFullScreenKey = "force-full-screen";
const char *const AutoAddDomainAreaKey = "auto-add-domain-area";
const char *const TerminalKey = "terminal";
const char *const ShowDesktopKey = "show-desktop";
const QStringList WorkspaceKeys{"switch-to-workspace-right", "switch-to-workspace-up", "switch-to-workspace-down"};

const char *const ForceFullScreenConfig = "style/force_full_screen";
const char *const TaskviewConfig = "style/taskview_key";
const char *const AutoAddDomainAreaConfig = "style/auto_add_domain_area";

const char *boolText(bool value) { return value ? "true" : "false"; }

// A settings value or configuration value as one text; a list (a binding list in GSettings, or
// an unquoted INI value with commas) is joined with ",", the separator that restoring splits at.
QString valueText(const QVariant &value)
{
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(",");
    return value.toString();
}

QString configText(const char *key) { return valueText(Utils::get_config_value(key)); }

// A remembered binding text back as a list: split at every ",", empty parts kept; no text at
// all is no binding (an empty list, not a list holding one empty binding).
QStringList bindingList(const QString &text) { return text.isEmpty() ? QStringList() : text.split(","); }

}  // namespace

QCoro::Task<bool> Utils::isForceFullScreen()
{
    static int forceFlag = -1;
    if (forceFlag != -1)
        co_return forceFlag != 0;

    // The configuration's loose flag: empty, "0" or "false" in any case is false.
    bool fullScreen = QVariant(configText(ForceFullScreenConfig)).toBool();
    if (SettingsGuard::schemaInstalled(ClientSchema)) {
        qDebug() << "isForceFullScreen" << "isSchemaInstalled: ";
        if (auto settings = SettingsGuard::open(ClientSchema, {ForceFullScreenKey}, "isForceFullScreen"))
            fullScreen = settings->get(ForceFullScreenKey).toBool();
    }

    // Virtual machines, live systems and thin terminals are never locked down.
    bool lockable = fullScreen;
    if (lockable) {
        const bool virtualMachine = co_await isVirtual();
        lockable = !virtualMachine;
    }
    lockable = lockable && !isLivecd() && !isThinTerminal();
    // Another caller may have settled the answer while this one waited: the first answer stays.
    if (forceFlag == -1)
        forceFlag = lockable ? 1 : 0;
    qInfo() << "isForceFullScreen" << " full_screen && !isVirtual() && !isLivecd(): " << forceFlag;
    co_return forceFlag != 0;
}

void Utils::handleForceFullScreen(bool enable, bool login)
{
    qInfo().noquote().nospace() << "handleForceFullScreen, enable value:" << boolText(enable)
                                << ", login value:" << boolText(login);
    if (login)
        resetWinKey();
    else
        setWinKeyEnable(enable);
    setWorkSpaceEnable(enable);
    setTerminalEnable(enable);
    dbus::instance()->setTaskViewVisible(enable);
}

void Utils::setTerminalEnable(bool enable)
{
    auto settings = SettingsGuard::open(MediaKeysSchema, {TerminalKey}, "setTerminalEnable");
    if (!settings)
        return;
    if (enable)
        settings->reset(TerminalKey);
    else
        settings->set(TerminalKey, QString("[]"));
    qInfo().noquote().nospace() << "setTerminalEnable get terminal result: " << valueText(settings->get(TerminalKey))
                                << ", enable: " << boolText(enable);
}

void Utils::setWorkSpaceEnable(bool enable)
{
    auto settings = SettingsGuard::open(WorkspaceSchema, WorkspaceKeys, "setWorkSpaceEnable");
    if (!settings)
        return;
    for (const QString &key : WorkspaceKeys) {
        if (enable)
            settings->reset(key);
        else
            settings->set(key, QStringList());
    }
    qInfo().noquote().nospace() << "setWorkSpaceEnable enable: " << boolText(enable);
}

void Utils::setWinKeyEnable(bool enable)
{
    auto settings = SettingsGuard::open(ShowDesktopSchema, {ShowDesktopKey}, "setWinKeyEnable");
    if (!settings)
        return;
    // The binding the desktop had before this process first touched it.
    static const QString show_desktop = valueText(settings->get(ShowDesktopKey));
    qDebug().noquote().nospace() << "setWinKeyEnable enable: " << boolText(enable) << " default: " << show_desktop;

    settings->set(ShowDesktopKey, enable ? bindingList(show_desktop) : QStringList());
    qDebug().noquote().nospace() << "setWinKeyEnable get show-desktop result: "
                                 << valueText(settings->get(ShowDesktopKey));

    if (!enable) {
        // Kept for the next log-in, when resetWinKey puts it back even after a crash.
        set_config_value(TaskviewConfig, show_desktop);
        qDebug().noquote().nospace() << "setWinKeyEnable set taskview_key: " << show_desktop;
    }
}

void Utils::resetWinKey()
{
    const QString saved = configText(TaskviewConfig);
    if (saved.isEmpty())
        return;
    auto settings = SettingsGuard::open(ShowDesktopSchema, {ShowDesktopKey}, "resetWinKey");
    if (!settings)
        return;
    if (valueText(settings->get(ShowDesktopKey)) == saved)
        return;
    const QStringList bindings = bindingList(saved);
    settings->set(ShowDesktopKey, bindings);
    qInfo() << "reset show-desktop: " << bindings;
}

QStringList Utils::get_auto_add_domain_area()
{
    QStringList areas;
    const QString configured = configText(AutoAddDomainAreaConfig);
    if (!configured.isEmpty())
        areas = configured.split(",");
    if (SettingsGuard::schemaInstalled(ClientSchema)) {
        if (auto settings = SettingsGuard::open(ClientSchema, {AutoAddDomainAreaKey}, "get_auto_add_domain_area"))
            areas = settings->get(AutoAddDomainAreaKey).toStringList();
    }
    return areas;
}

#pragma once

#include <QCoroTask>
#include <QDBusAbstractInterface>
#include <QDBusContext>
#include <QString>

#include "remote_assist_system_dbus.h"

// Remote assistance: web-set commands from the domain server start or stop the VNC server of
// the user's display, and after a start the address of the desktop goes back to the daemon.
class RemoteAssist : public QDBusAbstractInterface, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.domain.remoteassist")

public:
    explicit RemoteAssist(QObject *parent = nullptr);

    bool isAllowed();

    // A launch or stop script is waited for this long; it may keep running afterwards (the
    // launch script can stay in the foreground as the VNC server).
    static constexpr int ScriptWaitMs = 30000;

public slots:
    void debugTogle();
    void receiveWebset(QString sn, QString data);

private:
    void requestRemoteAssist(const QString &data);
    void requestDisconnectBeforeconnected(const QString &data);
    void requestDisconnect(const QString &data);
    void requestSwitch(const QString &data);
    void requestUpdateRules(const QString &data);
    void sendRemoteAssistResult();
    void sendDisconnectResult();
    // Runs a launch or stop script and, after a launch, tells the server where the desktop is.
    QCoro::Task<> runScript(QString script, bool started);

    bool m_debug = false;
    Remote_Assist_System_Dbus m_system;
};

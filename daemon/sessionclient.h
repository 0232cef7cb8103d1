#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QList>
#include <QPair>
#include <QObject>
#include <QString>

// The agent as a client of the desktop's session manager ("org.gnome.SessionManager" on the
// connection given). Registered, it is started again by the manager when it dies during the
// session; in return it must answer the end of the session at once, or the log-out waits on it.
// The answer never waits for anything else the agent is doing, and at the end of the session
// the agent quits with status 0. Without a session manager, or refused by it, the agent runs on.
class SessionClient : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    explicit SessionClient(const QDBusConnection &bus, QObject *parent = nullptr);

    // appId: the name of the agent's autostart entry; the startup id is the one the manager
    // handed to the agent it started (DESKTOP_AUTOSTART_ID), empty when something else did.
    void registerClient(const QString &appId);
    // The session has ended for the agent. Its end can arrive while the agent's start-up still
    // waits for a peer, before the event loop runs, where quitting the loop does nothing: the
    // start-up asks this before it runs the loop.
    bool ended() const { return m_ended; }

private slots:
    void QueryEndSession(uint flags);
    void EndSession(uint flags);
    void Stop();

private:
    enum class Signal { QueryEndSession, EndSession, Stop };
    void received(Signal signal);
    void act(Signal signal);
    void respond(bool thenQuit, const char *why);
    void quit(const char *why);

    QDBusConnection m_bus;
    QString m_clientPath;
    bool m_registering = false;
    QList<QPair<QString, Signal>> m_early;  // object path and signal, while the registration is answered
    bool m_ended = false;
};

#include "sessionclient.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <utility>

#include "log.h"

namespace {
const char *const Manager = "org.gnome.SessionManager";
const char *const ManagerPath = "/org/gnome/SessionManager";
const char *const ClientInterface = "org.gnome.SessionManager.ClientPrivate";
constexpr int RegisterLimitMs = 10000;
// The manager gives a client about a second before it counts it as not responding.
constexpr int ResponseLimitMs = 1000;
}  // namespace

SessionClient::SessionClient(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
}

void SessionClient::registerClient(const QString &appId)
{
    // The manager's signals may follow its answer at once: listen before asking. Only the
    // manager's own signals count, and only those for this client's object.
    m_bus.connect(Manager, QString(), ClientInterface, "QueryEndSession", this, SLOT(QueryEndSession(uint)));
    m_bus.connect(Manager, QString(), ClientInterface, "EndSession", this, SLOT(EndSession(uint)));
    m_bus.connect(Manager, QString(), ClientInterface, "Stop", this, SLOT(Stop()));

    QDBusMessage call = QDBusMessage::createMethodCall(Manager, ManagerPath, Manager, "RegisterClient");
    call.setArguments({appId, QString::fromLocal8Bit(qgetenv("DESKTOP_AUTOSTART_ID"))});
    m_registering = true;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, RegisterLimitMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        m_registering = false;
        const QList<QPair<QString, Signal>> early = std::exchange(m_early, {});
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (reply.isError()) {
            Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: not registered with the session manager, running on: %s",
                                            "SessionClient", reply.error().message().toUtf8().constData());
            return;
        }
        m_clientPath = reply.value().path();
        Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: registered with the session manager as %s", "SessionClient",
                                        m_clientPath.toUtf8().constData());
        for (const auto &[path, signal] : early) {
            if (path == m_clientPath)
                act(signal);
        }
    });
}

// A signal to the client's object can be handled before the answer that names the object (the
// answer takes a longer road through Qt than the signal): it is kept until the answer is in.
void SessionClient::received(Signal signal)
{
    if (m_registering)
        m_early.append({message().path(), signal});
    else if (!m_clientPath.isEmpty() && message().path() == m_clientPath)
        act(signal);
}

void SessionClient::act(Signal signal)
{
    switch (signal) {
    case Signal::QueryEndSession:
        respond(false, nullptr);
        break;
    case Signal::EndSession:
        respond(true, "the session ends");
        break;
    case Signal::Stop:
        quit("the session manager stops the agent");
        break;
    }
}

void SessionClient::QueryEndSession(uint) { received(Signal::QueryEndSession); }
void SessionClient::EndSession(uint) { received(Signal::EndSession); }
void SessionClient::Stop() { received(Signal::Stop); }

// The agent never holds the end of the session. At its end the answer is sent before the agent
// quits, so that the manager need not wait for it to time out.
void SessionClient::respond(bool thenQuit, const char *why)
{
    QDBusMessage answer = QDBusMessage::createMethodCall(Manager, m_clientPath, ClientInterface, "EndSessionResponse");
    answer.setArguments({true, QString()});
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(answer, ResponseLimitMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, thenQuit, why] {
        watcher->deleteLater();
        if (thenQuit)
            quit(why);
    });
}

void SessionClient::quit(const char *why)
{
    Log::GetInstance()->SaveFileLog(LOG_INFO, "%s: %s, quitting", "SessionClient", why);
    m_ended = true;
    QCoreApplication::exit(0);
}

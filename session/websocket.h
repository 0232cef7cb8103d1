#pragma once

#include <QObject>

// The session's heartbeat: on domain types 1 and 3 the daemon is handed a web-set message
// naming the terminal and the session user every 60 seconds, for the domain server.
class WebSocket : public QObject
{
    Q_OBJECT

public:
    explicit WebSocket(QObject *parent = nullptr);

    static constexpr int HeartbeatIntervalMs = 60000;

private slots:
    void onHeartbeatTimeout();
};

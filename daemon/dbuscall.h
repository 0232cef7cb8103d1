#pragma once

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>

// One D-Bus method call, awaited: the agent's thread serves events while the peer thinks. The
// reply is the peer's answer, or an error message when the peer refused, is absent or did not
// answer within limitMs (-1: the bus default of 25 s), or when the agent quits meanwhile.
QCoro::Task<QDBusMessage> awaitCall(QDBusConnection bus, QDBusMessage call, int limitMs = -1);
// The same for a call already made.
QCoro::Task<QDBusMessage> awaitPending(QDBusPendingCall pending);

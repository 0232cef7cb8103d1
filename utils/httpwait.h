#pragma once

#include <QCoroTask>

class QNetworkReply;

// Every request to the domain server is awaited, never waited for: the agent's one thread goes
// on serving the user, timers, signals and callers while the server thinks. The wait is bounded:
// a server that accepts and never answers must not hold the operation for ever.
//
// True when the reply finished within limitMs. On expiry the reply is aborted (its error()
// becomes QNetworkReply::OperationCanceledError) and the answer is false. The caller keeps the
// reply (and its manager) alive until this returns.
QCoro::Task<bool> awaitReply(QNetworkReply *reply, int limitMs);

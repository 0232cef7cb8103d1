#pragma once

class QNetworkReply;

// Every request to the domain server waits for its reply in a local event loop that keeps
// serving timers, D-Bus calls and other replies (user input excluded), so the agent's one thread
// is never stuck. The wait is bounded: a server that accepts and never answers must not hold it.
//
// Returns true when the reply finished within limitMs. On expiry the reply is aborted at once
// (its error() becomes QNetworkReply::OperationCanceledError) and false is returned. The abort
// happens when the limit runs out, even while a handler runs nested inside this wait, so that a
// nested wait for the same reply ends too.
bool waitForReply(QNetworkReply *reply, int limitMs);

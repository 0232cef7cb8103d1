#pragma once

class QDBusPendingCallWatcher;
class QNetworkReply;
class QProcess;

// The exchanges, D-Bus calls and commands the agent is awaiting. When the application quits,
// whatever still runs is ended (a reply aborted, a D-Bus call given up, a command's process group
// killed), so that every operation waiting on one resumes, sees its failure and unwinds instead
// of staying suspended.
namespace InFlight {

void track(QNetworkReply *reply);
void track(QProcess *process);
// Given up at quit: its watcher reports finished while the call is not.
void track(QDBusPendingCallWatcher *call);
// True once the application has begun to quit: an operation that resumes then starts nothing new.
bool stopping();

}  // namespace InFlight

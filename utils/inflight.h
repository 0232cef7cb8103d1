#pragma once

class QNetworkReply;
class QProcess;

// The exchanges and commands the agent is awaiting. When the application quits, whatever still
// runs is ended (a reply aborted, a command's process group killed), so that every operation
// waiting on one resumes, sees its failure and unwinds instead of staying suspended.
namespace InFlight {

void track(QNetworkReply *reply);
void track(QProcess *process);
// True once the application has begun to quit: an operation that resumes then starts nothing new.
bool stopping();

}  // namespace InFlight

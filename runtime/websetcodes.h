#pragma once

// Codes ("sn") of the web-set messages exchanged with the domain server through the daemon.

#include <QSet>
#include <QString>

static const QSet<QString> RemoteAssistSet = {"9-8-1", "9-8-2", "9-8-3", "9-8-4", "9-8-5", "9-8-6", "10-1-1"};
static const QSet<QString> RemoteAssistSetSession = {"9-8-2", "9-8-3", "9-8-4", "9-8-5", "9-8-6", "10-1-1"};
static const QSet<QString> NotifySet = {"9-8-7"};
static const QSet<QString> PatchSet = {"9-6-6", "9-6-7", "9-6-2", "9-5-6", "9-5-7"};

static const QString HeartbeatCode = QStringLiteral("9-1-1");
static const QString RemoteAssistReplyCode = QStringLiteral("9-9-8");

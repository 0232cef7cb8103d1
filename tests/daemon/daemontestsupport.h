#pragma once

// The stand-in daemon for the fault programs that do not use the fixture yet.

#include <memory>

#include "dbusmock.h"
#include "testenv.h"

namespace DaemonTest {

using TestEnv::AgentInterface;
using TestEnv::AgentPath;

inline std::unique_ptr<DBusMock> startDaemon(const QString &parametersJson = QString())
{
    return std::unique_ptr<DBusMock>(DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py",
                                                            DBusMock::SystemBus, parametersJson));
}

}  // namespace DaemonTest

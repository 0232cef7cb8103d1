#pragma once

#include <QProcessEnvironment>

// The environment of the programs the agent starts: the agent's own, less what was meant for the
// agent alone (the bearer poll interval it sets for itself, the startup id the session manager
// gave it, which would make a child pass for the agent when it registers).
QProcessEnvironment childEnvironment();

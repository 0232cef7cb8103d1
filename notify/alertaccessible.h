#pragma once

class QWidget;

// The agent's windows appear unasked over the user's work. A screen reader announces such a
// window when it shows only if the window says it is an alert: its name is the window's title,
// its description the message it carries (the window's accessible description).
namespace AlertAccessible {

// Makes the window an alert for screen readers; call it before the window first shows.
void expose(QWidget *window);
// Announces the shown window again, with its present description: for a message that changes
// while the window stays (the reboot count-down at a few moments before its end).
void announce(QWidget *window);

}  // namespace AlertAccessible

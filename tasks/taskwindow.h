#pragma once

class QWidget;

// The look shared by the task dialogs: a frameless tool window that stays above the others,
// placed on the desktop and cut to rounded corners.
namespace TaskWindow {

enum Placement {
    TopCentre,  // centred horizontally, 10 px below the top of the desktop
    Centre,     // centred on the desktop
};

void shape(QWidget *window, Placement placement);

}  // namespace TaskWindow

#pragma once

#include <QHash>
#include <QMargins>
#include <QObject>
#include <QSize>

#include "popupplacement.h"

class QWidget;

// The look shared by the task dialogs: a frameless window that stays above the others, cut to
// rounded corners and kept on the primary screen. The form's size is the least size: the
// window grows where its texts need more room (a long task name, a large font) and stays within
// the screen's available area, where the texts wrap instead. A child of the window.
class TaskWindow : public QObject
{
    Q_OBJECT

public:
    // content: the form's one child that holds the dialog's widgets in its layout. title names
    // the window for the window manager and screen readers, which announce the window as an
    // alert when it shows; closeButton ("X") is named for screen readers and answers the Escape
    // key.
    TaskWindow(QWidget *window, QWidget *content, QWidget *closeButton, const QString &title,
               PopupPlacement::Position position);

    // Sizes the window to show the whole content with its present texts, then places it again.
    void fit();
    // Fits and shows the window without taking the keyboard from the user's work. The window
    // manager's window cycle reaches it; there the keyboard starts on safeChoice, Tab and
    // Shift+Tab go round the buttons, Enter, the keypad's Enter and Space press the one that has
    // the focus.
    void present(QWidget *safeChoice);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct FormSize {
        QSize minimum;
        QSize maximum;
        bool wordWrap = false;
    };
    void giveTextsTheirWidth(bool squeezed);

    QWidget *m_window;
    QWidget *m_content;
    PopupPlacement *m_placement;
    QSize m_formSize;
    QMargins m_margins;  // the content's distance from the window's edges
    QHash<QWidget *, FormSize> m_formSizes;
};

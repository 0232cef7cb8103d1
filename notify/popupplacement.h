#pragma once

#include <QMetaObject>
#include <QObject>
#include <QRect>

class QScreen;
class QWidget;

// Where one of the agent's popups stands: on the primary screen's available area (the screen
// less the desktop's panels), centred at its top or in its middle. The popup is placed again
// when its size changes and when the screens change (another primary screen, a new geometry or
// panel, a screen added or removed). A child of the popup.
class PopupPlacement : public QObject
{
    Q_OBJECT

public:
    enum Position {
        TopCentre,  // centred horizontally, 10 px below the top of the area
        Centre,     // centred in the area
    };

    PopupPlacement(QWidget *popup, Position position);

    // The primary screen's available area; empty while there is no screen.
    static QRect availableArea();
    void place();

signals:
    // The screens changed. Sent before the popup is placed again, so that a popup whose size
    // depends on the area can size itself first.
    void areaChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void followPrimaryScreen();
    void onScreensChanged();

    QWidget *m_popup;
    Position m_position;
    QMetaObject::Connection m_geometry;
    QMetaObject::Connection m_availableGeometry;
};

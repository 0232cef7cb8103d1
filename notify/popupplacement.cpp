#include "popupplacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace {
const int TopMargin = 10;
}  // namespace

PopupPlacement::PopupPlacement(QWidget *popup, Position position)
    : QObject(popup)
    , m_popup(popup)
    , m_position(position)
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    connect(app, &QGuiApplication::primaryScreenChanged, this, &PopupPlacement::onScreensChanged);
    connect(app, &QGuiApplication::screenAdded, this, &PopupPlacement::onScreensChanged);
    connect(app, &QGuiApplication::screenRemoved, this, &PopupPlacement::onScreensChanged);
    followPrimaryScreen();
    popup->installEventFilter(this);
    place();
}

QRect PopupPlacement::availableArea()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

void PopupPlacement::place()
{
    const QRect area = availableArea();
    if (area.isEmpty())
        return;
    // A popup larger than the area keeps its top left corner on it.
    const int x = area.x() + qMax(0, (area.width() - m_popup->width()) / 2);
    const int y = m_position == TopCentre ? area.y() + TopMargin
                                          : area.y() + qMax(0, (area.height() - m_popup->height()) / 2);
    m_popup->move(x, y);
}

bool PopupPlacement::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_popup && event->type() == QEvent::Resize)
        place();
    return QObject::eventFilter(watched, event);
}

void PopupPlacement::followPrimaryScreen()
{
    disconnect(m_geometry);
    disconnect(m_availableGeometry);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    m_geometry = connect(screen, &QScreen::geometryChanged, this, &PopupPlacement::onScreensChanged);
    m_availableGeometry = connect(screen, &QScreen::availableGeometryChanged, this, &PopupPlacement::onScreensChanged);
}

void PopupPlacement::onScreensChanged()
{
    followPrimaryScreen();
    emit areaChanged();
    place();
}

#include "taskwindow.h"

#include <QApplication>
#include <QBitmap>
#include <QDesktopWidget>
#include <QPainter>
#include <QWidget>

namespace TaskWindow {

namespace {
const int CornerRadius = 6;
const int TopMargin = 10;

void applyRoundedMask(QWidget *window)
{
    QBitmap bitmap(window->size());
    bitmap.fill(Qt::color0);
    QPainter painter(&bitmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::color1);
    painter.drawRoundedRect(bitmap.rect(), CornerRadius, CornerRadius, Qt::AbsoluteSize);
    painter.end();
    window->setMask(bitmap);
}
}  // namespace

void shape(QWidget *window, Placement placement)
{
    window->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);

    const QWidget *desktop = QApplication::desktop();
    const int x = (desktop->width() - window->width()) / 2;
    const int y = placement == TopCentre ? TopMargin : (desktop->height() - window->height()) / 2;
    window->move(x, y);

    applyRoundedMask(window);
}

}  // namespace TaskWindow

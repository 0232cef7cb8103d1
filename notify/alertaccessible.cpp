#include "alertaccessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QWidget>

namespace {
const char *const AlertProperty = "_kiv_alert";

QAccessibleInterface *alertFactory(const QString &, QObject *object)
{
    auto *widget = qobject_cast<QWidget *>(object);
    if (widget && widget->isWindow() && widget->property(AlertProperty).toBool())
        return new QAccessibleWidget(widget, QAccessible::AlertMessage);
    return nullptr;
}
}  // namespace

namespace AlertAccessible {

void expose(QWidget *window)
{
    static const bool installed = [] {
        QAccessible::installFactory(alertFactory);
        return true;
    }();
    (void)installed;
    window->setProperty(AlertProperty, true);
    // Building the form may already have made the window's interface with the plain role.
    QAccessibleInterface *made = QAccessible::queryAccessibleInterface(window);
    if (made && made->role() != QAccessible::AlertMessage)
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

void announce(QWidget *window)
{
    if (!window->isVisible())
        return;
    QAccessibleEvent shown(window, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

}  // namespace AlertAccessible

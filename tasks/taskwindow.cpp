#include "taskwindow.h"

#include <QAbstractButton>
#include <QBitmap>
#include <QEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QStyle>
#include <QWidget>

#include "alertaccessible.h"

namespace {
const int CornerRadius = 6;

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

// Sizes are measured before the layout runs, so the cached sizes of nested layouts go first.
void invalidateAll(QLayout *layout)
{
    for (int i = 0; i < layout->count(); ++i) {
        if (QLayout *nested = layout->itemAt(i)->layout())
            invalidateAll(nested);
    }
    layout->invalidate();
}

bool showsText(QWidget *widget)
{
    return qobject_cast<QLabel *>(widget) || qobject_cast<QAbstractButton *>(widget);
}

// The room a text needs on one line: a label's own hint; for a button its text and the style's
// margins (the style's hint of a button asks for more than the text needs).
QSize textSize(QWidget *widget)
{
    widget->ensurePolished();
    if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        const int margin = widget->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, widget);
        const QFontMetrics metrics = button->fontMetrics();
        return QSize(metrics.horizontalAdvance(button->text()) + 2 * margin, metrics.height() + margin);
    }
    return widget->sizeHint();
}
}  // namespace

TaskWindow::TaskWindow(QWidget *window, QWidget *content, QWidget *closeButton, const QString &title,
                       PopupPlacement::Position position)
    : QObject(window)
    , m_window(window)
    , m_content(content)
    , m_formSize(window->size())
{
    // An ordinary window, so that the window manager's window cycle (Alt+Tab) and window list
    // reach it; it never takes the keyboard when it shows, so typing meant for another program
    // cannot press one of its buttons. Hiding it (also by the window manager's close) does not
    // end the agent.
    window->setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    window->setAttribute(Qt::WA_QuitOnClose, false);
    window->setWindowRole(window->objectName());
    window->setWindowTitle(title);
    AlertAccessible::expose(window);
    closeButton->setAccessibleName(tr("关闭"));
    if (auto *button = qobject_cast<QAbstractButton *>(closeButton))
        button->setShortcut(QKeySequence(Qt::Key_Escape));

    // The form may let its content reach past the window's edge; here it stays inside.
    const QRect inner = content->geometry();
    m_margins = QMargins(inner.left(), inner.top(), qMax(0, m_formSize.width() - inner.right() - 1),
                         qMax(0, m_formSize.height() - inner.bottom() - 1));
    for (QWidget *widget : content->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!showsText(widget))
            continue;
        const auto *label = qobject_cast<QLabel *>(widget);
        m_formSizes.insert(widget, {widget->minimumSize(), widget->maximumSize(), label && label->wordWrap()});
    }

    window->installEventFilter(this);
    // The dialogs fit their window when they show it. Measuring the texts loads the desktop's
    // fonts (megabytes of CJK glyph tables), which the session need not hold for a dialog that
    // never shows; a hidden window is fitted again when it next shows.
    m_placement = new PopupPlacement(window, position);
    connect(m_placement, &PopupPlacement::areaChanged, this, [this] {
        if (m_window->isVisible())
            fit();
    });
}

// Each text gets at least the room it needs on one line (a label or a button of a fixed form
// width would cut it); squeezed into a narrow screen, the labels wrap instead.
void TaskWindow::giveTextsTheirWidth(bool squeezed)
{
    for (auto it = m_formSizes.cbegin(); it != m_formSizes.cend(); ++it) {
        QWidget *widget = it.key();
        const FormSize &form = it.value();
        auto *label = qobject_cast<QLabel *>(widget);
        if (label)
            label->setWordWrap(form.wordWrap || squeezed);

        QSize minimum = form.minimum;
        QSize maximum = form.maximum;
        if (label && label->wordWrap()) {
            // A label that wraps in the form gives way first.
            if (squeezed && form.wordWrap)
                minimum.setWidth(0);
        } else {
            const QSize needed = textSize(widget);
            minimum.setWidth(qMax(minimum.width(), needed.width()));
            if (!label)
                minimum.setHeight(qMax(minimum.height(), needed.height()));
        }
        maximum = maximum.expandedTo(minimum);
        widget->setMinimumSize(minimum);
        widget->setMaximumSize(maximum);
    }
}

void TaskWindow::fit()
{
    QLayout *layout = m_content->layout();
    const QRect area = PopupPlacement::availableArea();
    const int across = m_margins.left() + m_margins.right();
    const int down = m_margins.top() + m_margins.bottom();

    giveTextsTheirWidth(false);
    invalidateAll(layout);
    int width = qMax(m_formSize.width(), across + layout->totalMinimumSize().width());
    if (!area.isEmpty() && width > area.width()) {
        giveTextsTheirWidth(true);
        invalidateAll(layout);
        width = qMax(area.width(), across + layout->totalMinimumSize().width());
    }
    const int contentWidth = width - across;
    const int contentHeight = layout->hasHeightForWidth() ? layout->totalHeightForWidth(contentWidth)
                                                          : layout->totalMinimumSize().height();
    int height = qMax(m_formSize.height(), down + contentHeight);
    if (!area.isEmpty())
        height = qMin(height, qMax(m_formSize.height(), area.height()));

    m_window->setFixedSize(width, height);
    m_content->setGeometry(m_margins.left(), m_margins.top(), contentWidth, height - down);
    // A hidden window gets its resize event only when it shows: shape and place it now.
    applyRoundedMask(m_window);
    m_placement->place();
}

void TaskWindow::present(QWidget *safeChoice)
{
    fit();
    safeChoice->setFocus();
    m_window->show();
}

bool TaskWindow::eventFilter(QObject *watched, QEvent *event)
{
    // The rounded corners follow the window's size.
    if (watched == m_window && event->type() == QEvent::Resize)
        applyRoundedMask(m_window);
    // A button outside a dialog takes only Space; Enter that it leaves reaches the window.
    if (watched == m_window && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        auto *button = qobject_cast<QAbstractButton *>(m_window->focusWidget());
        if (button && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
            button->click();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

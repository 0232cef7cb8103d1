#include "notify.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFontMetrics>
#include <QTimer>
#include <QtDebug>

#include "alertaccessible.h"
#include "logging.h"
#include "popupplacement.h"
#include "sessionmanager.h"
#include "timelimits.h"
#include "ui_notify.h"

namespace {
const uint LogoutMode = 1;  // log out without asking, as the count-down already warned the user

enum Action { Shutdown = 0, Reboot = 1 };

// The session's end is asked of the session manager without waiting for it: the notice is gone by
// the time the manager answers, so the answer is only logged.
QCoro::Task<> askSessionManager(int op)
{
    QDBusMessage reply;
    if (op == Shutdown)
        reply = co_await SessionManager::logout(QDBusConnection::sessionBus(), LogoutMode);
    else
        reply = co_await SessionManager::reboot(QDBusConnection::sessionBus());
    if (reply.type() == QDBusMessage::ErrorMessage)
        qInfo().noquote() << QString(op == Shutdown ? "call Logout error:" : "call Reboot error:") << reply.errorName()
                          << reply.errorMessage();
}

const int TextMargin = 20;  // the popup's width beyond its text

// Seconds of a notice as the popup keeps them: a negative time counts as 0, so that the popup
// goes away instead of staying until the session ends.
int noticeSeconds(int time) { return qMax(0, time); }
}  // namespace

Notify::Notify(const QString &text, int time, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Notify)
    , time(noticeSeconds(time))
{
    ui->setupUi(this);
    ui->notify_label->setText(text);
    shape(text);

    TAGGED_INFO(NOTIFY) << "data: " << text << ", time: " << this->time;

    connect(startDisplayTimer(), &QTimer::timeout, this, [this] {
        emit timeout();
        deleteLater();
    });
}

Notify::Notify(QJsonObject json, int time, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Notify)
    , time(noticeSeconds(time))
{
    ui->setupUi(this);
    if (json.contains("op"))
        op = json.value("op").toInt();
    // A count-down request may carry its own length; it governs the count-down, not the action.
    if (json.contains("display_time"))
        this->time = noticeSeconds(json.value("display_time").toInt());

    QString text;
    const int minutes = this->time / 60;
    if (op == Shutdown)
        text = tr("该终端将于%1分钟后执行关机操作，请尽快对未保存文件进行保存").arg(minutes);
    else if (op == Reboot)
        text = tr("该终端将于%1分钟后执行重启操作，请尽快对未保存文件进行保存").arg(minutes);
    ui->notify_label->setText(text);
    shape(text);

    connect(startDisplayTimer(), &QTimer::timeout, this, &Notify::onTimeout);
}

Notify::~Notify() { delete ui; }

// Style, size and place: at the top centre of the primary screen, placed again when the screens
// change.
void Notify::shape(const QString &text)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setStyleSheet("background-color:#F3F2F1; border-radius:6px;border: 3px solid #F3F2F1;");
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowRole(objectName());
    setWindowTitle(tr("通知"));
    setAccessibleDescription(text);
    AlertAccessible::expose(this);

    auto *placement = new PopupPlacement(this, PopupPlacement::TopCentre);
    connect(placement, &PopupPlacement::areaChanged, this, [this, text] { fitText(text); });
    fitText(text);
    placement->place();
}

// As wide as the text plus a margin, on one line; a text wider than the screen wraps within it,
// the popup as much taller as its lines need.
void Notify::fitText(const QString &text)
{
    const QFontMetrics metrics(ui->notify_label->font());
    const int wanted = metrics.horizontalAdvance(text) + TextMargin;
    const int room = PopupPlacement::availableArea().width();
    const bool wrap = room > 0 && wanted > room;
    ui->notify_label->setWordWrap(wrap);
    if (!wrap) {
        setFixedSize(wanted, 2 * metrics.height());
        return;
    }
    const int lines = ui->notify_label->heightForWidth(room - TextMargin);
    setFixedSize(room, lines + metrics.height());
}

// The display time, held to what a timer can run: at most about 24 days.
QTimer *Notify::startDisplayTimer()
{
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->start(secondsToTimerMs(time));
    return timer;
}

void Notify::onTimeout()
{
    emit timeout();
    if (op == Shutdown || op == Reboot)
        askSessionManager(op);
}

#include "taskrebootnotify.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>
#include <QtDebug>

#include "taskwindow.h"
#include "ui_taskrebootnotify.h"

namespace {
const int CountDownSeconds = 180;
const int TickMs = 1000;
}  // namespace

TaskRebootNotify::TaskRebootNotify(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::TaskRebootNotify)
{
    ui->setupUi(this);
    hide();
    TaskWindow::shape(this, TaskWindow::TopCentre);
}

TaskRebootNotify::~TaskRebootNotify() { delete ui; }

void TaskRebootNotify::showNotify(const QString &, const QString &)
{
    countDown();
    show();
}

void TaskRebootNotify::countDown()
{
    if (timer && timer->isActive()) {
        qWarning() << "last RebootNotify is count down";
        return;
    }
    if (timer) {
        timer->stop();
        delete timer;
    }
    seconds = CountDownSeconds;
    showSecondsLeft();

    timer = new QTimer(this);
    timer->setInterval(TickMs);
    connect(timer, &QTimer::timeout, this, &TaskRebootNotify::onTimeout);
    timer->start();
}

void TaskRebootNotify::onTimeout()
{
    --seconds;
    showSecondsLeft();
    if (seconds == 1) {
        qInfo() << "reboot timeout " << timer->interval();
        doReboot();
    }
}

void TaskRebootNotify::on_reboot_btn_released()
{
    qInfo() << "reboot now";
    doReboot();
}

void TaskRebootNotify::on_pushButton_clicked()
{
    // Only the banner goes; the reboot still comes at the end of the count.
    hide();
}

void TaskRebootNotify::doReboot()
{
    qInfo() << "doReboot";
    if (timer)
        timer->stop();
    hide();

    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                                       "org.freedesktop.login1.Manager", "Reboot");
    call << false;  // no interactive authorisation
    const QDBusMessage reply = QDBusConnection::systemBus().call(call);
    if (reply.type() == QDBusMessage::ErrorMessage)
        qInfo() << "call Reboot error:" << reply.errorName() << reply.errorMessage();
}

void TaskRebootNotify::showSecondsLeft()
{
    ui->notify_content->setText(QString("安装已完成， %1 秒后自动重启").arg(seconds));
}

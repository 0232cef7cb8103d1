#include "taskrebootnotify.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QTimer>
#include <QtDebug>

#include "alertaccessible.h"
#include "logind.h"
#include "taskwindow.h"
#include "ui_taskrebootnotify.h"

namespace {
const int CountDownSeconds = 180;
const int TickMs = 1000;
const char *const SecondsLeft = QT_TRANSLATE_NOOP("TaskRebootNotify", "安装已完成， %1 秒后自动重启");

// A screen reader hears the count-down when it starts and at these seconds left, not every second.
bool isAnnounced(int seconds) { return seconds == CountDownSeconds || seconds == 60 || seconds == 30 || seconds == 10; }
}  // namespace

TaskRebootNotify::TaskRebootNotify(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::TaskRebootNotify)
{
    ui->setupUi(this);
    hide();
    frame = new TaskWindow(this, ui->widget, ui->pushButton, tr("重启倒计时"), PopupPlacement::TopCentre);

    // The reboot is asked for only when the button is pressed and released on it: a press that
    // the user takes back by leaving the button first does nothing (the form binds the slot to
    // the button's release, which also comes on leaving).
    disconnect(ui->reboot_btn, &QPushButton::released, this, nullptr);
    connect(ui->reboot_btn, &QPushButton::clicked, this, &TaskRebootNotify::on_reboot_btn_released);
}

TaskRebootNotify::~TaskRebootNotify() { delete ui; }

void TaskRebootNotify::showNotify(const QString &taskId, const QString &taskName)
{
    if (!(timer && timer->isActive())) {
        m_taskId = taskId;
        m_taskName = taskName;
    }
    countDown();
    setAccessibleDescription(ui->label->text() + ' ' + ui->notify_content->text());
    // The keyboard starts on "X", never on rebooting at once.
    frame->present(ui->pushButton);
}

void TaskRebootNotify::resume(const PendingReboot::Entry &entry)
{
    m_taskId = entry.taskId;
    m_taskName = entry.taskName;
    if (entry.endMs == 0) {
        leaveToUser();
        return;
    }
    const qint64 left = (entry.endMs - QDateTime::currentMSecsSinceEpoch() + 999) / 1000;
    seconds = int(qBound<qint64>(MinResumedSeconds, left, CountDownSeconds));
    qInfo() << "a reboot is owed from before the agent started again:" << seconds << "s left";
    startTicking();
    frame->present(ui->pushButton);
}

void TaskRebootNotify::countDown()
{
    if (timer && timer->isActive()) {
        qWarning() << "last RebootNotify is count down";
        return;
    }
    seconds = CountDownSeconds;
    startTicking();  // in place of an ended count-down's timer
}

void TaskRebootNotify::startTicking()
{
    m_waitingForUser = false;
    showSecondsLeft();
    delete timer;
    timer = new QTimer(this);
    timer->setInterval(TickMs);
    connect(timer, &QTimer::timeout, this, &TaskRebootNotify::onTimeout);
    timer->start();
    keep();
}

void TaskRebootNotify::keep()
{
    const qint64 end = m_waitingForUser ? 0 : QDateTime::currentMSecsSinceEpoch() + qint64(seconds) * TickMs;
    PendingReboot::save({m_taskId, m_taskName, end});
}

bool TaskRebootNotify::isRebootPending() const
{
    return (timer && timer->isActive()) || request || m_waitingForUser;
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
    if (request) {
        qWarning() << "doReboot: logind is still being asked";
        return;
    }
    requestReboot(false);  // no interactive authorisation
}

// logind is asked without waiting for its answer: the agent goes on serving its callers and the
// desktop meanwhile, and the answer is bounded (see Logind).
void TaskRebootNotify::requestReboot(bool interactive)
{
    request = new QDBusPendingCallWatcher(Logind::reboot(QDBusConnection::systemBus(), interactive), this);
    connect(request, &QDBusPendingCallWatcher::finished, this,
            [this, interactive](QDBusPendingCallWatcher *answer) { onRebootAnswered(answer, interactive); });
}

void TaskRebootNotify::onRebootAnswered(QDBusPendingCallWatcher *answer, bool interactive)
{
    answer->deleteLater();
    request = nullptr;
    if (!answer->isError()) {
        PendingReboot::clear();  // logind reboots the machine
        return;
    }

    const QDBusError error = answer->error();
    qWarning() << "call Reboot error:" << error.name() << error.message();
    if (timer && timer->isActive())
        return;  // a new count-down began meanwhile; it asks again at its end
    if (!interactive) {
        // Other sessions open or no standing authorisation: the system may ask the user.
        requestReboot(true);
        return;
    }
    // Refused both ways: the reboot is still owed (install prompts stay held), but asking again by
    // itself would only bring the same refusal, or another authorisation prompt every few minutes.
    // The window shows without a count-down; its button asks again when the user decides.
    qWarning() << "reboot refused both ways: it stays owed until the user asks again";
    leaveToUser();
}

void TaskRebootNotify::leaveToUser()
{
    if (timer)
        timer->stop();
    m_waitingForUser = true;
    const QString text = tr("安装已完成，请重启计算机以完成安装");
    ui->notify_content->setText(text);
    ui->notify_content->setAccessibleName(text);
    setAccessibleDescription(ui->label->text() + ' ' + text);
    keep();
    frame->present(ui->pushButton);
}

void TaskRebootNotify::showSecondsLeft()
{
    const QString text = tr(SecondsLeft).arg(seconds);
    ui->notify_content->setText(text);
    if (!isAnnounced(seconds))
        return;
    // The label's own name holds, so that its text changing every second stays silent; the
    // window is announced again with the seconds left.
    ui->notify_content->setAccessibleName(text);
    setAccessibleDescription(ui->label->text() + ' ' + text);
    AlertAccessible::announce(this);
}

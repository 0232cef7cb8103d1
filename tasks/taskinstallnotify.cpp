#include "taskinstallnotify.h"

#include <QtDebug>

#include "domaindbusinterface.h"
#include "taskwindow.h"
#include "ui_taskinstallnotify.h"

namespace {
// The answers the daemon understands.
const int InstallNow = 0;
const int InstallLater = 1;

// The message in the system's own words, which the log keeps; the user reads it translated.
const char *const StartsWithTime = QT_TRANSLATE_NOOP("TaskInstallNotify", "即将开始软件安装任务“%1”，预计安装时间%2分钟，");
const char *const Starts = QT_TRANSLATE_NOOP("TaskInstallNotify", "即将开始软件安装任务“%1”，");
const char *const MayCloseAndReboot =
    QT_TRANSLATE_NOOP("TaskInstallNotify", "安装可能关闭当前正在运行的程序，并在安装完成后将重启电脑以避免出现未知问题");
const char *const MayClose = QT_TRANSLATE_NOOP("TaskInstallNotify", "安装可能关闭当前正在运行的程序");
}  // namespace

TaskInstallNotify::TaskInstallNotify(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::TaskInstallNotify)
{
    ui->setupUi(this);
    hide();
    frame = new TaskWindow(this, ui->widget, ui->pushButton, tr("软件安装提示"), PopupPlacement::TopCentre);

    // An answer counts only when the button is pressed and released on it: a press that the user
    // takes back by leaving the button before letting go answers nothing (the form binds these
    // slots to the buttons' release, which also comes on leaving).
    for (QPushButton *button : {ui->now_btn, ui->install_later_btn})
        disconnect(button, &QPushButton::released, this, nullptr);
    connect(ui->now_btn, &QPushButton::clicked, this, &TaskInstallNotify::on_now_btn_released);
    connect(ui->install_later_btn, &QPushButton::clicked, this, &TaskInstallNotify::on_install_later_btn_released);
}

TaskInstallNotify::~TaskInstallNotify() { delete ui; }

void TaskInstallNotify::showNotify(const QString &taskId, const QString &taskName, bool immediate,
                                   bool need_reboot, int completeTime)
{
    this->taskId = taskId;
    this->taskName = taskName;

    // An immediate task is only announced: there is nothing to choose.
    ui->now_btn->setVisible(!immediate);
    ui->install_later_btn->setVisible(!immediate);

    const char *const firstText = completeTime > 0 ? StartsWithTime : Starts;
    const char *const secondText = need_reboot ? MayCloseAndReboot : MayClose;
    const auto withTask = [&](const QString &text) {
        return completeTime > 0 ? text.arg(taskName, QString::number(completeTime)) : text.arg(taskName);
    };
    qInfo() << withTask(firstText) << QString(secondText);

    // The label shows rich text; the task name comes from outside and must stay plain text.
    const QString first = withTask(tr(firstText)), second = tr(secondText);
    ui->notify_content->setText(QString("<html><font color='black'>%1</font><font color='red'>%2</font></html>")
                                    .arg(first.toHtmlEscaped(), second));
    setAccessibleDescription(ui->label->text() + ' ' + first + second);
    // Without a choice to make, the keyboard starts on "X"; otherwise on installing later.
    frame->present(immediate ? ui->pushButton : ui->install_later_btn);
}

void TaskInstallNotify::onInstallComplete(bool result)
{
    qInfo() << (result ? "true" : "false") << "任务安装完成隐藏状态栏";
    if (result)
        hide();
}

void TaskInstallNotify::on_now_btn_released()
{
    qInfo() << "on_now_btn_released";
    hide();
    dbus::instance()->InstallRequest(taskId, InstallNow);
}

void TaskInstallNotify::on_install_later_btn_released()
{
    qInfo() << "on_install_later_btn_released";
    hide();
    dbus::instance()->InstallRequest(taskId, InstallLater);
}

void TaskInstallNotify::on_pushButton_clicked()
{
    // Closing leaves the task unanswered; the next notification shows it again.
    hide();
}

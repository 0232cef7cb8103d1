#include "taskinstallprogress.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>
#include <QtDebug>

#include "paths.h"
#include "taskwindow.h"
#include "ui_taskinstallprogress.h"

namespace {
const int CheckIntervalMs = 1000;
const int HideDelayMs = 2000;
const int Complete = 100;
// What the package manager writes when it sets up one package.
const QString SettingUpMark = QStringLiteral("正在设置");

// The id names a folder right under the task store; anything else would lead elsewhere.
bool isTaskFolderName(const QString &taskId)
{
    return !taskId.isEmpty() && taskId != "." && taskId != ".." && !taskId.contains('/')
        && !taskId.contains(QChar(0));
}
}  // namespace

TaskInstallProgress::TaskInstallProgress(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::TaskInstallProgress)
{
    ui->setupUi(this);
    hide();
    frame = new TaskWindow(this, ui->widget, ui->pushButton, ui->task_label->text(), PopupPlacement::Centre);
    connect(ui->progressBar, &QProgressBar::valueChanged, this, &TaskInstallProgress::onValueChanged);
}

TaskInstallProgress::~TaskInstallProgress() { delete ui; }

void TaskInstallProgress::showNotify(const QString &taskId, const QString &taskName)
{
    qInfo() << "taskId=" << taskId << " taskName=" << taskName;
    if (!isTaskFolderName(taskId)) {
        qWarning() << "task install progress: task id is not a task folder name, ignored:" << taskId;
        return;
    }

    const QString dir = QString("%1/%2").arg(Paths::tasksDir(), taskId);
    const QFileInfoList packages = QDir(dir).entryInfoList({"*.deb"}, QDir::Files);
    qInfo() << "taskId=" << taskId << " taskName=" << taskName << " taskDir=" << dir;
    if (packages.size() < 1) {
        // Nothing to follow; a task already being followed goes on undisturbed.
        qWarning() << "task install progress: task package number is 0!";
        return;
    }

    taskDir = dir;
    packageCount = packages.size();
    ui->task_label->setText(QString("软件安装任务 “%1” 当前进度：").arg(taskName));
    ui->progressBar->setValue(0);
    for (const QFileInfo &package : packages)
        qInfo() << "debian package: " << package.absoluteFilePath();

    this->taskId = taskId;
    installLogPath = taskDir + "/install.log";

    delete timer;
    timer = new QTimer(this);
    timer->setInterval(CheckIntervalMs);
    connect(timer, &QTimer::timeout, this, &TaskInstallProgress::onCheckProgress);
    timer->start();
    setAccessibleName(ui->task_label->text());
    frame->fit();
    show();
}

void TaskInstallProgress::onCheckProgress()
{
    if (packageCount < 1)  // no task followed yet
        return;
    if (ui->progressBar->value() == Complete) {
        emit installComplete(true);
        return;
    }

    int done = 0;
    QFile log(installLogPath);
    if (!log.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "Failed to open file for reading";
    } else {
        QTextStream in(&log);
        in.setCodec("UTF-8");
        while (!in.atEnd()) {
            const QString line = in.readLine();
            if (line.contains(SettingUpMark)) {
                ++done;
                qInfo() << line;
            }
        }
        log.close();
    }
    // Dependencies and re-runs set up more packages than the task brought: that is complete too.
    ui->progressBar->setValue(qMin(done * 100 / packageCount, Complete));
}

void TaskInstallProgress::onValueChanged(int value)
{
    if (value != Complete || !timer)
        return;
    // The delay belongs to this task's timer: a task shown in the meantime replaces the timer,
    // and with it this delay, so it is not hidden or stopped by its predecessor.
    QTimer *finished = timer;
    QTimer::singleShot(HideDelayMs, finished, [this, finished] {
        finished->stop();
        hide();
    });
}

void TaskInstallProgress::on_pushButton_clicked()
{
    // Only the window goes; the checks go on and still report the end of the installation.
    hide();
}

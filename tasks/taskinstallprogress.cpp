#include "taskinstallprogress.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QtDebug>

#include <sys/stat.h>

#include "paths.h"
#include "taskwindow.h"
#include "ui_taskinstallprogress.h"

namespace {
const int CheckIntervalMs = 1000;
const int HideDelayMs = 2000;
const int Complete = 100;
// What the package manager writes when it sets up one package.
const QByteArray SettingUpMark = QByteArrayLiteral("正在设置");

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
    frame = new TaskWindow(this, ui->widget, ui->pushButton, tr("软件安装进度"), PopupPlacement::Centre);
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
    ui->task_label->setText(tr("软件安装任务 “%1” 当前进度：").arg(taskName));
    ui->progressBar->setValue(0);
    for (const QFileInfo &package : packages)
        qInfo() << "debian package: " << package.absoluteFilePath();

    this->taskId = taskId;
    installLogPath = taskDir + "/install.log";
    logOffset = 0;
    setUpCount = 0;
    logDevice = logInode = 0;
    missingLogReported = false;

    delete timer;
    timer = new QTimer(this);
    timer->setInterval(CheckIntervalMs);
    connect(timer, &QTimer::timeout, this, &TaskInstallProgress::onCheckProgress);
    timer->start();
    // The bar is named by its task; a screen reader says its value with it.
    ui->progressBar->setAccessibleName(ui->task_label->text());
    setAccessibleDescription(ui->task_label->text());
    frame->present(ui->pushButton);
}

void TaskInstallProgress::onCheckProgress()
{
    if (packageCount < 1)  // no task followed yet
        return;
    if (ui->progressBar->value() == Complete) {
        emit installComplete(true);
        return;
    }

    QFile log(installLogPath);
    if (!log.open(QIODevice::ReadOnly)) {
        // The daemon may take minutes before it writes the log: once per absence is enough.
        if (!missingLogReported)
            qWarning() << "Failed to open file for reading";
        missingLogReported = true;
        // Whatever appears next is a new log, even where the file system reuses the inode.
        logOffset = 0;
        setUpCount = 0;
        logDevice = logInode = 0;
    } else {
        missingLogReported = false;
        struct stat info = {};
        const bool identified = ::fstat(log.handle(), &info) == 0;
        const qint64 size = identified ? qint64(info.st_size) : log.size();
        const bool replaced = identified && (quint64(info.st_dev) != logDevice || quint64(info.st_ino) != logInode);
        if (replaced || size < logOffset) {
            logOffset = 0;
            setUpCount = 0;
        }
        if (identified) {
            logDevice = quint64(info.st_dev);
            logInode = quint64(info.st_ino);
        }
        // Only what was appended since the last check, and only whole lines: a line the package
        // manager is still writing is read again, complete, at a later check.
        if (log.seek(logOffset)) {
            while (true) {
                QByteArray line = log.readLine();
                if (!line.endsWith('\n'))
                    break;
                logOffset += line.size();
                if (!line.contains(SettingUpMark))
                    continue;
                ++setUpCount;
                line.chop(line.endsWith("\r\n") ? 2 : 1);
                qInfo() << QString::fromUtf8(line);  // each set-up line once, when it is first seen
            }
        }
        log.close();
    }
    // Dependencies and re-runs set up more packages than the task brought: that is complete too.
    ui->progressBar->setValue(qMin(setUpCount * 100 / packageCount, Complete));
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

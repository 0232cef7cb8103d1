#pragma once

#include <QString>
#include <QWidget>

class QTimer;
class TaskWindow;

namespace Ui {
class TaskInstallProgress;
}

// Follows one installation task: counts the task's packages once, then every second counts
// the packages the package manager has set up according to the task's log.
class TaskInstallProgress : public QWidget
{
    Q_OBJECT

public:
    explicit TaskInstallProgress(QWidget *parent = nullptr);
    ~TaskInstallProgress() override;

    void showNotify(const QString &taskId, const QString &taskName);
    // The task followed; the router passes its completion on to a prompt of the same task only.
    QString currentTaskId() const { return taskId; }

signals:
    void installComplete(bool result);

public slots:
    void onValueChanged(int value);
    void onCheckProgress();
    void on_pushButton_clicked();

private:
    Ui::TaskInstallProgress *ui;
    QTimer *timer = nullptr;
    QString taskId;
    QString installLogPath;
    QString taskDir;
    int packageCount = 0;
    TaskWindow *frame;

    // The log is read on from where the last check stopped: the offset just after the last
    // complete line read, the set-up lines counted up to there, and which file that was (device
    // and inode), so that a replaced or shortened log is read again from the top.
    qint64 logOffset = 0;
    int setUpCount = 0;
    quint64 logDevice = 0;
    quint64 logInode = 0;
    // The missing log is reported once, not on every tick, until it appears.
    bool missingLogReported = false;
};

#pragma once

#include <QString>
#include <QWidget>

class TaskWindow;

namespace Ui {
class TaskInstallNotify;
}

// The banner at the top of the screen that announces an installation task and takes the
// user's answer: install now, install later, or close without answering.
class TaskInstallNotify : public QWidget
{
    Q_OBJECT

public:
    explicit TaskInstallNotify(QWidget *parent = nullptr);
    ~TaskInstallNotify() override;

    void showNotify(const QString &taskId, const QString &taskName, bool immediate, bool need_reboot,
                    int completeTime);
    // The task last shown; the router keeps a visible prompt for it.
    QString currentTaskId() const { return taskId; }

public slots:
    void onInstallComplete(bool result);
    void on_now_btn_released();
    void on_install_later_btn_released();
    void on_pushButton_clicked();

private:
    Ui::TaskInstallNotify *ui;
    QString taskId;
    QString taskName;
    TaskWindow *frame;
};

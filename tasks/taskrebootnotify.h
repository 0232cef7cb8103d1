#pragma once

#include <QString>
#include <QWidget>

class QDBusPendingCallWatcher;
class QTimer;
class TaskWindow;

namespace Ui {
class TaskRebootNotify;
}

// The banner that counts down to the reboot an installation asked for, then asks logind to
// reboot. Closing the banner does not stop the count-down.
class TaskRebootNotify : public QWidget
{
    Q_OBJECT

public:
    explicit TaskRebootNotify(QWidget *parent = nullptr);
    ~TaskRebootNotify() override;

    void showNotify(const QString &taskId, const QString &taskName);
    void countDown();
    void doReboot();
    // A reboot is on its way: the count-down runs (shown or hidden) or logind is being asked.
    bool isRebootPending() const;

public slots:
    void onTimeout();
    void on_reboot_btn_released();
    void on_pushButton_clicked();

private:
    void showSecondsLeft();
    void requestReboot(bool interactive);
    void onRebootAnswered(QDBusPendingCallWatcher *answer, bool interactive);

    Ui::TaskRebootNotify *ui;
    QTimer *timer = nullptr;
    int seconds = 0;
    QDBusPendingCallWatcher *request = nullptr;  // logind's answer still to come
    TaskWindow *frame;
};

#pragma once

#include <QString>
#include <QWidget>

#include "pendingreboot.h"

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
    // Takes up a reboot an earlier agent of this boot left owed: the count-down with the time
    // that is left (at least MinResumedSeconds), or the window without one.
    void resume(const PendingReboot::Entry &entry);
    void countDown();
    void doReboot();
    // A reboot is on its way: the count-down runs (shown or hidden) or logind is being asked.
    bool isRebootPending() const;

    static constexpr int MinResumedSeconds = 30;

public slots:
    void onTimeout();
    void on_reboot_btn_released();
    void on_pushButton_clicked();

private:
    void showSecondsLeft();
    void startTicking();
    void leaveToUser();
    void keep();  // the pending reboot as it stands now, for an agent started again
    void requestReboot(bool interactive);
    void onRebootAnswered(QDBusPendingCallWatcher *answer, bool interactive);

    Ui::TaskRebootNotify *ui;
    QTimer *timer = nullptr;
    int seconds = 0;
    QString m_taskId;
    QString m_taskName;
    bool m_waitingForUser = false;  // refused both ways: the user asks again with the button
    QDBusPendingCallWatcher *request = nullptr;  // logind's answer still to come
    TaskWindow *frame;
};

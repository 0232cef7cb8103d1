#pragma once

#include <QObject>
#include <QString>

class TaskInstallNotify;
class TaskInstallProgress;
class TaskRebootNotify;

// Routes the daemon's installation task signals to the three task dialogs and decides which
// one wins: a pending reboot over a prompt, and the first prompt over later ones.
class TaskManager : public QObject
{
    Q_OBJECT

public:
    static TaskManager *instance();

    explicit TaskManager(QObject *parent = nullptr);
    ~TaskManager() override;

    void showInstallNotify(const QString &taskId, const QString &taskName, bool immediate, bool need_reboot,
                           int completeTime);
    void showInstallProgress(const QString &taskId, const QString &taskName);
    void showRebootNotify(const QString &taskId, const QString &taskName);

public slots:
    void onInstallNotify(const QString &taskId, const QString &taskName, bool immediate, bool need_reboot,
                         int completeTime);
    void onRebootNotify(const QString &taskId, const QString &taskName);
    void onShowProgress(const QString &taskId, const QString &taskName);

private:
    void deleteDialogs();

    TaskInstallNotify *installNotify;
    TaskInstallProgress *installProgress;
    TaskRebootNotify *rebootNotify;
};

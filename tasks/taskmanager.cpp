#include "taskmanager.h"

#include <QCoreApplication>
#include <QTimer>
#include <QtDebug>

#include "domaindbusinterface.h"
#include "pendingreboot.h"
#include "taskinstallnotify.h"
#include "taskinstallprogress.h"
#include "taskrebootnotify.h"

namespace {
// The daemon is asked to (re)send pending tasks once the agent has settled.
const int InitDelayMs = 5000;
}  // namespace

TaskManager *TaskManager::instance()
{
    static TaskManager manager;
    return &manager;
}

TaskManager::TaskManager(QObject *parent)
    : QObject(parent)
    , installNotify(new TaskInstallNotify)
    , installProgress(new TaskInstallProgress)
    , rebootNotify(new TaskRebootNotify)
{
    dbus *daemon = dbus::instance();
    connect(daemon, &dbus::InstallNotify, this, &TaskManager::onInstallNotify);
    connect(daemon, &dbus::RebootNotify, this, &TaskManager::onRebootNotify);
    connect(daemon, &dbus::ShowProgress, this, &TaskManager::onShowProgress);

    // A finished installation hides the prompt of its own task only, not another task's prompt
    // that is waiting for the user's answer.
    connect(installProgress, &TaskInstallProgress::installComplete, this, [this](bool result) {
        if (installProgress->currentTaskId() == installNotify->currentTaskId())
            installNotify->onInstallComplete(result);
    });

    // A reboot an earlier agent of this boot left owed is taken up before any prompt can show.
    if (const std::optional<PendingReboot::Entry> owed = PendingReboot::load())
        rebootNotify->resume(*owed);

    QTimer::singleShot(InitDelayMs, this, [] { dbus::instance()->Init(); });

    // The dialogs are widgets and must go while the application still exists, but the router
    // is a static that outlives it: they go when the event loop ends.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &TaskManager::deleteDialogs);
}

TaskManager::~TaskManager()
{
    // Without an application the widgets cannot be destroyed any more; the process is ending.
    if (QCoreApplication::instance())
        deleteDialogs();
}

void TaskManager::deleteDialogs()
{
    disconnect(dbus::instance(), nullptr, this, nullptr);
    delete installNotify;
    delete installProgress;
    delete rebootNotify;
    installNotify = nullptr;
    installProgress = nullptr;
    rebootNotify = nullptr;
}

void TaskManager::onInstallNotify(const QString &taskId, const QString &taskName, bool immediate,
                                  bool need_reboot, int completeTime)
{
    qInfo() << QString("onInstallNotify: taskId(%1)，taskName(%2), immediate(%3), completeTime(%4)")
                   .arg(taskId, taskName, QString::number(immediate ? 1 : 0), QString::number(completeTime));
    showInstallNotify(taskId, taskName, immediate, need_reboot, completeTime);
}

void TaskManager::onRebootNotify(const QString &taskId, const QString &taskName)
{
    qInfo() << QString("onRebootNotify: taskId(%1)，taskName(%2)").arg(taskId, taskName);
    showRebootNotify(taskId, taskName);
}

void TaskManager::onShowProgress(const QString &taskId, const QString &taskName)
{
    qInfo() << QString("onShowProgress: taskId(%1)，taskName(%2)").arg(taskId, taskName);
    showInstallProgress(taskId, taskName);
}

void TaskManager::showInstallNotify(const QString &taskId, const QString &taskName, bool immediate,
                                    bool need_reboot, int completeTime)
{
    qInfo() << "showInstallNotify";
    if (rebootNotify->isRebootPending()) {
        // An installation never starts its prompt over a pending reboot, also when the user has
        // closed the count-down: the reboot would cut the installation.
        qWarning() << "reboot notify is show";
        return;
    }
    if (installNotify->isVisible() && !installNotify->currentTaskId().isEmpty()) {
        // The first prompt stays until the user answers it.
        qWarning() << QString("receive notify taskId(%1), but taskId(%2) is show")
                          .arg(taskId, installNotify->currentTaskId());
        return;
    }
    installNotify->showNotify(taskId, taskName, immediate, need_reboot, completeTime);
}

void TaskManager::showInstallProgress(const QString &taskId, const QString &taskName)
{
    qInfo() << "showInstallProgress";
    installProgress->showNotify(taskId, taskName);
}

void TaskManager::showRebootNotify(const QString &taskId, const QString &taskName)
{
    qInfo() << "showRebootNotify";
    if (installNotify->isVisible()) {
        qWarning() << "install notify is show, hide it";
        installNotify->hide();
    }
    rebootNotify->showNotify(taskId, taskName);
}

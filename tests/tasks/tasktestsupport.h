#pragma once

// Pieces shared by the task dialog tests: the agent's log under a temporary root, the stand-in
// of the daemon's task interface, finding the dialogs a user would see, and screenshots.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QWidget>

#include <memory>

#include "dbusmock.h"
#include "logging.h"
#include "paths.h"
#include "testenv.h"

namespace TaskTest {

const QString TaskPath = QStringLiteral("/com/domain/taskmanager");
const QString TaskInterface = QStringLiteral("com.domain.taskmanager");

// A temporary root for the whole test program, with Qt's messages written to its log file as the
// agent writes them. The message handler binds its file at the first message, so this comes first.
inline std::unique_ptr<TestEnv::TempRoot> rootWithLog()
{
    auto root = std::make_unique<TestEnv::TempRoot>();
    setLoggingPath(Paths::logFile());
    qInstallMessageHandler(outputMessage);
    return root;
}

// The daemon's stand-in on the test system bus; its task object records the agent's calls.
inline std::unique_ptr<DBusMock> startDaemon()
{
    return std::unique_ptr<DBusMock>(
        DBusMock::fromTemplate(TestEnv::simDir() + "/daemon/kiv_domain_daemon.py", DBusMock::SystemBus));
}

// A top-level window by its object name, as the user would find it on the screen.
inline QWidget *topLevel(const QString &objectName)
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == objectName)
            return widget;
    }
    return nullptr;
}

inline QPushButton *buttonWithText(QWidget *window, const QString &text)
{
    for (QPushButton *button : window->findChildren<QPushButton *>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

// Saves what the window shows into build/screenshots/.
inline bool saveScreenshot(QWidget *window, const QString &name)
{
    const QString dir = TestEnv::binaryDir() + "/screenshots";
    QDir().mkpath(dir);
    return window->grab().save(dir + "/" + name + ".png");
}

}  // namespace TaskTest

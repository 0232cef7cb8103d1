#pragma once

// Runs the current test function and data row again in a fresh process of the same test
// program. The lock-down keeps process-wide state (the forced-full-screen answer, the remembered
// show-desktop binding) and GLib reads the settings schemas once per process, so a row that needs
// a fresh start, another schema folder or a sandboxed system file runs in a child of its own.

#include <QCoreApplication>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include "testenv.h"

namespace SelfRun {

const char *const ChildMarker = "KIV_TEST_CHILD_ROW";

inline bool isChild() { return qEnvironmentVariableIsSet(ChildMarker); }

struct Options {
    QMap<QString, QString> env;        // variables set for the child
    QMap<QString, QString> roBinds;    // sandbox: source file -> fixed path it stands for
};

// The child's exit code (-1 when it crashed or did not end) and its whole output.
inline TestEnv::CommandResult runCurrentRow(const Options &options, int timeoutMs = 30000)
{
    QString selector = QString::fromLatin1(QTest::currentTestFunction());
    if (QTest::currentDataTag())
        selector += ":" + QString::fromLatin1(QTest::currentDataTag());

    QString program = QCoreApplication::applicationFilePath();
    QStringList arguments{selector};
    if (!options.roBinds.isEmpty()) {
        QStringList sandbox{"--bind", "/", "/", "--dev", "/dev", "--proc", "/proc"};
        for (auto it = options.roBinds.cbegin(); it != options.roBinds.cend(); ++it)
            sandbox << "--ro-bind" << it.key() << it.value();
        arguments = sandbox + QStringList{"--", program} + arguments;
        program = "bwrap";
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(ChildMarker, "1");
    for (auto it = options.env.cbegin(); it != options.env.cend(); ++it)
        environment.insert(it.key(), it.value());

    TestEnv::CommandResult result;
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(program, arguments);
    if (!child.waitForStarted(10000))
        return result;
    if (!TestEnv::waitFor([&] { return child.state() == QProcess::NotRunning; }, timeoutMs)) {
        child.kill();
        child.waitForFinished(5000);
    } else if (child.exitStatus() == QProcess::NormalExit) {
        result.exitCode = child.exitCode();
    }
    result.output = QString::fromUtf8(child.readAll());
    return result;
}

}  // namespace SelfRun

// In the parent: runs the row in a child and fails with the child's output unless it passed.
#define RUN_ROW_IN_CHILD(options)                                                              \
    do {                                                                                       \
        const TestEnv::CommandResult childRun = SelfRun::runCurrentRow(options);               \
        QVERIFY2(childRun.exitCode == 0, qPrintable("child run failed:\n" + childRun.output)); \
    } while (false)

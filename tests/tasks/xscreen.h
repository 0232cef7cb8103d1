#pragma once

// A private X display, seen from outside with the X tools: one Xvfb monitor, or several ("1280x800") side by side as a
// nested Xephyr on Xinerama, the first one primary. It becomes DISPLAY for the X tools and the agent started next.

#include <QProcess>
#include <QRect>

#include "testenv.h"

class XScreen
{
public:
    XScreen(const QStringList &monitors, int dpi)
    {
        const QString dots = QString::number(dpi);
        const QString size = monitors.size() > 1 ? "4096x2048" : monitors.first();
        start(m_server, "Xvfb", {"-screen", "0", size + "x24", "-dpi", dots});
        if (monitors.size() < 2 || !isRunning())
            return;
        // Xinerama without RandR: the program sees the monitors as one desktop.
        QStringList nested{"-extension", "RANDR", "+xinerama", "-dpi", dots};
        for (const QString &monitor : monitors)
            nested << "-screen" << monitor;
        start(m_nested, "Xephyr", nested);
    }
    ~XScreen()
    {
        TestEnv::endProcess(m_nested);
        TestEnv::endProcess(m_server);
    }
    bool isRunning() const { return !m_display.isEmpty(); }

    QStringList windows() const  // the ones mapped now
    {
        const QString ids = TestEnv::runCommand("xdotool", {"search", "--onlyvisible", "--name", "."}).output;
        return ids.split('\n', Qt::SkipEmptyParts);
    }
    // A window mapped that is not one of known, waited for; it joins known.
    QString waitForNewWindow(QStringList &known) const
    {
        QString found;
        TestEnv::waitFor([&] {
            for (const QString &window : windows())
                found = known.contains(window) ? found : window;
            return !found.isEmpty();
        });
        known << found;
        return found;
    }
    QRect geometry(const QString &window) const
    {
        QHash<QString, int> fields;
        const QString shell = TestEnv::runCommand("xdotool", {"getwindowgeometry", "--shell", window}).output;
        for (const QString &line : shell.split('\n'))
            fields.insert(line.section('=', 0, 0), line.section('=', 1).toInt());
        return QRect(fields.value("X"), fields.value("Y"), fields.value("WIDTH"), fields.value("HEIGHT"));
    }
    // The desktop's panels leave this part of the screen to windows.
    bool setWorkArea(const QRect &area) const
    {
        const QString value = QString("%1,%2,%3,%4").arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height());
        const QStringList set{"-root", "-f", "_NET_WORKAREA", "32c", "-set", "_NET_WORKAREA", value};
        return TestEnv::runCommand("xprop", set).exitCode == 0;
    }

private:
    // Starts an X server that writes its display number when it is ready.
    void start(QProcess &process, const QString &program, const QStringList &arguments)
    {
        process.start(program, QStringList{"-displayfd", "1", "-nolisten", "tcp"} + arguments);
        TestEnv::waitFor([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 15000);
        m_display = process.canReadLine() ? ":" + QString::fromLatin1(process.readLine().trimmed()) : QString();
        qputenv("DISPLAY", m_display.toUtf8());
    }

    QProcess m_server, m_nested;
    QString m_display;
};

#pragma once

// A private X display as a user has it, seen and handled from outside with the X tools: the
// windows shown and where they are (xdotool, xprop), what they show (import), clicks, presses,
// drags and keys (xdotool), and the desktop's panels (_NET_WORKAREA). Two or more monitors are a
// nested Xephyr on Xinerama, one desktop across its screens, inside a private Xvfb.

#include <QColor>
#include <QHash>
#include <QImage>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QSize>
#include <QTemporaryDir>

#include "testenv.h"

namespace TaskTest {

struct XWindow {
    QString id;
    QString role;  // WM_WINDOW_ROLE: the dialog's object name
    QRect geometry;
    bool isNull() const { return id.isEmpty(); }
};

class XScreen
{
public:
    struct Setup {
        QList<QSize> monitors{QSize(1280, 800)};  // side by side, the first one primary
        int dpi = 96;
    };

    explicit XScreen(const Setup &setup)
    {
        int width = 0, height = 0;
        for (const QSize &monitor : setup.monitors) {
            width += monitor.width();
            height = qMax(height, monitor.height());
        }
        const QString dpi = QString::number(setup.dpi);
        m_display = startServer(m_server, {"Xvfb", "-screen", "0", QString("%1x%2x24").arg(width).arg(height),
                                           "-dpi", dpi});
        if (setup.monitors.size() < 2 || m_display.isEmpty())
            return;
        // Xephyr draws into the Xvfb and serves its own display: Xinerama without RandR, so that
        // a program sees the monitors as one desktop (as with a multi-head desktop).
        QStringList nested{"Xephyr", "-extension", "RANDR", "+xinerama", "-dpi", dpi};
        for (const QSize &monitor : setup.monitors)
            nested << "-screen" << QString("%1x%2").arg(monitor.width()).arg(monitor.height());
        m_nested.setProcessEnvironment(environment());
        m_display = startServer(m_nested, nested);
    }

    ~XScreen()
    {
        TestEnv::endProcess(m_nested);
        TestEnv::endProcess(m_server);
    }

    bool isRunning() const { return !m_display.isEmpty(); }
    QString display() const { return m_display; }

    // Runs an X client of this display: whether it succeeded, and its standard output.
    bool run(const QString &program, const QStringList &arguments, QString *output = nullptr) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, arguments);
        if (!process.waitForStarted(10000))
            return false;
        if (!TestEnv::waitFor([&] { return process.state() == QProcess::NotRunning; }, 15000)) {
            process.kill();
            process.waitForFinished(5000);
            return false;
        }
        if (output)
            *output = QString::fromUtf8(process.readAllStandardOutput());
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    QString output(const QString &program, const QStringList &arguments) const
    {
        QString text;
        run(program, arguments, &text);
        return text;
    }

    // The windows mapped now, with their place on the screen and their role.
    QList<XWindow> windows() const
    {
        QList<XWindow> found;
        const QString ids = output("xdotool", {"search", "--onlyvisible", "--name", "."});
        for (const QString &id : ids.split('\n', Qt::SkipEmptyParts)) {
            XWindow window{id.trimmed(), QString(), QRect()};
            QHash<QString, int> fields;
            for (const QString &line : output("xdotool", {"getwindowgeometry", "--shell", window.id}).split('\n')) {
                const QStringList pair = line.split('=');
                if (pair.size() == 2)
                    fields.insert(pair.at(0), pair.at(1).toInt());
            }
            window.geometry = QRect(fields.value("X"), fields.value("Y"), fields.value("WIDTH"), fields.value("HEIGHT"));
            const QString role = output("xprop", {"-id", window.id, "WM_WINDOW_ROLE"});
            const int quote = role.indexOf('"');
            if (quote >= 0)
                window.role = role.mid(quote + 1, role.lastIndexOf('"') - quote - 1);
            found << window;
        }
        return found;
    }

    XWindow window(const QString &role) const
    {
        for (const XWindow &window : windows()) {
            if (window.role == role)
                return window;
        }
        return XWindow();
    }

    XWindow waitForWindow(const QString &role, int timeoutMs = 10000) const
    {
        XWindow found;
        TestEnv::waitFor([&] { return !(found = window(role)).isNull(); }, timeoutMs);
        return found;
    }

    bool waitForNoWindow(const QString &role, int timeoutMs = 10000) const
    {
        return TestEnv::waitFor([&] { return window(role).isNull(); }, timeoutMs);
    }

    // The server handles the pointer's moves and buttons in the order they are sent. (xdotool's
    // --sync would wait for ever for a move to where the pointer already is.)
    bool click(const QPoint &at) const
    {
        return run("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    }

    // Presses the button at one place and lets it go at another, as a user who changes their mind.
    bool pressAndReleaseElsewhere(const QPoint &press, const QPoint &release) const
    {
        return run("xdotool", {"mousemove", QString::number(press.x()), QString::number(press.y()), "mousedown", "1",
                               "mousemove", QString::number(release.x()), QString::number(release.y()), "mouseup",
                               "1"});
    }

    bool key(const QString &name) const { return run("xdotool", {"key", name}); }

    // The desktop's panels leave this part of the screen to windows.
    bool setWorkArea(const QRect &area) const
    {
        const QString value = QString("%1,%2,%3,%4").arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height());
        return run("xprop", {"-root", "-f", "_NET_WORKAREA", "32c", "-set", "_NET_WORKAREA", value});
    }

    // What the screen shows in rect.
    QImage grab(const QRect &rect) const
    {
        QTemporaryDir dir;
        const QString file = dir.path() + "/grab.png";
        const QString crop = QString("%1x%2+%3+%4").arg(rect.width()).arg(rect.height()).arg(rect.x()).arg(rect.y());
        if (!run("import", {"-display", m_display, "-silent", "-window", "root", "-crop", crop, "+repage", file}))
            return QImage();
        return QImage(file);
    }

    bool save(const XWindow &window, const QString &path) const { return grab(window.geometry).save(path); }

    // The part of the window painted in colour, in screen coordinates (empty when there is none).
    QRect findColour(const XWindow &window, const QColor &colour, int least = 200) const
    {
        const QImage image = grab(window.geometry);
        int count = 0;
        QRect found;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (qAbs(pixel.red() - colour.red()) <= 12 && qAbs(pixel.green() - colour.green()) <= 12 &&
                    qAbs(pixel.blue() - colour.blue()) <= 12) {
                    ++count;
                    found |= QRect(x, y, 1, 1);
                }
            }
        }
        return count < least ? QRect() : found.translated(window.geometry.topLeft());
    }

private:
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", m_display);
        return env;
    }

    // Starts an X server that writes its display number when it is ready.
    static QString startServer(QProcess &process, QStringList command)
    {
        const QString program = command.takeFirst();
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(program, QStringList{"-displayfd", "1", "-nolisten", "tcp"} + command);
        if (!process.waitForStarted(10000))
            return QString();
        TestEnv::waitFor([&] { return process.canReadLine() || process.state() != QProcess::Running; }, 15000);
        return process.canReadLine() ? ":" + QString::fromLatin1(process.readLine().trimmed()) : QString();
    }

    QProcess m_server;
    QProcess m_nested;
    QString m_display;
};

}  // namespace TaskTest

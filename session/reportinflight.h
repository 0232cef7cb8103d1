#pragma once

#include <QObject>
#include <QString>

// The log-in report on its way to the domain server. A caller who asks for the report while it
// is on its way joins it and is answered with the same reply when it ends, rather than sending a
// second report or being told it was sent.
class ReportInFlight : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    bool running() const { return m_running; }
    void begin() { m_running = true; }
    void end(const QString &reply)
    {
        m_running = false;
        emit ended(reply);
    }

signals:
    void ended(const QString &reply);

private:
    bool m_running = false;
};

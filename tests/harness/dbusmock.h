#pragma once

// A python3-dbusmock process serving one stand-in service on a test bus, with access to its Mock interface: add
// methods, emit signals, read the call log.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QProcess>
#include <QString>
#include <QVariant>

struct MockCall {
    quint64 timestamp = 0;
    QString method;
    QVariantList args;
};

class DBusMock
{
public:
    enum Bus { SessionBus, SystemBus };

    // A service built from a template (a dbusmock name such as "logind" or a .py file path).
    static DBusMock *fromTemplate(const QString &templ, Bus bus);

    ~DBusMock();

    bool isRunning() const { return m_process.state() == QProcess::Running; }
    QString busName() const { return m_name; }
    QString mainObject() const { return m_mainObject; }
    QDBusConnection connection() const;

    // Calls a method of the "org.freedesktop.DBus.Mock" interface on one object of the mock.
    QDBusMessage mock(const QString &path, const QString &method, const QVariantList &args = {}) const;

    void addMethod(const QString &path, const QString &interface, const QString &name, const QString &inSig,
                   const QString &outSig, const QString &code) const;
    // Adds an object through the Mock interface of an existing object viaPath.
    void addObject(const QString &viaPath, const QString &path, const QString &interface) const;
    void emitSignal(const QString &path, const QString &interface, const QString &name, const QString &signature,
                    const QVariantList &args) const;
    QList<MockCall> calls(const QString &path) const;
    QList<QVariantList> callsOf(const QString &path, const QString &method) const;
    void clearCalls(const QString &path) const { mock(path, "ClearCalls"); }

    // Stops the process and waits until its name is gone from the bus.
    void stop();

private:
    DBusMock(const QString &templ, Bus bus);

    QString m_name;
    QString m_mainObject;
    Bus m_bus;
    QProcess m_process;
};

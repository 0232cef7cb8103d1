#include "dbusmock.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QtDebug>

#include "testenv.h"

namespace {
const char *const MockInterface = "org.freedesktop.DBus.Mock";

// A constant of a template (BUS_NAME, MAIN_OBJ): read from the template file itself, or the known ones of dbusmock's
// own templates.
QString templateValue(const QString &templ, const QString &key)
{
    static const QMap<QString, QString> known{
        {"logind BUS_NAME", "org.freedesktop.login1"}, {"logind MAIN_OBJ", "/org/freedesktop/login1"},
        {"networkmanager BUS_NAME", "org.freedesktop.NetworkManager"},
        {"networkmanager MAIN_OBJ", "/org/freedesktop/NetworkManager"}};
    QFile file(templ);
    if (!templ.endsWith(".py") || !file.open(QIODevice::ReadOnly))
        return known.value(templ + " " + key);
    const QRegularExpression assignment("^" + key + R"( = ['"]([^'"]+))", QRegularExpression::MultilineOption);
    return assignment.match(QString::fromUtf8(file.readAll())).captured(1);
}
}  // namespace

DBusMock::DBusMock(const QString &templ, Bus bus)
    : m_name(templateValue(templ, "BUS_NAME"))
    , m_mainObject(templateValue(templ, "MAIN_OBJ"))
    , m_bus(bus)
{
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    m_process.start("/usr/bin/python3",
                    {"-m", "dbusmock", bus == SystemBus ? "--system" : "--session", "--template", templ});
    const auto registered = [this] { return connection().interface()->isServiceRegistered(m_name).value(); };
    if (!m_process.waitForStarted(10000) || !TestEnv::waitFor(registered, 20000))
        qWarning() << "dbusmock template did not come up:" << templ;
}

DBusMock *DBusMock::fromTemplate(const QString &templ, Bus bus) { return new DBusMock(templ, bus); }

DBusMock::~DBusMock() { stop(); }

void DBusMock::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    TestEnv::endProcess(m_process);
    TestEnv::waitFor([this] { return !connection().interface()->isServiceRegistered(m_name).value(); }, 5000);
}

QDBusConnection DBusMock::connection() const
{
    return m_bus == SystemBus ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
}

QDBusMessage DBusMock::mock(const QString &path, const QString &method, const QVariantList &args) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(m_name, path, MockInterface, method);
    message.setArguments(args);
    const QDBusMessage reply = connection().call(message, QDBus::Block, 20000);
    if (reply.type() == QDBusMessage::ErrorMessage)
        qWarning() << "mock call failed:" << method << reply.errorName() << reply.errorMessage();
    return reply;
}

void DBusMock::addMethod(const QString &path, const QString &interface, const QString &name, const QString &inSig,
                         const QString &outSig, const QString &code) const
{
    mock(path, "AddMethod", {interface, name, inSig, outSig, code});
}

void DBusMock::addObject(const QString &viaPath, const QString &path, const QString &interface) const
{
    // An object without properties or methods of its own; gdbus writes the empty a(ssss) list.
    TestEnv::runCommand("gdbus", {"call", m_bus == SystemBus ? "--system" : "--session", "--dest", m_name,
                                  "--object-path", viaPath, "--method", "org.freedesktop.DBus.Mock.AddObject", path,
                                  interface, "{}", "@a(ssss) []"});
}

void DBusMock::emitSignal(const QString &path, const QString &interface, const QString &name,
                          const QString &signature, const QVariantList &args) const
{
    mock(path, "EmitSignal", {interface, name, signature, QVariant(args)});
}

// GetCalls answers a(tsav): time stamp, method, arguments.
const QDBusArgument &operator>>(const QDBusArgument &argument, MockCall &call)
{
    QList<QDBusVariant> args;
    argument.beginStructure();
    argument >> call.timestamp >> call.method >> args;
    argument.endStructure();
    for (const QDBusVariant &arg : args)
        call.args << arg.variant();
    return argument;
}

QList<MockCall> DBusMock::calls(const QString &path) const
{
    const QDBusMessage reply = mock(path, "GetCalls");
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return qdbus_cast<QList<MockCall>>(reply.arguments().first().value<QDBusArgument>());
}

QList<QVariantList> DBusMock::callsOf(const QString &path, const QString &method) const
{
    QList<QVariantList> result;
    for (const MockCall &call : calls(path)) {
        if (call.method == method)
            result << call.args;
    }
    return result;
}


#pragma once

#include <QCoroTask>

#include <QList>
#include <QObject>
#include <QVariant>

class QDBusAbstractInterface;

// Carries remote-assistance replies to the daemon ("/com/domain/remoteassist" on the system bus).
class Remote_Assist_System_Dbus : public QObject
{
    Q_OBJECT

public:
    explicit Remote_Assist_System_Dbus(QObject *parent = nullptr);
    ~Remote_Assist_System_Dbus() override;

    QCoro::Task<> debugTogle();
    QCoro::Task<> sendWebset(QString data);

private:
    QDBusAbstractInterface *m_interface;
    QList<QVariant> m_args;
};

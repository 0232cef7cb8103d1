#include "networkmanager.h"

#include <QNetworkAccessManager>
#include <QNetworkConfiguration>

#include <limits>

QNetworkAccessManager *newNetworkManager(QObject *parent)
{
    // Read by Qt once, when the first manager starts the bearer; an administrator's own value
    // stands.
    static const bool pollingOff = [] {
        if (!qEnvironmentVariableIsSet("QT_BEARER_POLL_TIMEOUT"))
            qputenv("QT_BEARER_POLL_TIMEOUT", QByteArray::number(std::numeric_limits<int>::max()));
        return true;
    }();
    Q_UNUSED(pollingOff)

    auto *manager = new QNetworkAccessManager(parent);
    // An invalid configuration pins the manager to "no bearer session" for good.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    manager->setConfiguration(QNetworkConfiguration());
    QT_WARNING_POP
    return manager;
}

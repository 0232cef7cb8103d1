#include "childenvironment.h"

QProcessEnvironment childEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_BEARER_POLL_TIMEOUT");
    environment.remove("DESKTOP_AUTOSTART_ID");
    return environment;
}

#pragma once

class QNetworkAccessManager;
class QObject;

// A network manager for the requests to the domain server. Qt 5.15's manager makes a bearer
// session when its bearer reports the network going on- or offline, and then holds every request
// to a host other than this machine until that session opens, so a stale bearer view can keep the
// agent "offline" whatever the real network does. This manager never makes one: each request goes
// straight to its socket, and whether the server is reachable is decided by the connection itself.
// Qt's bearer polls the interfaces every 10 s while a manager exists; that polling is switched off
// for the whole process, since nothing here depends on it any more.
QNetworkAccessManager *newNetworkManager(QObject *parent);

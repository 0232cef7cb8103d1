#pragma once

#include <QMap>
#include <QMutex>
#include <QNetworkRequest>
#include <QObject>
#include <QString>

class QByteArray;
class QNetworkAccessManager;

// The policy kinds the domain server prescribes, by their wire names in PolicyMap.
enum PolicyType {
    POLICY_SSH = 0,
    POLICY_USB = 1,
    POLICY_USB_STORAGE = 2,
    POLICY_WALLPAPER = 3,
    POLICY_FIREWALLD = 4,
    POLICY_FIREWALLD_LEVEL = 5,
    POLICY_IDLE_DELAY = 6,
};

extern const QMap<QString, PolicyType> PolicyMap;

// The answer of one policy query. A failed query keeps the initial values (policyType aside),
// so that nothing is enforced from it.
struct HttpResult {
    int code = 0;
    bool success = false;
    bool switchStatus = false;
    QString policyType;
    QString value;
    int valueType = 1;  // 3: value holds text (the wallpaper)
    QString wallpaperUrl;
};

// The client of the domain server's policy endpoint. Every query sends one GET and waits for
// the answer in a local event loop, bounded by the time limit.
class HttpProxy : public QObject
{
    Q_OBJECT

public:
    explicit HttpProxy(QObject *parent = nullptr);

    HttpResult getHttpReply(const QString &url, const QString &type);

    HttpResult getSSHPolicy();
    HttpResult getUSBPolicy();
    HttpResult getUSBStoragePolicy();
    HttpResult getWallPaperPolicy();
    HttpResult getFirewallldPolicy();
    HttpResult getFirewalldLevelPolicy();
    HttpResult getIdeldelayPolicy();

    // A query without an answer within this many milliseconds counts as a network error.
    static constexpr int DefaultTimeLimitMs = 30000;
    void setTimeLimit(int ms);
    int timeLimit() const;

private:
    HttpResult query(const QString &url, const QString &type);
    static void readReply(const QByteArray &body, const QString &type, HttpResult &result);
    bool exchangeRunning() const;
    void waitForExchangeInFlight();
    QNetworkAccessManager *network();

    QString hostname;
    QNetworkRequest request;
    QNetworkAccessManager *manager = nullptr;  // made on the first query
    QMutex mutex;
    QString policyUrl;
    int m_timeLimitMs = DefaultTimeLimitMs;
};

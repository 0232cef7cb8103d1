#pragma once

#include <QCoroTask>
#include <QMap>
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

// The client of the domain server's policy endpoint. Every query sends one GET and awaits the
// answer, bounded by the time limit; queries run one at a time.
class HttpProxy : public QObject
{
    Q_OBJECT

public:
    explicit HttpProxy(QObject *parent = nullptr);

    QCoro::Task<HttpResult> getHttpReply(QString url, QString type);

    QCoro::Task<HttpResult> getSSHPolicy();
    QCoro::Task<HttpResult> getUSBPolicy();
    QCoro::Task<HttpResult> getUSBStoragePolicy();
    QCoro::Task<HttpResult> getWallPaperPolicy();
    QCoro::Task<HttpResult> getFirewallldPolicy();
    QCoro::Task<HttpResult> getFirewalldLevelPolicy();
    QCoro::Task<HttpResult> getIdeldelayPolicy();

    // A query without an answer within this many milliseconds counts as a network error.
    static constexpr int DefaultTimeLimitMs = 30000;
    void setTimeLimit(int ms);
    int timeLimit() const;

signals:
    // The query in flight has ended; a query waiting for its turn may go.
    void exchangeEnded();

private:
    QCoro::Task<HttpResult> query(QString url, QString type);
    static void readReply(const QByteArray &body, const QString &type, HttpResult &result);
    QNetworkAccessManager *network();

    QString hostname;
    QNetworkRequest request;
    QNetworkAccessManager *manager = nullptr;  // made on the first query
    bool m_querying = false;  // the query lock: one exchange with the server at a time
    QString policyUrl;
    int m_timeLimitMs = DefaultTimeLimitMs;
};

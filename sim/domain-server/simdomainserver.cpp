#include "simdomainserver.h"

#include <httplib.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

const char *const JsonType = "application/json";
const char *const ControlPrefix = "/__sim/";
const QStringList Faults{"", "none", "delay", "hang", "http500", "notjson"};
const QStringList Endpoints{"login", "policy", "ping", "check_hostname", "terminal_version"};

// Enough threads that requests held by "hang" faults do not starve the others.
constexpr size_t ServerThreads = 64;

struct Route {
    const char *method;
    const char *pattern;  // a regular expression over the request path
    const char *endpoint;
};
const Route Routes[] = {
    {"POST", "/mainapi/device/login/", "login"},
    {"GET", "/mainapi/device/sync/policy/[^/]*/", "policy"},
    {"GET", "/mainapi/device/ping/", "ping"},
    {"GET", "/mainapi/system/terminal/check_hostname/", "check_hostname"},
    {"GET", "/mainapi/system/terminal/terminal_version/", "terminal_version"},
};

QString text(const std::string &s) { return QString::fromStdString(s); }

QByteArray compact(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QJsonObject envelope(const QJsonObject &data) { return QJsonObject{{"data", data}}; }

// An empty text when the reply description is usable, else what is wrong with it.
QString replyProblem(const QString &where, const QJsonValue &reply)
{
    if (!reply.isObject())
        return where + " is not an object";
    const QJsonValue fault = reply.toObject().value("fault");
    if (!fault.isUndefined() && (!fault.isString() || !Faults.contains(fault.toString())))
        return where + " has an unknown fault (known: delay, hang, http500, notjson)";
    return QString();
}

QString scenarioProblem(const QJsonObject &scenario)
{
    for (auto it = scenario.begin(); it != scenario.end(); ++it) {
        if (!Endpoints.contains(it.key()))
            return "unknown endpoint \"" + it.key() + "\" (known: " + Endpoints.join(", ") + ")";
        if (it.key() != "policy") {
            const QString problem = replyProblem(it.key(), it.value());
            if (!problem.isEmpty())
                return problem;
            continue;
        }
        if (!it.value().isObject())
            return "policy is not an object of replies by policy name";
        const QJsonObject policies = it.value().toObject();
        for (auto p = policies.begin(); p != policies.end(); ++p) {
            const QString problem = replyProblem("policy \"" + p.key() + "\"", p.value());
            if (!problem.isEmpty())
                return problem;
        }
    }
    return QString();
}

// Replaces the endpoints named in part; "policy" is merged policy by policy.
void mergeInto(QJsonObject &scenario, const QJsonObject &part)
{
    for (auto it = part.begin(); it != part.end(); ++it) {
        if (it.key() != "policy") {
            scenario.insert(it.key(), it.value());
            continue;
        }
        QJsonObject policies = scenario.value("policy").toObject();
        const QJsonObject added = it.value().toObject();
        for (auto p = added.begin(); p != added.end(); ++p)
            policies.insert(p.key(), p.value());
        scenario.insert("policy", policies);
    }
}

}  // namespace

struct SimDomainServer::Private {
    httplib::Server server;
    std::thread listener;
    int port = -1;

    mutable std::mutex mutex;
    std::condition_variable released;
    bool stopping = false;
    QJsonObject scenario = SimDomainServer::defaultScenario();
    QJsonArray requests;

    QString apply(const QJsonObject &part, bool merge);
    void serve(const httplib::Request &req, httplib::Response &res);
    void control(const httplib::Request &req, httplib::Response &res);
    void record(const httplib::Request &req, const QString &endpoint);
    QJsonObject replyFor(const QString &endpoint, const httplib::Request &req) const;
    void answer(const QJsonObject &reply, httplib::Response &res);
    // Waits up to ms (for ever when ms < 0); false when the server stops meanwhile.
    bool holdUnlessStopping(int ms);
};

SimDomainServer::SimDomainServer()
    : d(new Private)
{
    d->server.new_task_queue = [] { return new httplib::ThreadPool(ServerThreads); };
    // Header and body go out in two writes; without this each answer waits for a delayed ACK.
    d->server.set_tcp_nodelay(true);
    const auto handler = [this](const httplib::Request &req, httplib::Response &res) { d->serve(req, res); };
    d->server.Get(".*", handler);
    d->server.Post(".*", handler);
    d->server.Put(".*", handler);
    d->server.Patch(".*", handler);
    d->server.Delete(".*", handler);
}

SimDomainServer::~SimDomainServer() { stop(); }

int SimDomainServer::start(int port, const std::string &host)
{
    if (d->listener.joinable())
        return d->port;
    d->port = port == 0 ? d->server.bind_to_any_port(host) : (d->server.bind_to_port(host, port) ? port : -1);
    if (d->port < 0)
        return -1;
    d->listener = std::thread([this] { d->server.listen_after_bind(); });
    return d->port;
}

void SimDomainServer::stop()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = true;
    }
    d->released.notify_all();
    d->server.stop();
    if (d->listener.joinable())
        d->listener.join();
}

int SimDomainServer::port() const { return d->port; }

QString SimDomainServer::setScenario(const QJsonObject &scenario) { return d->apply(scenario, false); }

QString SimDomainServer::mergeScenario(const QJsonObject &part) { return d->apply(part, true); }

QJsonObject SimDomainServer::scenario() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->scenario;
}

QJsonArray SimDomainServer::requests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->requests;
}

void SimDomainServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->requests = QJsonArray();
}

QJsonObject SimDomainServer::defaultScenario()
{
    const QJsonObject policyOff = envelope({{"code", 200}, {"success", true}, {"switch_status", 0}, {"policy", 0}});
    return QJsonObject{
        {"login", QJsonObject{{"body", QJsonObject{{"code", 200}, {"msg", "login recorded"}}}}},
        {"policy", QJsonObject{{"*", QJsonObject{{"body", policyOff}}}}},
        {"ping", QJsonObject{{"body", "pong"}}},
        {"check_hostname", QJsonObject{{"body", envelope({{"code", 200}, {"msg", "hostname accepted"}})}}},
        {"terminal_version",
         QJsonObject{{"body", envelope({{"code", 200}, {"kiv4-ver", "4.0.0"}, {"kiv5-ver", "5.0.0"}})}}},
    };
}

QString SimDomainServer::Private::apply(const QJsonObject &part, bool merge)
{
    const QString problem = scenarioProblem(part);
    if (!problem.isEmpty())
        return problem;
    std::lock_guard<std::mutex> lock(mutex);
    if (merge)
        mergeInto(scenario, part);
    else
        scenario = part;
    return QString();
}

void SimDomainServer::Private::serve(const httplib::Request &req, httplib::Response &res)
{
    if (req.path.rfind(ControlPrefix, 0) == 0) {
        control(req, res);
        return;
    }
    QString endpoint;
    bool pathKnown = false;
    for (const Route &route : Routes) {
        if (!std::regex_match(req.path, std::regex(route.pattern)))
            continue;
        pathKnown = true;
        if (req.method == route.method)
            endpoint = route.endpoint;
    }
    record(req, endpoint);
    if (endpoint.isEmpty()) {
        res.status = pathKnown ? 405 : 404;
        res.set_content(compact({{"detail", pathKnown ? "method not allowed" : "no such endpoint"}}).toStdString(),
                        JsonType);
        return;
    }
    const QJsonObject reply = replyFor(endpoint, req);
    if (reply.isEmpty()) {
        res.status = 404;
        res.set_content(compact({{"detail", "no reply for " + endpoint + " in the scenario"}}).toStdString(),
                        JsonType);
        return;
    }
    answer(reply, res);
}

void SimDomainServer::Private::record(const httplib::Request &req, const QString &endpoint)
{
    QJsonObject headers;
    for (const auto &header : req.headers) {
        // httplib adds the peer's address as pseudo headers; they were not sent.
        if (header.first == "REMOTE_ADDR" || header.first == "REMOTE_PORT" || header.first == "LOCAL_ADDR"
            || header.first == "LOCAL_PORT")
            continue;
        const QString name = text(header.first);
        const QString previous = headers.value(name).toString();
        headers.insert(name, previous.isEmpty() ? text(header.second) : previous + ", " + text(header.second));
    }
    QJsonObject params;
    for (const auto &param : req.params)
        params.insert(text(param.first), text(param.second));
    const std::string::size_type mark = req.target.find('?');
    const QJsonObject entry{
        {"method", text(req.method)},
        {"path", text(req.path)},
        {"query", mark == std::string::npos ? QString() : text(req.target.substr(mark + 1))},
        {"params", params},
        {"headers", headers},
        {"body", text(req.body)},
        {"endpoint", endpoint},
        {"received_ms", double(QDateTime::currentMSecsSinceEpoch())},
    };
    std::lock_guard<std::mutex> lock(mutex);
    requests.append(entry);
}

QJsonObject SimDomainServer::Private::replyFor(const QString &endpoint, const httplib::Request &req) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const QJsonValue reply = scenario.value(endpoint);
    if (endpoint != "policy")
        return reply.toObject();
    const QJsonObject policies = reply.toObject();
    const QString name = text(req.get_param_value("policy_type"));
    return policies.contains(name) ? policies.value(name).toObject() : policies.value("*").toObject();
}

bool SimDomainServer::Private::holdUnlessStopping(int ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (ms < 0) {
        released.wait(lock, [this] { return stopping; });
        return false;
    }
    return !released.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
}

void SimDomainServer::Private::answer(const QJsonObject &reply, httplib::Response &res)
{
    const QString fault = reply.value("fault").toString();
    const int delayMs = reply.value("delay_ms").toInt();
    if ((delayMs > 0 && !holdUnlessStopping(delayMs)) || (fault == "hang" && !holdUnlessStopping(-1))) {
        res.status = 503;
        return;
    }
    if (fault == "http500") {
        res.status = 500;
        res.set_content(compact({{"detail", "internal server error"}}).toStdString(), JsonType);
        return;
    }
    res.status = reply.value("status").toInt(200);
    if (fault == "notjson") {
        res.set_content("<html><body>502 Bad Gateway</body></html>", "text/html");
        return;
    }
    const QJsonValue body = reply.value("body");
    std::string content;
    std::string type = JsonType;
    if (body.isString()) {
        content = body.toString().toStdString();
        type = "text/plain";
    } else if (body.isObject()) {
        content = compact(body.toObject()).toStdString();
    } else if (body.isArray()) {
        content = QJsonDocument(body.toArray()).toJson(QJsonDocument::Compact).toStdString();
    } else if (!body.isUndefined() && !body.isNull()) {
        // A bare number or boolean: sent as its JSON text.
        content = QJsonDocument(QJsonArray{body}).toJson(QJsonDocument::Compact).toStdString();
        content = content.substr(1, content.size() - 2);
    }
    if (reply.contains("content_type"))
        type = reply.value("content_type").toString().toStdString();
    res.set_content(content, type.c_str());
}

void SimDomainServer::Private::control(const httplib::Request &req, httplib::Response &res)
{
    const auto reject = [&res](int status, const QString &detail) {
        res.status = status;
        res.set_content(compact({{"detail", detail}}).toStdString(), JsonType);
    };
    if (req.path == "/__sim/requests") {
        if (req.method == "GET") {
            std::lock_guard<std::mutex> lock(mutex);
            res.set_content(compact({{"requests", requests}}).toStdString(), JsonType);
        } else if (req.method == "DELETE") {
            std::lock_guard<std::mutex> lock(mutex);
            requests = QJsonArray();
            res.set_content(compact({{"cleared", true}}).toStdString(), JsonType);
        } else {
            reject(405, "GET or DELETE");
        }
        return;
    }
    if (req.path != "/__sim/scenario") {
        reject(404, "control endpoints: /__sim/scenario, /__sim/requests");
        return;
    }
    if (req.method == "GET") {
        std::lock_guard<std::mutex> lock(mutex);
        res.set_content(compact(scenario).toStdString(), JsonType);
        return;
    }
    if (req.method == "DELETE") {
        std::lock_guard<std::mutex> lock(mutex);
        scenario = SimDomainServer::defaultScenario();
        res.set_content(compact(scenario).toStdString(), JsonType);
        return;
    }
    if (req.method != "PUT" && req.method != "PATCH") {
        reject(405, "GET, PUT, PATCH or DELETE");
        return;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(req.body), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        reject(400, "the scenario must be a JSON object: " + error.errorString());
        return;
    }
    const QString problem = apply(document.object(), req.method == "PATCH");
    if (!problem.isEmpty()) {
        reject(400, problem);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    res.set_content(compact(scenario).toStdString(), JsonType);
}

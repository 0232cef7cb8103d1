// Answers to the service's D-Bus callers: a call that arrives while the service is still
// starting waits for it, and a log-in script is answered before its own reply limit runs out.
#include "session_dbus_interface.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>

#include <memory>

#include "log.h"

namespace {
// One caller's answer, sent once: by the work when it ends, or by the time limit before that.
class PendingAnswer
{
public:
    PendingAnswer(const QDBusConnection &bus, const QDBusMessage &call)
        : m_bus(bus)
        , m_call(call)
    {
    }

    void send(const QVariant &value)
    {
        if (m_sent)
            return;
        m_sent = true;
        m_bus.send(value.isValid() ? m_call.createReply(value) : m_call.createReply());
    }
    QString member() const { return m_call.member(); }

private:
    QDBusConnection m_bus;
    QDBusMessage m_call;
    bool m_sent = false;
};

// Runs the work and answers with its result, unless the limit answered first.
QCoro::Task<> deliver(std::shared_ptr<PendingAnswer> answer, std::function<QCoro::Task<QVariant>()> work,
                      std::shared_ptr<QTimer> limit)
{
    const QVariant result = co_await work();
    if (limit)
        limit->stop();
    answer->send(result);
}
}  // namespace

void session_dbus_interface::answerLater(std::function<QCoro::Task<QVariant>()> work, QVariant fallback)
{
    setDelayedReply(true);
    const auto answer = std::make_shared<PendingAnswer>(connection(), message());
    std::shared_ptr<QTimer> limit;
    if (fallback.isValid()) {
        limit = std::make_shared<QTimer>();
        limit->setSingleShot(true);
        connect(limit.get(), &QTimer::timeout, this, [answer, fallback] {
            Log::GetInstance()->SaveFileLog(LOG_WARN, "%s: no result within %d ms, the caller gets an empty answer",
                                            answer->member().toUtf8().constData(), int(CallerAnswerLimitMs));
            answer->send(fallback);
        });
        // Counted from the call's arrival, also while it is held for the start-up.
        limit->start(CallerAnswerLimitMs);
    }
    // The limit goes with the answer: an idle agent keeps no timer of a call long answered.
    const auto run = [answer, work, limit] { deliver(answer, work, limit); };
    if (m_started)
        run();
    else
        m_heldCalls.append(run);
}

#include "reportretry.h"

#include <QRandomGenerator>
#include <QTimer>

void ReportRetry::failed()
{
    if (!m_timer) {
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, &ReportRetry::due);
    }
    const int half = m_intervalMs / 2;
    m_timer->start(half + int(QRandomGenerator::global()->bounded(quint32(m_intervalMs - half + 1))));
    m_intervalMs = qMin(2 * m_intervalMs, LongestIntervalMs);
}

void ReportRetry::sent()
{
    delete m_timer;
    m_timer = nullptr;
    m_intervalMs = FirstIntervalMs;
}

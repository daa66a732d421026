// The replay's timing: every step that may change what is due (the start,
// a read, a send) ends in advance(), which posts one readyRead for the tab
// when output is due, arms a timer when it is not yet, and posts the exit
// once the recording has been played to its end.
#include "replay_source.h"

#include <cmath>

ReplaySource::ReplaySource(const Recording &recording, double speed, QObject *parent)
    : TabProgram(parent), m_gate(recording.events), m_speed(speed)
{
    m_dueTimer.setSingleShot(true);
    m_dueTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_dueTimer, &QTimer::timeout, this, &ReplaySource::advance);
}

bool ReplaySource::start(const QString &, QSize, QString *)
{
    m_started = true;
    m_clock.start();
    advance();
    return true;
}

qint64 ReplaySource::msUntilDue() const
{
    if (m_speed <= 0)
        return 0;
    const double dueMs = m_anchorMs + (m_gate.nextTime() - m_anchorTime) * 1000 / m_speed;
    return std::max<qint64>(0, static_cast<qint64>(std::ceil(dueMs)) - m_clock.elapsed());
}

void ReplaySource::read(QByteArray &burst, qsizetype budget)
{
    while (running() && burst.size() < budget && m_gate.next() == ReplayGate::Next::Output && msUntilDue() == 0)
        burst.append(m_gate.takeOutput().data);
    advance();
}

void ReplaySource::write(const QByteArray &bytes)
{
    if (!running())
        return;
    m_gate.sent(bytes);
    advance();
}

void ReplaySource::advance()
{
    if (!running())
        return;
    if (m_gate.failed()) {
        // The playback stops where it failed; the host ends the run.
        if (!m_reported) {
            m_reported = true;
            Q_EMIT mismatch(ReplayGate::describe(m_gate.mismatch()));
        }
        return;
    }
    if (m_gate.gatesPassed() != m_anchorGates) {
        m_anchorGates = m_gate.gatesPassed();
        m_anchorMs = m_clock.elapsed();
        m_anchorTime = m_gate.time();
    }
    switch (m_gate.next()) {
    case ReplayGate::Next::Gate:
        return;
    case ReplayGate::Next::End:
        QTimer::singleShot(0, this, &ReplaySource::end);
        return;
    case ReplayGate::Next::Output:
        break;
    }
    const qint64 wait = msUntilDue();
    if (wait > 0) {
        m_dueTimer.start(static_cast<int>(std::min<qint64>(wait, 24 * 3600 * 1000)));
        return;
    }
    // One notice at a time, as a terminal that has something to read.
    if (m_notifyPosted)
        return;
    m_notifyPosted = true;
    QTimer::singleShot(0, this, [this] {
        m_notifyPosted = false;
        if (running() && m_gate.next() == ReplayGate::Next::Output)
            Q_EMIT readyRead();
    });
}

void ReplaySource::end()
{
    if (!running())
        return;
    m_exited = true;
    m_dueTimer.stop();
    Q_EMIT exited();
}

void ReplaySource::hangUp(int)
{
    QTimer::singleShot(0, this, &ReplaySource::end);
}

void ReplaySource::terminate()
{
    m_exited = true;
    m_dueTimer.stop();
}

// The gate: a position in the recording and the bytes the script has sent
// since the last gate passed. Both settle after every output taken and
// every send, so a send that arrives before its gate is reached is judged
// when the outputs before the gate have been released.
#include "replay_gate.h"

#include <QStringDecoder>

ReplayGate::ReplayGate(QList<RecordedEvent> events)
    : m_events(std::move(events))
{
    settle();
}

ReplayGate::Next ReplayGate::next() const
{
    if (m_next >= m_events.size())
        return Next::End;
    return m_events.at(m_next).kind == 'i' ? Next::Gate : Next::Output;
}

double ReplayGate::nextTime() const
{
    if (m_events.isEmpty())
        return 0;
    return m_events.at(std::min(m_next, m_events.size() - 1)).time;
}

const RecordedEvent &ReplayGate::takeOutput()
{
    const RecordedEvent &event = m_events.at(m_next++);
    m_time = event.time;
    settle();
    return event;
}

bool ReplayGate::sent(const QByteArray &bytes)
{
    if (m_failed)
        return false;
    m_collected.append(bytes);
    settle();
    return !m_failed;
}

void ReplayGate::settle()
{
    while (!m_failed && !m_collected.isEmpty()) {
        const Next next = this->next();
        if (next == Next::Output)
            return;
        if (next == Next::End) {
            fail(QByteArray(), 0);
            return;
        }
        const RecordedEvent &gate = m_events.at(m_next);
        if (m_collected.startsWith(gate.data)) {
            m_collected.remove(0, gate.data.size());
            m_time = gate.time;
            ++m_next;
            ++m_gatesPassed;
            continue;
        }
        if (!gate.data.startsWith(m_collected))
            fail(gate.data, static_cast<int>(m_next) + 1);
        return;
    }
    // Gates of no bytes (never written, but a file may hold them) pass by themselves.
    while (!m_failed && next() == Next::Gate && m_events.at(m_next).data.isEmpty())
        m_time = m_events.at(m_next++).time, ++m_gatesPassed;
}

void ReplayGate::fail(const QByteArray &expected, int event)
{
    m_failed = true;
    m_mismatch.event = event;
    m_mismatch.line = event > 0 ? m_events.at(event - 1).line : 0;
    m_mismatch.time = event > 0 ? m_events.at(event - 1).time : m_time;
    m_mismatch.expected = expected;
    m_mismatch.sent = m_collected;
}

QString ReplayGate::describe(const Mismatch &mismatch)
{
    const QString time = QString::number(mismatch.time, 'f', 6);
    if (mismatch.event == 0)
        return QStringLiteral("the end of the recording (%1 s): expected nothing more, sent \"%2\"").arg(time, escaped(mismatch.sent));
    return QStringLiteral("event %1 (line %2, %3 s): expected \"%4\", sent \"%5\"")
        .arg(mismatch.event)
        .arg(mismatch.line)
        .arg(time, escaped(mismatch.expected), escaped(mismatch.sent));
}

QString ReplayGate::escaped(const QByteArray &bytes)
{
    QString out;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    for (qsizetype i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes.at(i));
        switch (c) {
        case '\r': out += QLatin1String("\\r"); ++i; continue;
        case '\n': out += QLatin1String("\\n"); ++i; continue;
        case '\t': out += QLatin1String("\\t"); ++i; continue;
        case '\\': out += QLatin1String("\\\\"); ++i; continue;
        case '"': out += QLatin1String("\\\""); ++i; continue;
        case 0x1b: out += QLatin1String("\\e"); ++i; continue;
        default: break;
        }
        // A whole UTF-8 sequence is shown as its character; a byte that
        // starts none is shown as a number.
        const int length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (c >= 0x20 && c != 0x7f && length > 0 && i + length <= bytes.size()) {
            const QString character = decoder.decode(QByteArrayView(bytes.constData() + i, length));
            if (!decoder.hasError() && !character.contains(QChar::ReplacementCharacter)) {
                out += character;
                i += length;
                continue;
            }
            decoder.resetState();
        }
        out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        ++i;
    }
    return out;
}

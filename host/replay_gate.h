// The order of a replay: outputs are released in recorded order, and each
// recorded input is a gate that holds everything after it until the script
// has sent exactly those bytes. What the script sends is collected across
// sends: a gate passes once the collected bytes begin with its bytes (the
// rest waits for the next gate), and the replay fails as soon as the
// collected bytes can no longer become the gate's. Bytes still collected
// when the recording ends are a failure too: the recorded program never got
// them.
#pragma once

#include "recording.h"

#include <QByteArray>
#include <QList>
#include <QString>

class ReplayGate {
public:
    enum class Next { Output, Gate, End };

    struct Mismatch {
        int event = 0;           // 1-based, counting the recording's events; 0: at its end
        int line = 0;            // in the file; 0: at its end
        double time = 0;         // recorded seconds
        QByteArray expected;     // empty: the end of the recording
        QByteArray sent;
    };

    explicit ReplayGate(QList<RecordedEvent> events);

    Next next() const;
    // The output that is next; only when next() is Output. Passes it.
    const RecordedEvent &takeOutput();
    // Collects bytes the script sent and passes the gates they complete.
    // Returns false once the replay has failed.
    bool sent(const QByteArray &bytes);

    bool failed() const { return m_failed; }
    const Mismatch &mismatch() const { return m_mismatch; }
    // Gates passed so far.
    int gatesPassed() const { return m_gatesPassed; }
    // The recorded time of the last event passed.
    double time() const { return m_time; }
    // Recorded time of the next event (the last one's at the end).
    double nextTime() const;

    // event 7 (line 8, 1.250000 s): expected "ls\r", sent "pwd\r"
    static QString describe(const Mismatch &mismatch);
    // Bytes as a C string literal's body: \r, \n, \t, \\, \", \e and \xNN
    // for other control bytes and bytes that are not UTF-8.
    static QString escaped(const QByteArray &bytes);

private:
    // Passes every gate that the collected bytes complete, and fails when
    // they cannot become the gate's or outlive the recording.
    void settle();
    void fail(const QByteArray &expected, int event);

    QList<RecordedEvent> m_events;
    qsizetype m_next = 0;
    QByteArray m_collected;
    double m_time = 0;
    int m_gatesPassed = 0;
    bool m_failed = false;
    Mismatch m_mismatch;
};

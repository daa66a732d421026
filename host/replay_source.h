// A recording played back in place of a tab's program. Output is handed to
// the tab as the program's would be, in recorded order; each recorded input
// holds the playback until the script has sent those bytes, and a send that
// differs is reported once as a mismatch. At the end of the recording the
// "program" exits. Without a speed every output is there to read at once;
// with one, the recorded gaps are kept, divided by it.
#pragma once

#include "recording.h"
#include "replay_gate.h"
#include "tab_program.h"

#include <QElapsedTimer>
#include <QTimer>

class ReplaySource : public TabProgram {
    Q_OBJECT
public:
    // `speed` 0: no delays.
    ReplaySource(const Recording &recording, double speed, QObject *parent = nullptr);

    // The command is not run: the recording stands in for it.
    bool start(const QString &command, QSize size, QString *error) override;
    bool started() const override { return m_started; }
    bool running() const override { return m_started && !m_exited; }
    bool hasExited() const override { return m_exited; }
    bool readable() const override { return running(); }
    void read(QByteArray &burst, qsizetype budget) override;
    void write(const QByteArray &bytes) override;
    // The recording already holds how the program took the terminal's answers.
    void answer(const QByteArray &) override {}
    double sessionTime() const override { return m_gate.time(); }
    void hangUp(int graceMs) override;
    void terminate() override;

Q_SIGNALS:
    // The script sent something the recording does not hold there.
    void mismatch(const QString &message);

private:
    // Milliseconds until the next output is due; 0: now.
    qint64 msUntilDue() const;
    // Tells the tab about what is due, waits for what is not, reports a
    // mismatch, and ends the program at the end of the recording.
    void advance();
    void end();

    ReplayGate m_gate;
    double m_speed;
    bool m_started = false;
    bool m_exited = false;
    bool m_reported = false;
    bool m_notifyPosted = false;
    // Gaps count from the start or from the last gate passed.
    QElapsedTimer m_clock;
    qint64 m_anchorMs = 0;
    double m_anchorTime = 0;
    int m_anchorGates = 0;
    QTimer m_dueTimer;
};

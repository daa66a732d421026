// A child process on a pseudo-terminal: started with forkpty as the leader of
// its own session, read and written through the non-blocking master side,
// its exit seen through a process descriptor (or a poll where the kernel has
// none), and ended by signalling every process of its session.
#pragma once

#include "tab_program.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSize>
#include <QString>

class QSocketNotifier;
class QTimer;

class PtyProcess : public TabProgram {
    Q_OBJECT
public:
    explicit PtyProcess(QObject *parent = nullptr);
    // Kills what is left of the session and reaps the child.
    ~PtyProcess() override;

    // Runs `command` with /bin/sh -c, or the user's shell when it is empty,
    // on a terminal of `size`.
    bool start(const QString &command, QSize size, QString *error) override;
    bool started() const override { return m_pid > 0; }
    bool running() const override { return m_pid > 0 && !m_exited; }
    bool hasExited() const override { return m_exited; }
    std::optional<int> waitStatus() const override { return m_exited ? std::optional<int>(m_waitStatus) : std::nullopt; }
    // The terminal can still be read: started, and not yet at its end.
    bool readable() const override;
    // Appends what the terminal holds to `burst` until it holds `budget`
    // bytes or nothing is left to read; at the end of the terminal, stops
    // reading for good.
    void read(QByteArray &burst, qsizetype budget) override;
    // Writes to the child, as far as it takes it now and the rest when it
    // can; nothing once it has exited.
    void write(const QByteArray &bytes) override;
    double sessionTime() const override { return m_clock.isValid() ? m_clock.nsecsElapsed() / 1e9 : 0; }

    // Tells the terminal (and so the child, by SIGWINCH) its new size.
    void resize(QSize size) override;

    // Hang-up to the child's process group, then kill what is left after
    // `graceMs`.
    void hangUp(int graceMs) override;
    // Ends every process of the child's session now (host shutdown).
    void terminate() override;

private:
    void childGone();
    void flushPending();
    void killSession(int signal) const;

    int m_master = -1;
    int m_pidFd = -1;
    qint64 m_pid = -1;
    bool m_exited = false;
    bool m_sessionEnded = false;    // no process of the session is left
    int m_waitStatus = 0;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QSocketNotifier *m_exitNotifier = nullptr;
    QTimer *m_exitPoll = nullptr;
    QTimer *m_killTimer = nullptr;
    QByteArray m_pendingWrite;      // what the child has not taken yet
    QElapsedTimer m_clock;          // since the start
};

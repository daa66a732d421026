// What a tab runs: the program behind its terminal, seen only as bytes out
// (read in bursts), bytes in and an exit. A child on a pseudo-terminal is one
// kind; a replayed recording is another, so that the screen, the stream and
// every read behave the same whichever is behind the tab.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSize>
#include <QString>

#include <optional>

class TabProgram : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts `command` (empty: the user's shell) on a terminal of `size`.
    virtual bool start(const QString &command, QSize size, QString *error) = 0;
    virtual bool started() const = 0;
    virtual bool running() const = 0;
    virtual bool hasExited() const = 0;
    // How the program ended, as waitpid reports it, once it has exited;
    // nothing where that is not known.
    virtual std::optional<int> waitStatus() const { return std::nullopt; }
    // There may still be something to read: started, and not yet at its end.
    virtual bool readable() const = 0;
    // Appends what the program has printed to `burst` until it holds
    // `budget` bytes or nothing more is there now.
    virtual void read(QByteArray &burst, qsizetype budget) = 0;
    // What the script types; nothing once the program has exited.
    virtual void write(const QByteArray &bytes) = 0;
    // What the terminal itself sends: answers to the program's queries, a
    // ZMODEM transfer's data.
    virtual void answer(const QByteArray &bytes) { write(bytes); }
    // Tells the program its terminal's new size.
    virtual void resize(QSize) {}
    // Seconds into the session, for its recording.
    virtual double sessionTime() const = 0;

    // Hang-up, then kill what is left after `graceMs`.
    virtual void hangUp(int graceMs) = 0;
    // Ends the program now (host shutdown).
    virtual void terminate() = 0;

Q_SIGNALS:
    // There is something to read.
    void readyRead();
    // The program has exited.
    void exited();
};

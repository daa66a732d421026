// One tab of the host, a thin composition: the program (a child on its
// pseudo-terminal, or a replayed recording), the screen, the received-text
// stream (decoded from the child's output and counted in UTF-16 units), echo
// tracking, the session log and a ZMODEM upload. What the child sends is
// read in bursts and handed to each of them; during an upload it goes to the
// upload alone. The script's tab may also record its session: each burst and
// each send, as they happen.
#pragma once

#include "asciicast_writer.h"
#include "echo_tracker.h"
#include "recording.h"
#include "screen.h"
#include "session_log.h"
#include "text_stream.h"
#include "zmodem_upload.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>

class TabProgram;

// How the script's tab records its session and what it replays instead of
// running its program; empty for every other tab.
struct Tape {
    std::shared_ptr<AsciicastWriter> recorder;   // null: no recording
    std::shared_ptr<const Recording> replay;     // null: run the program
    double replaySpeed = 0;                      // 0: no delays
};

class Tab : public QObject {
    Q_OBJECT
public:
    Tab(const QString &id, const QString &command, QSize size, qint64 keepBytes, QObject *parent = nullptr);
    ~Tab() override;

    // Set before start. A replay takes the recorded command, so that the
    // caption reads as it did.
    void setTape(Tape tape);
    // Starts the program, or the replay that stands in for it; a tab's
    // program starts when the script first addresses the tab, so that the
    // script sees all it prints.
    bool start(QString *error);
    bool started() const;

    QString id() const { return m_id; }
    QString command() const { return m_command; }
    QString profileId;              // empty: not started from a profile
    QJsonObject options;            // config.get / config.set
    QString captionOverride;        // set by the script; empty: the title

    QString caption() const;
    bool running() const;
    // "Connected" while the child runs, then how it ended ("Exited with
    // status 3", "Killed by signal 9").
    QString status() const;
    // The child's exit status as a shell reports it (128 + the signal).
    int exitCode() const;
    bool locked() const { return m_upload.active(); }
    bool logging() const { return m_log.active(); }
    QSize size() const { return m_size; }
    // Cursor position, 1-based: column in x, row in y.
    QPoint cursor() { return m_screen.cursor(); }

    // Reads what the child has written and not yet been taken in, one burst
    // at most; with `firstTextOnly`, no more than the first read that brings some.
    void drain(bool firstTextOnly = false);
    // A request waits for new text: reads hand it over as soon as there is some.
    void setWaitedOn(bool waitedOn) { m_waitedOn = waitedOn; }
    qint64 streamEnd() const { return m_stream.end(); }
    TextStream::Slice slice(qint64 position, qint64 maxJsonBytes) const { return m_stream.slice(position, maxJsonBytes); }
    // True while everything received since the last send is (the start of)
    // the terminal's echo of what was sent: the answer is still to come.
    bool onlyEchoSinceSend() const { return m_echo.onlyEcho(); }

    // Writes to the child; false once it has exited.
    bool send(const QByteArray &bytes);
    // `text` in the tab's character set: its option "encoding" is "CP437"
    // or UTF-8.
    QByteArray encode(const QString &text) const;
    QString region(int top, int left, int bottom, int right) { return m_screen.region(top, left, bottom, right); }
    void clearScreen() { m_screen.clear(); }
    // A new size for the screen and the child's terminal.
    void resize(QSize size);
    // Copies what the child sends, unchanged, to `fd` as it arrives (-1: to
    // nowhere); a ZMODEM upload's bytes are not copied.
    void setMirror(int fd) { m_mirror = fd; }
    void resetTerminal() { m_screen.reset(); }

    bool startLog(QString *error) { return m_log.start(options, error); }
    void stopLog() { m_log.stop(); }

    // ZMODEM upload through `sz`, wired to the pseudo-terminal while it runs.
    bool startUpload(const QStringList &files, QString *error);
    void cancelUpload() { m_upload.cancel(); }

    // Hang-up to the child's process group, then kill what is left after
    // `graceMs`.
    void hangUp(int graceMs);
    // Ends every process of the child's session now (host shutdown).
    void terminate();

Q_SIGNALS:
    void received();
    void exited();
    // The script sent what the replayed recording does not hold there.
    void replayFailed(const QString &message);

private:
    void take(const char *data, qint64 size);
    bool usesCp437() const;

    QString m_id;
    QString m_command;
    QSize m_size;
    QByteArray m_readBuffer;        // one burst of reads, kept for its capacity
    bool m_waitedOn = false;
    Tape m_tape;
    int m_mirror = -1;

    // Destroyed in reverse order: the upload's sender first, then the child,
    // then the emulator.
    Screen m_screen;
    QByteArray m_utf8Carry;         // a character cut at the end of a read
    TextStream m_stream;
    EchoTracker m_echo;
    SessionLog m_log;
    std::unique_ptr<TabProgram> m_process;  // from the start on
    ZmodemUpload m_upload;
};

// One tab of the host: a child process on a pseudo-terminal, the text it has
// sent (the received-text stream, counted in UTF-16 units), a terminal
// emulator for the screen and the cursor, the tab's log file and its ZMODEM
// upload.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <memory>

#include "vterm_guard.h"

class QProcess;
class QSocketNotifier;
class QTimer;
struct VTerm;
struct VTermScreen;

// Received text, held as UTF-8 in blocks so that old text can be dropped a
// block at a time and replies can be written without copying it.
class TextStream {
public:
    // A character boundary inside a block and its stream position, so that a
    // position is found without counting from the block's start.
    struct Mark {
        qsizetype offset = 0;
        qint64 position = 0;
    };
    struct Block {
        qint64 position = 0;   // stream position of the block's first unit
        QByteArray bytes;      // valid UTF-8, whole characters only
        QList<Mark> marks;     // a few hundred bytes apart or more, in order
    };
    // A run of held text: the blocks it lies in and where it begins and ends.
    struct Piece {
        QByteArray bytes;          // shared with the stream, never copied
        qsizetype from = 0;        // first byte of the piece that belongs to the slice
    };
    struct Slice {
        QList<Piece> pieces;
        qint64 start = 0;          // stream position of the first unit
        qint64 end = 0;            // just past the last unit
        bool truncated = false;    // text from the asked position was dropped
    };

    explicit TextStream(qint64 keepBytes) : m_keep(keepBytes) {}

    // Appends `utf8`, which holds `units` UTF-16 units of text.
    void append(const QByteArray &utf8, qint64 units);
    qint64 end() const { return m_end; }
    qint64 heldFrom() const { return m_blocks.isEmpty() ? m_end : m_blocks.first().position; }
    // Text from `position` on, dropping its oldest part when the escaped JSON
    // of what is left would exceed `maxJsonBytes`.
    Slice slice(qint64 position, qint64 maxJsonBytes) const;

private:
    static void addMarks(Block &block, qsizetype from, qint64 position, bool oneUnitPerByte);

    QList<Block> m_blocks;
    qint64 m_end = 0;
    qint64 m_heldBytes = 0;
    qint64 m_keep;
};

// Tells escape sequences from text, one byte at a time, for the readers of
// terminal output below; keeps its state between pieces, so that a sequence
// split across reads is still recognised.
class EscapeParser {
public:
    enum class Step {
        Text,         // a byte outside any sequence
        Sequence,     // a byte that starts or continues a sequence
        CsiEnd,       // the final byte of a control sequence
        EscapeEnd,    // the final byte of a two-byte escape sequence
    };
    Step step(unsigned char c);
    // Parameter and intermediate bytes of the control sequence that just ended.
    const QByteArray &csiParameters() const { return m_csi; }
    void reset() { m_state = State::Text; }

private:
    enum class State { Text, Escape, Csi, String, StringEscape, Designation };
    State m_state = State::Text;
    QByteArray m_csi;
};

// Removes escape sequences from text on its way to a log file.
class EscapeFilter {
public:
    QByteArray filter(const QByteArray &bytes);

private:
    EscapeParser m_parser;
};

// Follows the escape sequences that decide how plain text scrolls (top and
// bottom margins, left and right margins), and where the text that no
// sequence is waiting on begins.
class ScrollTracker {
public:
    explicit ScrollTracker(int rows) : m_rows(rows) {}
    // Scans `bytes`; returns where its tail of plain text (printable
    // characters, CR and LF, outside any escape sequence) begins.
    qsizetype scan(const QByteArray &bytes);
    // Plain text scrolls the whole screen.
    bool wholeScreen() const { return m_wholeRegion && !m_sideMargins; }
    void reset() { resetMargins(); m_parser.reset(); }

private:
    void resetMargins() { m_wholeRegion = true; m_sideMargins = false; }
    void finishCsi(char final);
    EscapeParser m_parser;
    int m_rows;
    bool m_wholeRegion = true;
    bool m_sideMargins = false;
};

class Tab : public QObject {
    Q_OBJECT
public:
    Tab(const QString &id, const QString &command, QSize size, qint64 keepBytes, QObject *parent = nullptr);
    ~Tab() override;

    bool start(QString *error);

    QString id() const { return m_id; }
    QString command() const { return m_command; }
    QString profileId;              // empty: not started from a profile
    QJsonObject options;            // config.get / config.set
    QString captionOverride;        // set by the script; empty: the title

    QString caption() const;
    bool running() const { return m_pid > 0 && !m_exited; }
    bool locked() const { return m_transfer != nullptr; }
    bool logging() const { return m_log != nullptr; }
    QSize size() const { return m_size; }
    // Cursor position, 1-based: column in x, row in y.
    QPoint cursor();

    // Reads what the child has written and not yet been taken in, one burst
    // at most; with `firstTextOnly`, no more than the first read that brings some.
    void drain(bool firstTextOnly = false);
    // A request waits for new text: reads hand it over as soon as there is some.
    void setWaitedOn(bool waitedOn) { m_waitedOn = waitedOn; }
    qint64 streamEnd() const { return m_stream.end(); }
    TextStream::Slice slice(qint64 position, qint64 maxJsonBytes) const { return m_stream.slice(position, maxJsonBytes); }
    // True while everything received since the last send is (the start of)
    // the terminal's echo of what was sent: the answer is still to come.
    bool onlyEchoSinceSend() const;

    // Writes to the child; false once it has exited.
    bool send(const QByteArray &bytes);
    QString region(int top, int left, int bottom, int right);
    void clearScreen();
    void resetTerminal();

    bool startLog(QString *error);
    void stopLog();

    // ZMODEM upload through `sz`, wired to the pseudo-terminal while it runs.
    bool startUpload(const QStringList &files, QString *error);
    void cancelUpload();

    // Hang-up to the child's process group, then kill what is left after
    // `graceMs`.
    void hangUp(int graceMs);
    // Ends every process of the child's session now (host shutdown).
    void terminate();

Q_SIGNALS:
    void received();
    void exited();

private:
    // Brings the emulator up to date with what was received.
    void updateScreen();
    void take(const char *data, qint64 size);
    void childGone();
    void writeToChild(const QByteArray &bytes);
    void flushPending();
    void killSession(int signal) const;
    void finishUpload();
    static void outputCallback(const char *data, size_t size, void *user);
    friend void setTabTitle(Tab *tab, const char *title);

    QString m_id;
    QString m_command;
    QSize m_size;
    int m_master = -1;
    int m_pidFd = -1;
    qint64 m_pid = -1;
    bool m_exited = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QSocketNotifier *m_exitNotifier = nullptr;
    QTimer *m_exitPoll = nullptr;
    QTimer *m_killTimer = nullptr;
    QByteArray m_pendingWrite;      // what the child has not taken yet
    QByteArray m_readBuffer;        // one burst of reads, kept for its capacity
    bool m_waitedOn = false;

    VTerm *m_vterm = nullptr;
    VtermGuard m_vtermGuard; // every byte for m_vterm goes through it
    VTermScreen *m_screen = nullptr;
    QString m_title;
    // Received bytes not yet given to the emulator: it is fed in batches, so
    // that plain text that would scroll off the screen at once can be skipped.
    QByteArray m_screenPending;
    QTimer *m_screenTimer = nullptr;
    ScrollTracker m_scroll;

    QStringDecoder m_decoder{QStringDecoder::Utf8};
    TextStream m_stream;
    QByteArray m_expectedEcho;
    QByteArray m_sinceSend;

    std::unique_ptr<QFile> m_log;
    bool m_logRaw = false;
    EscapeFilter m_logFilter;

    QProcess *m_transfer = nullptr;
};

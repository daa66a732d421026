// One tab of the host, a thin composition: the child on its pseudo-terminal,
// the screen, the received-text stream (decoded from the child's output and
// counted in UTF-16 units), echo tracking, the session log and a ZMODEM
// upload. What the child sends is read in bursts and handed to each of them;
// during an upload it goes to the upload alone.
#pragma once

#include "echo_tracker.h"
#include "pty_process.h"
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
#include <QStringDecoder>
#include <QStringList>

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
    bool running() const { return m_process.running(); }
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
    QString region(int top, int left, int bottom, int right) { return m_screen.region(top, left, bottom, right); }
    void clearScreen() { m_screen.clear(); }
    void resetTerminal() { m_screen.reset(); }

    bool startLog(QString *error) { return m_log.start(options, error); }
    void stopLog() { m_log.stop(); }

    // ZMODEM upload through `sz`, wired to the pseudo-terminal while it runs.
    bool startUpload(const QStringList &files, QString *error);
    void cancelUpload() { m_upload.cancel(); }

    // Hang-up to the child's process group, then kill what is left after
    // `graceMs`.
    void hangUp(int graceMs) { m_process.hangUp(graceMs); }
    // Ends every process of the child's session now (host shutdown).
    void terminate() { m_process.terminate(); }

Q_SIGNALS:
    void received();
    void exited();

private:
    void take(const char *data, qint64 size);

    QString m_id;
    QString m_command;
    QSize m_size;
    QByteArray m_readBuffer;        // one burst of reads, kept for its capacity
    bool m_waitedOn = false;

    // Destroyed in reverse order: the upload's sender first, then the child,
    // then the emulator.
    Screen m_screen;
    QStringDecoder m_decoder{QStringDecoder::Utf8};
    TextStream m_stream;
    EchoTracker m_echo;
    SessionLog m_log;
    PtyProcess m_process;
    ZmodemUpload m_upload;
};

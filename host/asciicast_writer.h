// A session recording in the asciicast v2 format, written as the session
// goes: one header line (size, start time, command, TERM and SHELL), then one line per
// event, `[seconds, "o", text]` for what the program printed and
// `[seconds, "i", text]` for what the script sent. Every line reaches the
// file as soon as it is written, so a host that is ended at any moment leaves
// a complete file behind.
//
// The format holds text: each direction's bytes are decoded as UTF-8 on
// their own, a sequence split across two chunks is carried over to the next
// event whole, and bytes that are not UTF-8 (a ZMODEM transfer, say) are
// stored as U+FFFD, so that they never break the JSON of the line.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QSize>
#include <QString>

class AsciicastWriter {
public:
    struct Header {
        QSize size;
        qint64 timestamp = 0;     // seconds since the epoch
        QString command;
        QString shell;            // $SHELL; empty: not written
        QString term;
    };

    // Creates (or empties) the file at `path` and writes `header`.
    bool open(const QString &path, const Header &header, QString *error);
    bool isOpen() const { return m_file.isOpen(); }

    void output(double seconds, const char *data, qsizetype size) { event(seconds, m_outputCarry, "o", data, size); }
    void input(double seconds, const QByteArray &bytes) { event(seconds, m_inputCarry, "i", bytes.constData(), bytes.size()); }

    // The header and event lines as they are written.
    static QByteArray headerLine(const Header &header);
    static QByteArray eventLine(double seconds, const char *kind, const QString &text);

private:
    void event(double seconds, QByteArray &carry, const char *kind, const char *data, qsizetype size);

    QFile m_file;
    // The start of a sequence that the next chunk may finish, per direction.
    QByteArray m_outputCarry;
    QByteArray m_inputCarry;
};

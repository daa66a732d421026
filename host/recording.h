// A session recording read back from an asciicast v2 file: the header's
// size, command, SHELL and TERM, and the output ("o") and input ("i") events in
// file order with their times. Other event kinds (resizes, markers) are
// skipped; a line that is not valid makes the whole file refused, with its
// line number, so that a replay never runs on half a recording.
#pragma once

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>

#include <optional>

struct RecordedEvent {
    double time = 0;          // seconds since the start
    char kind = 'o';          // 'o': the program printed, 'i': the script sent
    QByteArray data;          // UTF-8
    int line = 0;             // line number in the file, 1-based
};

struct Recording {
    QSize size;
    QString command;
    QString shell;            // the recorded $SHELL: the command when none was given
    QString term;
    QList<RecordedEvent> events;
};

// Parses the text of a recording; on failure returns nothing and says why.
std::optional<Recording> parseRecording(const QByteArray &text, QString *error);
// Reads and parses the file at `path`.
std::optional<Recording> readRecording(const QString &path, QString *error);

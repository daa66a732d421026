// Recordings written and read back. The writer makes every line JSON
// whatever the bytes were, carries a UTF-8 sequence split between chunks
// over to the next event whole, and keeps one carry per direction; the
// reader refuses every kind of broken line with its line number rather than
// half replay a file. The reader is the writer's judge: what it gets back
// must be what was written.
#include "asciicast_writer.h"
#include "recording.h"

#include <QTemporaryDir>
#include <QtTest>

class RecordingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void recording_data();
    void recording();
};

void RecordingTest::recording_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");   // to write: 'o' or 'i', then the bytes; a quarter second apart
    QTest::addColumn<QByteArray>("text");            // or to read as it is
    QTest::addColumn<QString>("events");             // kind@time:text|...; or "error: " and how the message begins
    using Chunks = QList<QByteArray>;

    // The first chunk's time is before the start, as a clock that went back gives.
    QTest::newRow("escapes and controls") << Chunks{"o\x1b[1m\"a\\b\"\x07\x01\r\n"} << QByteArray() << QString("o@0:\x1b[1m\"a\\b\"\x07\x01\r\n");
    // Sequences of two, three and four bytes split between chunks reach the
    // file whole; a chunk of part of a character writes nothing.
    QTest::newRow("sequences split between chunks") << Chunks{"ocaf\xc3", "o\xa9 \xe2", "o\x82\xac \xf0\x9f", "o\x98", "o\x80"} << QByteArray()
        << QString::fromUtf8("o@0:caf|o@0:\xc3\xa9 |o@0.25:\xe2\x82\xac |o@0.75:\xf0\x9f\x98\x80");
    QTest::newRow("bytes that are not UTF-8") << Chunks{"o\xff\xfe" "A\x80"} << QByteArray() << QString("o@0:\uFFFD\uFFFDA\uFFFD");
    QTest::newRow("directions keep their own carry") << Chunks{"o\xc3", "ils\r", "o\xa9"} << QByteArray() << QString::fromUtf8("i@0:ls\r|o@0.25:\xc3\xa9");
    // The byte after a lead byte that it does not continue was lost once.
    QTest::newRow("sequence cut by a byte that is not its own") << Chunks{"o\xc3", "oA"} << QByteArray() << QString("o@0:\uFFFDA");

    const QByteArray header = R"({"version": 2, "width": 2, "height": 1, "command": "sh", "env": {"TERM": "xterm", "SHELL": "/bin/sh"}})" "\n";
    QTest::newRow("other kinds, blank lines, a time going back, no final line feed") << Chunks{}
        << header + "[2, \"o\", \"x\"]\n\n[0.1, \"r\", \"9x9\"]\n[1, \"i\", \"y\"]" << QString("o@2:x|i@2:y");
    QTest::newRow("empty file") << Chunks{} << QByteArray("\n") << QString("error: the file is empty");
    QTest::newRow("too narrow") << Chunks{} << QByteArray(R"({"version": 2, "width": 1, "height": 24})") << QString("error: line 1: the width");
    QTest::newRow("time as text") << Chunks{} << header + "[\"0.5\", \"o\", \"x\"]\n" << QString("error: line 2: not an event");
    QTest::newRow("negative time") << Chunks{} << header + "[-1, \"o\", \"x\"]\n" << QString("error: line 2: not an event");
    QTest::newRow("data not text") << Chunks{} << header + "[1, \"o\", 5]\n" << QString("error: line 2: not an event");
}

void RecordingTest::recording()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QByteArray, text);
    QFETCH(QString, events);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("session.cast"));
    QString error;
    AsciicastWriter writer;
    QVERIFY2(writer.open(path, {QSize(2, 1), 1700000000, QStringLiteral("sh"), QStringLiteral("/bin/sh"), QStringLiteral("xterm")}, &error), qPrintable(error));
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        if (chunks.at(i).startsWith('o'))
            writer.output(i * 0.25 - 0.25, chunks.at(i).constData() + 1, chunks.at(i).size() - 1);
        else
            writer.input(i * 0.25 - 0.25, chunks.at(i).mid(1));
    }
    // Read while the writer is still open: every line is on disk at once.
    const std::optional<Recording> recording = chunks.isEmpty() ? parseRecording(text, &error) : readRecording(path, &error);
    if (events.startsWith(QLatin1String("error: "))) {
        QVERIFY2(!recording && error.startsWith(events.mid(7)), qPrintable(error));
        return;
    }
    QVERIFY2(recording, qPrintable(error));
    // The smallest screen there is.
    QCOMPARE(recording->size, QSize(2, 1));
    QCOMPARE(QStringList({recording->command, recording->shell, recording->term}), QStringList({"sh", "/bin/sh", "xterm"}));
    QStringList read;
    for (const RecordedEvent &event : recording->events)
        read << QStringLiteral("%1@%2:%3").arg(QChar::fromLatin1(event.kind)).arg(event.time).arg(QString::fromUtf8(event.data));
    QCOMPARE(read.join(QLatin1Char('|')), events);
}

QTEST_GUILESS_MAIN(RecordingTest)
#include "tst_recording.moc"

// The recording writer: each line is JSON whatever the bytes were, a UTF-8
// sequence split between chunks reaches the file whole, input and output
// keep their own unfinished sequences, and what the reader gets back is what
// was written.
#include "asciicast_writer.h"
#include "recording.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// One chunk: 'o' or 'i', then the bytes.
using Chunks = QList<QByteArray>;

} // namespace

class AsciicastWriterTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void events_data();
    void events();
    void times_data();
    void times();
    void unwritableFile();
};

void AsciicastWriterTest::events_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<QStringList>("events");   // kind, then the text, as read back
    QTest::newRow("plain text") << Chunks{"ohello\r\n"} << QStringList{"ohello\r\n"};
    QTest::newRow("escape sequences and quotes") << Chunks{"o\x1b[1m\"a\\b\"\x07"} << QStringList{"o\x1b[1m\"a\\b\"\x07"};
    QTest::newRow("sequence split between chunks") << Chunks{"ocaf\xc3", "o\xa9 ok"} << QStringList{"ocaf", QString::fromUtf8("o\xc3\xa9 ok")};
    QTest::newRow("chunk of half a character writes nothing")
        << Chunks{"o\xe2\x82", "o\xac"} << QStringList{QString::fromUtf8("o\xe2\x82\xac")};
    QTest::newRow("bytes that are not UTF-8")
        << Chunks{"o\xff\xfe" "A\x80"} << QStringList{QStringLiteral("o\uFFFD\uFFFDA\uFFFD")};
    QTest::newRow("directions keep their own carry")
        << Chunks{"o\xc3", "ils\r", "o\xa9"} << QStringList{"ils\r", QString::fromUtf8("o\xc3\xa9")};
    QTest::newRow("sequence cut by a byte that is not its own")
        << Chunks{"o\xc3", "oA"} << QStringList{QStringLiteral("o\uFFFDA")};
    QTest::newRow("empty chunk") << Chunks{"o", "ix"} << QStringList{"ix"};
}

void AsciicastWriterTest::events()
{
    QFETCH(Chunks, chunks);
    QFETCH(QStringList, events);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("session.cast"));
    {
        AsciicastWriter writer;
        QString error;
        QVERIFY2(writer.open(path, {QSize(100, 30), 1700000000, QStringLiteral("sh -c 'echo \"x\"'"), QStringLiteral("/bin/sh"), QStringLiteral("xterm")}, &error),
                 qPrintable(error));
        double time = 0;
        for (const QByteArray &chunk : chunks) {
            if (chunk.startsWith('o'))
                writer.output(time, chunk.constData() + 1, chunk.size() - 1);
            else
                writer.input(time, chunk.mid(1));
            time += 0.25;
        }
        // Every line is on disk before the writer goes.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), events.size() + 2);   // header, events, the empty rest after the last line feed
        for (const QByteArray &line : lines.mid(0, lines.size() - 1)) {
            QJsonParseError parseError;
            QJsonDocument::fromJson(line, &parseError);
            QVERIFY2(parseError.error == QJsonParseError::NoError, line.constData());
        }
    }
    QString error;
    const std::optional<Recording> recording = readRecording(path, &error);
    QVERIFY2(recording, qPrintable(error));
    QCOMPARE(recording->size, QSize(100, 30));
    QCOMPARE(recording->command, QStringLiteral("sh -c 'echo \"x\"'"));
    QCOMPARE(recording->term, QStringLiteral("xterm"));
    QCOMPARE(recording->shell, QStringLiteral("/bin/sh"));
    QStringList read;
    for (const RecordedEvent &event : recording->events)
        read << QChar::fromLatin1(event.kind) + QString::fromUtf8(event.data);
    QCOMPARE(read, events);
}

void AsciicastWriterTest::times_data()
{
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("microseconds kept") << 1.2345674 << QByteArray("[1.234567, \"o\", \"x\"]\n");
    QTest::newRow("whole seconds") << 3.0 << QByteArray("[3.000000, \"o\", \"x\"]\n");
    QTest::newRow("a clock that went back") << -0.5 << QByteArray("[0.000000, \"o\", \"x\"]\n");
    QTest::newRow("not a number") << qQNaN() << QByteArray("[0.000000, \"o\", \"x\"]\n");
}

void AsciicastWriterTest::times()
{
    QFETCH(double, seconds);
    QFETCH(QByteArray, line);
    QCOMPARE(AsciicastWriter::eventLine(seconds, "o", QStringLiteral("x")), line);
}

void AsciicastWriterTest::unwritableFile()
{
    AsciicastWriter writer;
    QString error;
    QVERIFY(!writer.open(QStringLiteral("/nonexistent/dir/x.cast"), {QSize(80, 24), 0, {}, {}, {}}, &error));
    QVERIFY2(error.contains(QLatin1String("/nonexistent/dir/x.cast")), qPrintable(error));
    writer.output(0, "x", 1);   // ignored, not a crash
}

QTEST_GUILESS_MAIN(AsciicastWriterTest)
#include "tst_asciicast_writer.moc"

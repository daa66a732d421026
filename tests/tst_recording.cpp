// Reading recordings back: what a valid file yields, and that every kind of
// broken line is refused with its line number rather than half replayed.
#include "recording.h"

#include <QtTest>

class RecordingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void missingFile();
};

namespace {

const QByteArray header = R"({"version": 2, "width": 90, "height": 30, "command": "sh", "env": {"TERM": "vt100", "SHELL": "/bin/zsh"}})" "\n";

} // namespace

void RecordingTest::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("events");     // kind@time:text, joined by |; or the error
    QTest::newRow("output and input") << header + "[0.5, \"o\", \"$ \"]\n[1.25, \"i\", \"ls\\r\"]\n"
                                      << QString("o@0.5:$ |i@1.25:ls\r");
    QTest::newRow("no events") << header << QString();
    QTest::newRow("other kinds skipped") << header + "[0.1, \"r\", \"100x40\"]\n[0.2, \"m\", \"\"]\n[0.3, \"o\", \"x\"]\n"
                                         << QString("o@0.3:x");
    QTest::newRow("blank lines and no final line feed") << header + "\n[1, \"o\", \"x\"]\n\n[2, \"o\", \"y\"]"
                                                        << QString("o@1:x|o@2:y");
    QTest::newRow("a time going back keeps the last") << header + "[2, \"o\", \"x\"]\n[1, \"o\", \"y\"]\n"
                                                      << QString("o@2:x|o@2:y");
    QTest::newRow("unicode escapes") << header + "[0, \"o\", \"\\u001b[0m\\u00e9\"]\n"
                                     << QString::fromUtf8("o@0:\x1b[0m\xc3\xa9");
    QTest::newRow("empty file") << QByteArray() << QString("error: the file is empty");
    QTest::newRow("version 1") << QByteArray(R"({"version": 1, "width": 80, "height": 24})") << QString("error: line 1: not an asciicast version 2 header");
    QTest::newRow("header not an object") << QByteArray("[2, 80, 24]\n") << QString("error: line 1: not an asciicast version 2 header");
    QTest::newRow("size out of range") << QByteArray(R"({"version": 2, "width": 0, "height": 24})") << QString("error: line 1: the width and height must be between 2x1 and 1000x1000");
    QTest::newRow("cut line") << header + "[0.5, \"o\", \"$ \"]\n[1.0, \"o\", \"ab" << QString("error: line 3: not JSON");
    QTest::newRow("two fields") << header + "[0.5, \"o\"]\n" << QString("error: line 2: not an event");
    QTest::newRow("time as text") << header + "[\"0.5\", \"o\", \"x\"]\n" << QString("error: line 2: not an event");
    QTest::newRow("negative time") << header + "[-1, \"o\", \"x\"]\n" << QString("error: line 2: not an event");
    QTest::newRow("data not text") << header + "[1, \"o\", 5]\n" << QString("error: line 2: not an event");
}

void RecordingTest::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, events);
    QString error;
    const std::optional<Recording> recording = parseRecording(text, &error);
    if (events.startsWith(QLatin1String("error: "))) {
        QVERIFY(!recording);
        QVERIFY2(error.startsWith(events.mid(7)), qPrintable(error));
        return;
    }
    QVERIFY2(recording, qPrintable(error));
    QCOMPARE(recording->size, QSize(90, 30));
    QCOMPARE(recording->command, QStringLiteral("sh"));
    QCOMPARE(recording->term, QStringLiteral("vt100"));
    QCOMPARE(recording->shell, QStringLiteral("/bin/zsh"));
    QStringList read;
    for (const RecordedEvent &event : recording->events)
        read << QStringLiteral("%1@%2:%3").arg(QChar::fromLatin1(event.kind)).arg(event.time).arg(QString::fromUtf8(event.data));
    QCOMPARE(read.join(QLatin1Char('|')), events);
}

void RecordingTest::missingFile()
{
    QString error;
    QVERIFY(!readRecording(QStringLiteral("/nonexistent/x.cast"), &error));
    QVERIFY2(error.startsWith(QLatin1String("Cannot read the recording /nonexistent/x.cast")), qPrintable(error));
}

QTEST_GUILESS_MAIN(RecordingTest)
#include "tst_recording.moc"

// The replay's order: outputs flow until a recorded input, which waits for
// the script's bytes however they are split across sends, and the first
// byte that cannot match ends the replay with a message naming the event.
#include "replay_gate.h"

#include <QtTest>

class ReplayGateTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void playback_data();
    void playback();
};

void ReplayGateTest::playback_data()
{
    QTest::addColumn<QList<QByteArray>>("sends");
    QTest::addColumn<QByteArray>("released");
    QTest::addColumn<QString>("failure");

    using Bytes = QList<QByteArray>;
    const QByteArray all("$ ls\r\na b\r\n$ exit\r\n.");
    QTest::newRow("one send split in bytes") << Bytes{"l", "s", "\r", "exit", "\r"} << all << QString();
    QTest::newRow("part of a gate holds it") << Bytes{"l"} << QByteArray("$ ") << QString();
    // The failure shows what was sent as a C string, UTF-8 as characters.
    QTest::newRow("another command") << Bytes{QByteArray("p\x1b\"\\\t\n\x03\x7f\0\xc3\xa9\xf0\x9f\x98\x80\xff\xc3(\xc0\xaf\xe2\x82", 22)} << QByteArray("$ ")
        << QString::fromUtf8(R"x(event 2 (line 3, 2.000000 s): expected "ls\r", sent "p\e\"\\\t\n\x03\x7f\x00é😀\xff\xc3(\xc0\xaf\xe2\x82")x");
    QTest::newRow("wrong second byte, then more") << Bytes{"l", "x", "ls\r"} << QByteArray("$ ") << QString(R"x(event 2 (line 3, 2.000000 s): expected "ls\r", sent "lx")x");
    QTest::newRow("the second gate judged once reached") << Bytes{"ls\rquit\r"} << QByteArray("$ ls\r\na b\r\n$ ")
        << QString(R"x(event 4 (line 5, 4.000000 s): expected "exit\r", sent "quit\r")x");
    QTest::newRow("more than the recording holds") << Bytes{"ls\r", "exit\rls\r"} << all
        << QString(R"x(the end of the recording (7.000000 s): expected nothing more, sent "ls\r")x");
}

void ReplayGateTest::playback()
{
    QFETCH(QList<QByteArray>, sends);
    QFETCH(QByteArray, released);
    QFETCH(QString, failure);
    // A shell session, one second and one line apart from line 2. The empty
    // input at its end (never written, but a file may hold one) passes by
    // itself: nothing sent, the last output still flows.
    QList<RecordedEvent> events;
    for (const QByteArray event : {"o$ ", "ils\r", "ols\r\na b\r\n$ ", "iexit\r", "oexit\r\n", "i", "o."})
        events.append(RecordedEvent{double(events.size() + 1), event.at(0), event.mid(1), int(events.size()) + 2});
    ReplayGate gate(events);
    // Takes every output that flows, then sends the next bytes.
    QByteArray taken;
    for (qsizetype i = 0; i <= sends.size(); ++i) {
        while (!gate.failed() && gate.next() == ReplayGate::Next::Output)
            taken += gate.takeOutput().data;
        if (i < sends.size())
            gate.sent(sends.at(i));
    }
    QCOMPARE(taken, released);
    QCOMPARE(gate.failed() ? ReplayGate::describe(gate.mismatch()) : QString(), failure);
}

QTEST_GUILESS_MAIN(ReplayGateTest)
#include "tst_replay_gate.moc"

// The replay's order: outputs flow until a recorded input, which waits for
// the script's bytes however they are split across sends, and the first
// byte that cannot match ends the replay with a message naming the event.
#include "replay_gate.h"

#include <QtTest>

namespace {

// "o:text" or "i:text", at one second per event.
QList<RecordedEvent> eventsOf(const QList<QByteArray> &specs)
{
    QList<RecordedEvent> events;
    int line = 2;
    for (const QByteArray &spec : specs)
        events.append(RecordedEvent{double(line - 1), spec.at(0), spec.mid(2), line++});
    return events;
}

// Takes every output there is to take now.
QByteArray takeAll(ReplayGate &gate)
{
    QByteArray taken;
    while (gate.next() == ReplayGate::Next::Output)
        taken += gate.takeOutput().data;
    return taken;
}

} // namespace

class ReplayGateTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void playback_data();
    void playback();
    void escaped_data();
    void escaped();
};

void ReplayGateTest::playback_data()
{
    QTest::addColumn<QList<QByteArray>>("events");
    QTest::addColumn<QList<QByteArray>>("sends");
    QTest::addColumn<QByteArray>("released");
    QTest::addColumn<QString>("failure");

    const QList<QByteArray> shell{"o:$ ", "i:ls\r", "o:ls\r\na b\r\n$ ", "i:exit\r", "o:exit\r\n"};
    QTest::newRow("sends as recorded") << shell << QList<QByteArray>{"ls\r", "exit\r"}
                                       << QByteArray("$ ls\r\na b\r\n$ exit\r\n") << QString();
    QTest::newRow("one send split in bytes") << shell << QList<QByteArray>{"l", "s", "\r", "exit", "\r"}
                                             << QByteArray("$ ls\r\na b\r\n$ exit\r\n") << QString();
    QTest::newRow("two gates in one send") << shell << QList<QByteArray>{"ls\rexit\r"}
                                           << QByteArray("$ ls\r\na b\r\n$ exit\r\n") << QString();
    QTest::newRow("nothing sent stops at the gate") << shell << QList<QByteArray>{} << QByteArray("$ ") << QString();
    QTest::newRow("part of a gate holds it") << shell << QList<QByteArray>{"l"} << QByteArray("$ ") << QString();
    QTest::newRow("another command") << shell << QList<QByteArray>{"pwd\r"} << QByteArray("$ ")
                                     << QString("event 2 (line 3, 2.000000 s): expected \"ls\\r\", sent \"pwd\\r\"");
    QTest::newRow("wrong byte after a right one") << shell << QList<QByteArray>{"l", "x"} << QByteArray("$ ")
                                                  << QString("event 2 (line 3, 2.000000 s): expected \"ls\\r\", sent \"lx\"");
    QTest::newRow("the second gate judged once reached") << shell << QList<QByteArray>{"ls\rquit\r"} << QByteArray("$ ls\r\na b\r\n$ ")
                                                         << QString("event 4 (line 5, 4.000000 s): expected \"exit\\r\", sent \"quit\\r\"");
    QTest::newRow("more than the recording holds") << shell << QList<QByteArray>{"ls\r", "exit\rls\r"}
                                                   << QByteArray("$ ls\r\na b\r\n$ exit\r\n")
                                                   << QString("the end of the recording (5.000000 s): expected nothing more, sent \"ls\\r\"");
    QTest::newRow("a send to a recording of output only") << QList<QByteArray>{"o:x"} << QList<QByteArray>{"y"} << QByteArray("x")
                                                           << QString("the end of the recording (1.000000 s): expected nothing more, sent \"y\"");
    QTest::newRow("empty gate passes") << QList<QByteArray>{"o:a", "i:", "o:b"} << QList<QByteArray>{} << QByteArray("ab") << QString();
    QTest::newRow("gate first") << QList<QByteArray>{"i:go\r", "o:ok"} << QList<QByteArray>{"go\r"} << QByteArray("ok") << QString();
    QTest::newRow("empty recording") << QList<QByteArray>{} << QList<QByteArray>{} << QByteArray() << QString();
    QTest::newRow("sends after a failure change nothing") << shell << QList<QByteArray>{"x", "ls\r"} << QByteArray("$ ")
                                                          << QString("event 2 (line 3, 2.000000 s): expected \"ls\\r\", sent \"x\"");
}

void ReplayGateTest::playback()
{
    QFETCH(QList<QByteArray>, events);
    QFETCH(QList<QByteArray>, sends);
    QFETCH(QByteArray, released);
    QFETCH(QString, failure);
    ReplayGate gate(eventsOf(events));
    QByteArray taken = takeAll(gate);
    for (const QByteArray &bytes : sends) {
        gate.sent(bytes);
        if (!gate.failed())
            taken += takeAll(gate);
    }
    QCOMPARE(taken, released);
    QCOMPARE(gate.failed() ? ReplayGate::describe(gate.mismatch()) : QString(), failure);
}

void ReplayGateTest::escaped_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("line ends and tabs") << QByteArray("a\r\n\tb") << QString("a\\r\\n\\tb");
    QTest::newRow("quote and backslash") << QByteArray("\"\\") << QString("\\\"\\\\");
    QTest::newRow("escape sequence") << QByteArray("\x1b[A") << QString("\\e[A");
    QTest::newRow("other control bytes") << QByteArray("\x03\x7f", 2) << QString("\\x03\\x7f");
    QTest::newRow("nul") << QByteArray("a\0b", 3) << QString("a\\x00b");
    QTest::newRow("UTF-8 kept") << QByteArray("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80") << QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
    QTest::newRow("bytes that are not UTF-8") << QByteArray("\xff\xc3(") << QString("\\xff\\xc3(");
    QTest::newRow("sequence cut at the end") << QByteArray("a\xe2\x82") << QString("a\\xe2\\x82");
    QTest::newRow("overlong form") << QByteArray("\xc0\xaf") << QString("\\xc0\\xaf");
}

void ReplayGateTest::escaped()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(ReplayGate::escaped(bytes), text);
}

QTEST_GUILESS_MAIN(ReplayGateTest)
#include "tst_replay_gate.moc"

// The escape parser, seen through its two readers, for every sequence shape
// it knows: the log's filter, which keeps the text of terminal output
// however the output is split into reads, and the scroll tracker, which
// follows the sequences that decide how plain text scrolls.
#include "escape_parser.h"
#include "scroll_tracker.h"

#include <QtTest>

class EscapeParserTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parse_data();
    void parse();
};

void EscapeParserTest::parse_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("text");       // what the log keeps
    // On a screen of 24 rows: "whole" or "region" (plain text scrolls the
    // whole screen or not), where the plain tail begins, then where mode 47
    // switched the alternate screen on (+) or off (-).
    QTest::addColumn<QString>("scroll");

    // Controls end the plain tail, CR and LF excepted.
    QTest::newRow("controls and UTF-8") << QByteArray("\x07\x00\x0e" "a\bb\tc\r\n\xc3\xa9\r\n", 14) << QByteArray("a\bb\tc\r\n\xc3\xa9\r\n") << QString("whole 7");
    // CSI: parameters and intermediates continue it, any byte 0x40-0x7E
    // ends it; an ESC inside starts a new sequence.
    QTest::newRow("CSI") << QByteArray("\x1b[1;31ma\x1b[@b\x1b[5~c\x1b[?1049hd\x1b[2 qe\x1b[\x7fmf") << QByteArray("abcdef") << QString("whole 36");
    QTest::newRow("CSI cut by ESC") << QByteArray("\x1b[1\x1b[2ma\x1b[1\x1b" "cb") << QByteArray("ab") << QString("whole 13");
    // Strings: everything up to BEL or ESC \, letters that end a CSI and a
    // lone ESC included.
    QTest::newRow("strings") << QByteArray("\x1b]0;mHq\x07" "a\x1b]2;t\x1b\\b\x1b]0;a\x1b" "b\x07" "c\x1bPq#0\x1b\\d\x1b_G\x07" "e\x1b^p\x07" "f\x1bXs\x07g")
        << QByteArray("abcdefg") << QString("whole 48");
    // Designations: ESC, an intermediate, then one byte that is not text.
    QTest::newRow("designations") << QByteArray("\x1b(0a\x1b)Bb\x1b*Ac\x1b+Bd\x1b#8e\x1b%Gf\x1b(mg") << QByteArray("abcdefg") << QString("whole 27");

    QTest::newRow("top margin only") << QByteArray("\x1b[2r$ ") << QByteArray("$ ") << QString("region 4");
    QTest::newRow("bottom margin above the last row") << QByteArray("\x1b[1;23r") << QByteArray() << QString("region 7");
    QTest::newRow("margins of the whole screen") << QByteArray("\x1b[5;10r\x1b[1;24r") << QByteArray() << QString("whole 14");
    QTest::newRow("margins without parameters") << QByteArray("\x1b[5;10r\x1b[1;2m\x1b[r") << QByteArray() << QString("whole 16");
    QTest::newRow("a private r is not margins") << QByteArray("\x1b[5;10r\x1b[?1r") << QByteArray() << QString("region 12");
    QTest::newRow("soft reset") << QByteArray("\x1b[5;10r\x1b[!p") << QByteArray() << QString("whole 11");
    QTest::newRow("full reset") << QByteArray("\x1b[5;10r\x1b" "c") << QByteArray() << QString("whole 9");
    QTest::newRow("left and right margins") << QByteArray("\x1b[?1;69h") << QByteArray() << QString("region 8");
    QTest::newRow("mode 47, left and right margins off") << QByteArray("\x1b[?69ha\x1b[?47hb\x1b[?69;47l") << QByteArray("ab") << QString("whole 23 13+ 23-");
}

void EscapeParserTest::parse()
{
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, text);
    QFETCH(QString, scroll);
    // A log receives output in reads of any size: a sequence cut between
    // reads must not leak its tail into the log.
    for (qsizetype cut = 0; cut <= output.size(); ++cut) {
        EscapeFilter filter;
        QByteArray out = filter.filter(output.left(cut));
        out += filter.filter(output.mid(cut));
        QVERIFY2(out == text, qPrintable(QStringLiteral("cut at %1").arg(cut)));
    }

    ScrollTracker tracker(24);
    const qsizetype plainFrom = tracker.scan(output);
    QString seen = QStringLiteral("%1 %2").arg(tracker.wholeScreen() ? "whole" : "region").arg(plainFrom);
    for (const ScrollTracker::AlternateSwitch &at : tracker.alternateSwitches())
        seen += QStringLiteral(" %1%2").arg(at.end).arg(at.on ? '+' : '-');
    QCOMPARE(seen, scroll);
    // A reset forgets the margins and a sequence left open.
    tracker.scan("\x1b[?69h\x1b[5;10r\x1b]0;open");
    tracker.reset();
    QVERIFY(tracker.scan("x") == 0 && tracker.wholeScreen() && tracker.alternateSwitches().isEmpty());
}

QTEST_APPLESS_MAIN(EscapeParserTest)
#include "tst_escape_parser.moc"

// The escape parser, seen through its two readers: the log's filter, which
// keeps the text of terminal output for every sequence shape the parser
// knows, however the output is split into reads; and the scroll tracker,
// which follows the sequences that decide how plain text scrolls.
#include "escape_parser.h"
#include "scroll_tracker.h"

#include <QtTest>

class EscapeParserTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void filter_data();
    void filter();
    void scroll_data();
    void scroll();
};

void EscapeParserTest::filter_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("layout controls and UTF-8 kept") << QByteArray("a\tb\bc\r\n\x07\x00\x0e\xe2\x94\x80\xf0\x9f\x98\x80", 17)
                                                    << QByteArray("a\tb\bc\r\n\xe2\x94\x80\xf0\x9f\x98\x80");
    // CSI: parameters and intermediates continue it, any byte 0x40-0x7E
    // ends it; an ESC inside starts a new sequence.
    QTest::newRow("CSI") << QByteArray("\x1b[1;31ma\x1b[@b\x1b[5~c\x1b[?1049hd\x1b[2 qe\x1b[\x7fmf") << QByteArray("abcdef");
    QTest::newRow("CSI cut by ESC") << QByteArray("\x1b[1\x1b[2ma\x1b[1\x1b" "cb") << QByteArray("ab");
    // Strings: everything up to BEL or ESC \, letters that end a CSI and a
    // lone ESC included.
    QTest::newRow("strings") << QByteArray("\x1b]0;mHq\x07" "a\x1b]2;t\x1b\\b\x1b]0;a\x1b" "b\x07" "c\x1bPq#0\x1b\\d\x1b_G\x07" "e\x1b^p\x07" "f\x1bXs\x07g")
                             << QByteArray("abcdefg");
    // Designations: ESC, an intermediate, then one byte that is not text.
    QTest::newRow("designations") << QByteArray("\x1b(0a\x1b)Bb\x1b*Ac\x1b+Bd\x1b#8e\x1b%Gf\x1b(mg") << QByteArray("abcdefg");
    QTest::newRow("two-byte escapes") << QByteArray("\x1b" "ca\x1b" "7b\x1b=c\x1b\\d") << QByteArray("abcd");
}

void EscapeParserTest::filter()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    // A log receives output in reads of any size: a sequence cut between
    // reads must not leak its tail into the log.
    for (qsizetype first = 0; first <= input.size(); ++first) {
        for (qsizetype second = first; second <= input.size(); ++second) {
            EscapeFilter filter;
            QByteArray out = filter.filter(input.left(first));
            out += filter.filter(input.mid(first, second - first));
            out += filter.filter(input.mid(second));
            QVERIFY2(out == expected, qPrintable(QStringLiteral("cuts at %1 and %2").arg(first).arg(second)));
        }
    }
}

void EscapeParserTest::scroll_data()
{
    QTest::addColumn<QByteArray>("output");     // on a screen of 24 rows
    QTest::addColumn<bool>("wholeScreen");
    QTest::addColumn<qsizetype>("plainFrom");
    QTest::addColumn<QString>("alternate");     // where mode 47 switched: end+ on, end- off

    QTest::newRow("a sequence and a tab end the plain tail") << QByteArray("a\x1b[1mb\tc\r\nd") << true << qsizetype(7) << QString();
    QTest::newRow("top margin only") << QByteArray("\x1b[2r$ ") << false << qsizetype(4) << QString();
    QTest::newRow("bottom margin above the last row") << QByteArray("\x1b[1;23r") << false << qsizetype(7) << QString();
    QTest::newRow("margins of the whole screen") << QByteArray("\x1b[5;10r\x1b[1;24r") << true << qsizetype(14) << QString();
    QTest::newRow("margins without parameters") << QByteArray("\x1b[5;10r\x1b[1;2m\x1b[r") << true << qsizetype(16) << QString();
    QTest::newRow("a private r is not margins") << QByteArray("\x1b[5;10r\x1b[?1r") << false << qsizetype(12) << QString();
    QTest::newRow("soft reset") << QByteArray("\x1b[5;10r\x1b[!p") << true << qsizetype(11) << QString();
    QTest::newRow("full reset") << QByteArray("\x1b[5;10r\x1b" "c") << true << qsizetype(9) << QString();
    QTest::newRow("left and right margins") << QByteArray("\x1b[?1;69h") << false << qsizetype(8) << QString();
    QTest::newRow("mode 47, left and right margins off") << QByteArray("\x1b[?69ha\x1b[?47hb\x1b[?69;47l") << true << qsizetype(23) << QString("13+,23-");
}

void EscapeParserTest::scroll()
{
    QFETCH(QByteArray, output);
    QFETCH(bool, wholeScreen);
    QFETCH(qsizetype, plainFrom);
    QFETCH(QString, alternate);
    ScrollTracker tracker(24);
    QCOMPARE(tracker.scan(output), plainFrom);
    QCOMPARE(tracker.wholeScreen(), wholeScreen);
    QStringList switches;
    for (const ScrollTracker::AlternateSwitch &at : tracker.alternateSwitches())
        switches << QString::number(at.end) + (at.on ? '+' : '-');
    QCOMPARE(switches.join(QLatin1Char(',')), alternate);
    // A reset forgets the margins and a sequence left open.
    tracker.scan("\x1b[?69h\x1b[5;10r\x1b]0;open");
    tracker.reset();
    QVERIFY(tracker.scan("x") == 0 && tracker.wholeScreen() && tracker.alternateSwitches().isEmpty());
}

QTEST_APPLESS_MAIN(EscapeParserTest)
#include "tst_escape_parser.moc"

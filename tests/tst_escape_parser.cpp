// The escape parser and the log's escape filter: which bytes of terminal
// output are text and which belong to a sequence, for every sequence shape
// the parser knows, and the same answers however the output is split into
// pieces.
#include "escape_parser.h"

#include <QtTest>

namespace {

// One letter per byte: t text, s inside a sequence, c end of a control
// sequence, e end of a two-byte escape sequence.
QByteArray classify(EscapeParser &parser, const QByteArray &bytes)
{
    QByteArray steps;
    for (const char ch : bytes) {
        switch (parser.step(static_cast<unsigned char>(ch))) {
        case EscapeParser::Step::Text: steps.append('t'); break;
        case EscapeParser::Step::Sequence: steps.append('s'); break;
        case EscapeParser::Step::CsiEnd: steps.append('c'); break;
        case EscapeParser::Step::EscapeEnd: steps.append('e'); break;
        }
    }
    return steps;
}

} // namespace

class EscapeParserTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void steps_data();
    void steps();
    void csiParameters_data();
    void csiParameters();
    void filter_data();
    void filter();
    void filterSplit_data();
    void filterSplit();
};

void EscapeParserTest::steps_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("text and layout controls") << QByteArray("a\r\n\t\b") << QByteArray("ttttt");
    QTest::newRow("UTF-8 is text") << QByteArray("\xc3\xa9\xe2\x82\xac") << QByteArray("ttttt");
    QTest::newRow("BEL outside a string is text") << QByteArray("\x07x") << QByteArray("tt");
    // CSI: parameters 0x30-0x3F and intermediates 0x20-0x2F continue it,
    // any byte 0x40-0x7E ends it.
    QTest::newRow("CSI with parameters") << QByteArray("\x1b[1;31mx") << QByteArray("ssssssct");
    QTest::newRow("CSI lowest final @") << QByteArray("\x1b[@x") << QByteArray("ssct");
    QTest::newRow("CSI highest final ~") << QByteArray("\x1b[5~x") << QByteArray("sssct");
    QTest::newRow("CSI private marker") << QByteArray("\x1b[?1049hx") << QByteArray("sssssssct");
    QTest::newRow("CSI intermediate space") << QByteArray("\x1b[2 qx") << QByteArray("ssssct");
    QTest::newRow("CSI soft reset") << QByteArray("\x1b[!px") << QByteArray("sssct");
    QTest::newRow("CSI text after DEL inside") << QByteArray("\x1b[\x7fmx") << QByteArray("sssct");
    QTest::newRow("CSI restarted by ESC") << QByteArray("\x1b[1\x1b[2mx") << QByteArray("ssssssct");
    QTest::newRow("CSI ended by ESC c") << QByteArray("\x1b[1\x1b" "cx") << QByteArray("sssset");
    // Strings: everything up to BEL or ESC \ belongs to the sequence.
    QTest::newRow("OSC ended by BEL") << QByteArray("\x1b]0;t m\x07x") << QByteArray("sssssssst");
    QTest::newRow("OSC ended by ESC backslash") << QByteArray("\x1b]0;t\x1b\\x") << QByteArray("ssssssst");
    QTest::newRow("OSC holds letters that end a CSI") << QByteArray("\x1b]2;mHq\x07x") << QByteArray("sssssssst");
    QTest::newRow("OSC with a lone ESC inside") << QByteArray("\x1b]0;a\x1b" "b\x07x") << QByteArray("sssssssst");
    QTest::newRow("DCS") << QByteArray("\x1bPq#0\x1b\\x") << QByteArray("ssssssst");
    QTest::newRow("APC") << QByteArray("\x1b_G\x1b\\x") << QByteArray("ssssst");
    QTest::newRow("PM") << QByteArray("\x1b^p\x07x") << QByteArray("sssst");
    QTest::newRow("SOS") << QByteArray("\x1bXs\x07x") << QByteArray("sssst");
    QTest::newRow("string then CSI") << QByteArray("\x1b]0;t\x07\x1b[mx") << QByteArray("ssssssssct");
    // Designations: ESC, an intermediate, then one byte that is not text.
    QTest::newRow("designate G0") << QByteArray("\x1b(Bx") << QByteArray("ssst");
    QTest::newRow("designate G1") << QByteArray("\x1b)0x") << QByteArray("ssst");
    QTest::newRow("designate G2 and G3") << QByteArray("\x1b*A\x1b+Bx") << QByteArray("sssssst");
    QTest::newRow("line attributes") << QByteArray("\x1b#8x") << QByteArray("ssst");
    QTest::newRow("character set selection") << QByteArray("\x1b%Gx") << QByteArray("ssst");
    QTest::newRow("designation of a letter that ends a CSI") << QByteArray("\x1b(mx") << QByteArray("ssst");
    // Two-byte escape sequences.
    QTest::newRow("full reset") << QByteArray("\x1b" "cx") << QByteArray("set");
    QTest::newRow("save cursor") << QByteArray("\x1b" "7x") << QByteArray("set");
    QTest::newRow("keypad mode") << QByteArray("\x1b=x") << QByteArray("set");
    QTest::newRow("string terminator alone") << QByteArray("\x1b\\x") << QByteArray("set");
}

void EscapeParserTest::steps()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    EscapeParser parser;
    QCOMPARE(classify(parser, input), expected);
    // Split anywhere, the parser keeps its place between the pieces.
    for (qsizetype cut = 1; cut < input.size(); ++cut) {
        EscapeParser split;
        QByteArray steps = classify(split, input.left(cut));
        steps += classify(split, input.mid(cut));
        QVERIFY2(steps == expected, qPrintable(QStringLiteral("cut at %1: %2").arg(cut).arg(QString::fromLatin1(steps))));
    }
    // A reset forgets a sequence left open.
    EscapeParser interrupted;
    classify(interrupted, QByteArray("\x1b]0;unterminated"));
    interrupted.reset();
    QCOMPARE(classify(interrupted, input), expected);
}

void EscapeParserTest::csiParameters_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("parameters");

    QTest::newRow("margins") << QByteArray("\x1b[5;10r") << QByteArray("5;10");
    QTest::newRow("none") << QByteArray("\x1b[r") << QByteArray();
    QTest::newRow("private mode") << QByteArray("\x1b[?69h") << QByteArray("?69");
    QTest::newRow("intermediate") << QByteArray("\x1b[!p") << QByteArray("!");
    QTest::newRow("previous sequence forgotten") << QByteArray("\x1b[1;2;3m\x1b[4H") << QByteArray("4");
    QTest::newRow("restarted by ESC [") << QByteArray("\x1b[7\x1b[8m") << QByteArray("8");
    QTest::newRow("kept to 64 bytes") << QByteArray("\x1b[" + QByteArray(100, '1') + "m") << QByteArray(64, '1');
}

void EscapeParserTest::csiParameters()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, parameters);
    EscapeParser parser;
    EscapeParser::Step last = EscapeParser::Step::Text;
    for (const char ch : input)
        last = parser.step(static_cast<unsigned char>(ch));
    QCOMPARE(last, EscapeParser::Step::CsiEnd);
    QCOMPARE(parser.csiParameters(), parameters);
}

void EscapeParserTest::filter_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("colours") << QByteArray("\x1b[1;31mred\x1b[0m plain\r\n") << QByteArray("red plain\r\n");
    QTest::newRow("title") << QByteArray("\x1b]0;user@host: ~\x07$ ") << QByteArray("$ ");
    QTest::newRow("title ended by ST") << QByteArray("a\x1b]2;t\x1b\\b") << QByteArray("ab");
    QTest::newRow("character sets") << QByteArray("\x1b(0qqq\x1b(Bend") << QByteArray("qqqend");
    QTest::newRow("layout controls kept") << QByteArray("a\tb\bc\r\n") << QByteArray("a\tb\bc\r\n");
    QTest::newRow("other controls dropped") << QByteArray("a\x07\x00\x0e\x0f" "b", 6) << QByteArray("ab");
    QTest::newRow("UTF-8 kept") << QByteArray("\xe2\x94\x80\x1b[K\xf0\x9f\x98\x80") << QByteArray("\xe2\x94\x80\xf0\x9f\x98\x80");
    QTest::newRow("cursor save and keypad") << QByteArray("\x1b" "7x\x1b" "8\x1b=y") << QByteArray("xy");
}

void EscapeParserTest::filter()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    EscapeFilter filter;
    QCOMPARE(filter.filter(input), expected);
}

void EscapeParserTest::filterSplit_data()
{
    filter_data();
}

void EscapeParserTest::filterSplit()
{
    // A log receives output in reads of any size: a sequence cut between two
    // reads must not leak its tail into the log.
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    for (qsizetype first = 1; first < input.size(); ++first) {
        for (qsizetype second = first; second < input.size(); ++second) {
            EscapeFilter filter;
            QByteArray out = filter.filter(input.left(first));
            out += filter.filter(input.mid(first, second - first));
            out += filter.filter(input.mid(second));
            QVERIFY2(out == expected, qPrintable(QStringLiteral("cuts at %1 and %2").arg(first).arg(second)));
        }
    }
}

QTEST_APPLESS_MAIN(EscapeParserTest)
#include "tst_escape_parser.moc"

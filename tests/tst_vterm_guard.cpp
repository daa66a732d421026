// VtermGuard: what reaches libvterm for a row of program output, and that it
// is the same whether the output comes at once or one byte per read.
#include "vterm_guard.h"

#include <QtTest>

class VtermGuardTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void filter_data();
    void filter();
};

void VtermGuardTest::filter_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QByteArray>("guarded");
    const QByteArray wide("\xE4\xB8\xAD");
    const QByteArray accent("\xC3\xA9");

    // A private REP passes with nothing printed yet, a plain one after a plain character.
    const QByteArray correct = "\x1b[?5bab\x1b[1;31mc\x1b[0m\x1b]0;t\xC2\x92\x07" + accent + wide + "e\xCC\x81\r\n\x1b(0q\x1b(B\x1b[3b";
    QTest::newRow("correct output passes unchanged") << correct << correct;

    // Each of these crashed or hung the host.
    QTest::newRow("UTF-8 C1 control dropped") << QByteArray("a\xC2\x92\x1bH") << QByteArray("a\x1bH");
    QTest::newRow("17th parameter dropped") << QByteArray("\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18mX") << QByteArray("\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16mX");
    QTest::newRow("huge parameter clamped") << QByteArray("\x1b[99999999999999999999C") << QByteArray("\x1b[65535C");
    QTest::newRow("REP with nothing to repeat cancelled") << QByteArray("\x1b[3b") << QByteArray("\x1b[3\x18");
    QTest::newRow("REP of a wide character sent as text") << wide + "\x1b[2b" << wide + "\x1b[2\x18" + wide + wide;
    QTest::newRow("REP of a non-ASCII character, at most 1000") << accent + "\x1b[5000b" << accent + "\x1b[5000\x18" + accent.repeated(1000);

    // Malformed text shows as libvterm shows it, as whole characters: a stray
    // continuation byte, an overlong NUL, a surrogate, a code point beyond
    // U+10FFFF, and sequences cut short by text, a control or a sequence.
    QTest::newRow("malformed") << QByteArray("\x80\xC0\x80\xED\xA0\x80\xF4\x90\x80\x80") << QByteArray("\xEF\xBF\xBD").repeated(4);
    QTest::newRow("cut short") << QByteArray("\xC3" "A\xC3\n\xA9\xC3\x1b[m\xA9") << "\xEF\xBF\xBD" "A\n" + accent + "\x1b[m" + accent;
}

void VtermGuardTest::filter()
{
    QFETCH(QByteArray, output);
    QFETCH(QByteArray, guarded);
    VtermGuard whole;
    QCOMPARE(QByteArray::fromStdString(whole.filter(output.toStdString())), guarded);
    VtermGuard bytewise;
    std::string pieces;
    for (const char c : output)
        pieces += bytewise.filter(std::string_view(&c, 1));
    QCOMPARE(QByteArray::fromStdString(pieces), guarded);
}

QTEST_GUILESS_MAIN(VtermGuardTest)
#include "tst_vterm_guard.moc"

// The received-text stream: positions in UTF-16 units however the text was
// appended, slices from any position (found through the block marks), old
// blocks dropped past the kept size, and replies cut to what fits in JSON.
#include "json_text.h"
#include "text_stream.h"

#include <QtTest>

namespace {

QString sliceText(const TextStream::Slice &slice)
{
    QByteArray bytes;
    for (const TextStream::Piece &piece : slice.pieces)
        bytes.append(piece.bytes.constData() + piece.from, piece.bytes.size() - piece.from);
    return QString::fromUtf8(bytes);
}

qint64 escapedSize(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    appendEscaped(out, utf8.constData(), utf8.size());
    return out.size();
}

// Appends `text` in pieces of `pieceChars` characters (whole characters,
// as the tab's decoder hands them over).
void appendInPieces(TextStream &stream, const QString &text, qsizetype pieceChars)
{
    for (qsizetype i = 0; i < text.size();) {
        qsizetype end = std::min(text.size(), i + pieceChars);
        if (end < text.size() && text.at(end).isLowSurrogate())
            ++end;
        const QString piece = text.mid(i, end - i);
        stream.append(piece.toUtf8(), piece.size());
        i = end;
    }
}

// A text of `chars` UTF-16 units or a little more, cycling through
// characters of every UTF-8 length.
QString mixedText(qsizetype chars)
{
    static const QString alphabet = QString::fromUtf8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n\"z\xd0\xb6\t");
    QString text;
    while (text.size() < chars)
        text += alphabet;
    return text;
}

constexpr qint64 unlimited = std::numeric_limits<qint64>::max() / 8;

} // namespace

class TextStreamTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void positions_data();
    void positions();
    void everyPosition_data();
    void everyPosition();
    void keep_data();
    void keep();
    void jsonCap_data();
    void jsonCap();
    void jsonCostMatchesEscaping();
};

void TextStreamTest::positions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("position");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<QString>("rest");

    const QString mixed = QString::fromUtf8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z");  // a é € 😀 z
    QTest::newRow("from the start") << mixed << qint64(0) << qint64(0) << mixed;
    QTest::newRow("after a two-byte character") << mixed << qint64(2) << qint64(2) << mixed.mid(2);
    QTest::newRow("after a three-byte character") << mixed << qint64(3) << qint64(3) << mixed.mid(3);
    QTest::newRow("inside a surrogate pair") << mixed << qint64(4) << qint64(3) << mixed.mid(3);
    QTest::newRow("after a surrogate pair") << mixed << qint64(5) << qint64(5) << QStringLiteral("z");
    QTest::newRow("at the end") << mixed << qint64(6) << qint64(6) << QString();
    QTest::newRow("past the end") << mixed << qint64(100) << qint64(6) << QString();
    QTest::newRow("negative") << mixed << qint64(-5) << qint64(0) << mixed;
    QTest::newRow("empty stream") << QString() << qint64(0) << qint64(0) << QString();
}

void TextStreamTest::positions()
{
    QFETCH(QString, text);
    QFETCH(qint64, position);
    QFETCH(qint64, start);
    QFETCH(QString, rest);
    TextStream stream(1 << 20);
    stream.append(text.toUtf8(), text.size());
    QCOMPARE(stream.end(), qint64(text.size()));
    const TextStream::Slice slice = stream.slice(position, unlimited);
    QCOMPARE(slice.start, start);
    QCOMPARE(slice.end, stream.end());
    QCOMPARE(sliceText(slice), rest);
    QVERIFY(!slice.truncated);
}

void TextStreamTest::everyPosition_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qsizetype>("pieceChars");

    const QString ascii = QString(5000, QLatin1Char('x')) + QStringLiteral("end");
    QTest::newRow("ASCII in one piece") << ascii << qsizetype(1 << 20);
    QTest::newRow("ASCII in odd pieces") << ascii << qsizetype(37);
    QTest::newRow("mixed in one piece") << mixedText(5000) << qsizetype(1 << 20);
    QTest::newRow("mixed in odd pieces") << mixedText(5000) << qsizetype(7);
    QTest::newRow("mixed character by character") << mixedText(3000) << qsizetype(1);
    // Past one 64 KiB block: positions in the second block are found too.
    QTest::newRow("mixed over several blocks") << mixedText(60000) << qsizetype(4001);
    QTest::newRow("ASCII over several blocks") << QString(150000, QLatin1Char('y')) << qsizetype(999);
}

void TextStreamTest::everyPosition()
{
    QFETCH(QString, text);
    QFETCH(qsizetype, pieceChars);
    TextStream stream(1 << 30);
    appendInPieces(stream, text, pieceChars);
    QCOMPARE(stream.end(), qint64(text.size()));
    QCOMPARE(stream.heldFrom(), qint64(0));
    // Every position near the start and the end, and a spread in between.
    const qint64 step = std::max<qint64>(1, text.size() / 800);
    for (qint64 position = 0; position <= text.size(); position += (position < 600 || position > text.size() - 600) ? 1 : step) {
        const qint64 expected = position < text.size() && text.at(position).isLowSurrogate() ? position - 1 : position;
        const TextStream::Slice slice = stream.slice(position, unlimited);
        if (slice.start != expected || sliceText(slice) != text.mid(expected))
            QFAIL(qPrintable(QStringLiteral("position %1: slice starts at %2 (expected %3) or holds other text").arg(position).arg(slice.start).arg(expected)));
    }
}

void TextStreamTest::keep_data()
{
    QTest::addColumn<qint64>("keep");
    QTest::addColumn<qsizetype>("pieceBytes");
    QTest::addColumn<qsizetype>("totalBytes");

    QTest::newRow("a few blocks kept") << qint64(200 * 1024) << qsizetype(1000) << qsizetype(1024 * 1024);
    QTest::newRow("less than a block kept") << qint64(1000) << qsizetype(3000) << qsizetype(400 * 1024);
    QTest::newRow("pieces larger than a block") << qint64(100 * 1024) << qsizetype(150 * 1024) << qsizetype(1024 * 1024);
    QTest::newRow("nothing dropped") << qint64(4 * 1024 * 1024) << qsizetype(4096) << qsizetype(1024 * 1024);
}

void TextStreamTest::keep()
{
    QFETCH(qint64, keep);
    QFETCH(qsizetype, pieceBytes);
    QFETCH(qsizetype, totalBytes);
    TextStream stream(keep);
    qsizetype appended = 0;
    for (int n = 0; appended < totalBytes; ++n) {
        const QByteArray piece(pieceBytes, static_cast<char>('a' + n % 26));
        stream.append(piece, piece.size());
        appended += piece.size();
        const qint64 held = stream.end() - stream.heldFrom();
        // At least what is kept is held (or all there is), and old text goes
        // a block at a time: never more than a block, or the newest piece, over.
        QVERIFY(held >= std::min<qint64>(keep, appended));
        QVERIFY(held < keep + std::max<qint64>(64 * 1024, pieceBytes) + pieceBytes);
    }
    QCOMPARE(stream.end(), qint64(appended));

    const TextStream::Slice fromStart = stream.slice(0, unlimited);
    QCOMPARE(fromStart.truncated, stream.heldFrom() > 0);
    QCOMPARE(fromStart.start, stream.heldFrom());
    QCOMPARE(sliceText(fromStart).size(), stream.end() - stream.heldFrom());
    const TextStream::Slice fromHeld = stream.slice(stream.heldFrom(), unlimited);
    QVERIFY(!fromHeld.truncated);
    // The newest text is always there, whole.
    const TextStream::Slice last = stream.slice(stream.end() - 10, unlimited);
    QCOMPARE(sliceText(last), QString(10, QLatin1Char('a' + ((appended / pieceBytes) - 1) % 26)));
}

void TextStreamTest::jsonCap_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("maxJson");

    QTest::newRow("fits exactly") << QStringLiteral("hello") << qint64(5);
    QTest::newRow("plain text cut") << QString(100, QLatin1Char('p')) << qint64(40);
    QTest::newRow("quotes and backslashes") << QStringLiteral("\"\\\"\\ab\"\\") << qint64(7);
    QTest::newRow("controls take six") << QString::fromLatin1("\x01\x02\x03x\x1f") << qint64(13);
    QTest::newRow("short escapes") << QStringLiteral("\r\n\t\r\n") << qint64(5);
    QTest::newRow("multi-byte characters stay whole") << QString::fromUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc3\xa9") << qint64(8);
    QTest::newRow("surrogate pair not split") << QString::fromUtf8("\xf0\x9f\x98\x80\xf0\x9f\x98\x80") << qint64(5);
    QTest::newRow("nothing fits") << QStringLiteral("\x01") << qint64(3);
    QTest::newRow("long mixed text") << mixedText(20000) << qint64(12345);
}

void TextStreamTest::jsonCap()
{
    QFETCH(QString, text);
    QFETCH(qint64, maxJson);
    TextStream stream(1 << 30);
    appendInPieces(stream, text, 333);
    const TextStream::Slice slice = stream.slice(0, maxJson);
    const QString kept = sliceText(slice);
    // The newest text is kept, as much of it as fits, whole characters only.
    QVERIFY(text.endsWith(kept));
    QCOMPARE(slice.start, qint64(text.size() - kept.size()));
    QCOMPARE(slice.end, qint64(text.size()));
    QVERIFY(escapedSize(kept) <= maxJson);
    QCOMPARE(slice.truncated, kept.size() < text.size());
    if (slice.truncated) {
        const qsizetype one = text.at(slice.start - 1).isLowSurrogate() ? 2 : 1;
        QVERIFY2(escapedSize(text.mid(slice.start - one)) > maxJson, "one more character would have fitted");
    }
}

void TextStreamTest::jsonCostMatchesEscaping()
{
    // The stream caps a reply by jsonCost; the socket server writes it with
    // appendEscaped: the two must agree on every byte.
    for (int c = 0; c < 256; ++c) {
        const char byte = static_cast<char>(c);
        QByteArray out;
        appendEscaped(out, &byte, 1);
        QVERIFY2(out.size() == jsonCost(static_cast<unsigned char>(c)), qPrintable(QString::number(c)));
    }
}

QTEST_APPLESS_MAIN(TextStreamTest)
#include "tst_text_stream.moc"

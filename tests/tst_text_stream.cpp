// The received-text stream: positions in UTF-16 units however the text was
// appended, slices from any position (found through the block marks), old
// blocks dropped past the kept size, and replies cut to what fits in JSON
// (which checks the cost of every JSON escape against the escaping itself).
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

QByteArray escaped(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    appendEscaped(out, utf8.constData(), utf8.size());
    return out;
}

// Appends `text` in pieces of `pieceChars` characters (whole characters,
// as the tab's decoder hands them over).
TextStream filled(const QString &text, qsizetype pieceChars, qint64 keep)
{
    TextStream stream(keep);
    for (qsizetype i = 0; i < text.size();) {
        qsizetype end = std::min(text.size(), i + pieceChars);
        if (end < text.size() && text.at(end).isLowSurrogate())
            ++end;
        stream.append(text.mid(i, end - i).toUtf8(), end - i);
        i = end;
    }
    return stream;
}

// Characters of every UTF-8 length and of every JSON escape.
const QString alphabet = QString::fromUtf8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n\"z\xd0\xb6\t\x01\\");
constexpr qint64 unlimited = std::numeric_limits<qint64>::max() / 8;
constexpr qint64 keepAll = 1 << 30;

} // namespace

class TextStreamTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void positions_data();
    void positions();
    void jsonCap_data();
    void jsonCap();
};

void TextStreamTest::positions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qsizetype>("pieceChars");
    QTest::addColumn<qint64>("keep");

    QTest::newRow("empty stream") << QString() << qsizetype(1) << keepAll;
    // ASCII pieces are marked without reading their bytes, others character
    // by character; a few rows mix the two in one block.
    QTest::newRow("mixed over several blocks") << alphabet.repeated(5000) << qsizetype(4001) << keepAll;
    QTest::newRow("mixed character by character") << alphabet.repeated(250) << qsizetype(1) << keepAll;
    QTest::newRow("a few blocks kept") << QString(400 * 1024, QLatin1Char('k')) << qsizetype(1000) << qint64(100 * 1024);
    QTest::newRow("less than a block kept") << alphabet.repeated(16000) << qsizetype(3000) << qint64(1000);
    QTest::newRow("pieces larger than a block") << QString(600 * 1024, QLatin1Char('p')) << qsizetype(150 * 1024) << qint64(100 * 1024);
}

void TextStreamTest::positions()
{
    QFETCH(QString, text);
    QFETCH(qsizetype, pieceChars);
    QFETCH(qint64, keep);
    const TextStream stream = filled(text, pieceChars, keep);
    const qint64 end = text.size();
    QCOMPARE(stream.end(), end);
    // At least what is kept is held (or all there is), and old text goes a
    // block at a time: never more than a block, or the newest piece, over.
    const qint64 heldBytes = text.mid(stream.heldFrom()).toUtf8().size();
    QVERIFY(heldBytes >= std::min<qint64>(keep, text.toUtf8().size()));
    QVERIFY(heldBytes < keep + std::max<qint64>(64 * 1024, text.left(pieceChars).toUtf8().size()));

    // Every position near the start and the end, a spread in between, and
    // those around the oldest held text and outside the stream.
    QList<qint64> positions{-1, stream.heldFrom() - 1, stream.heldFrom(), end + 1};
    const qint64 step = std::max<qint64>(1, end / 800);
    for (qint64 position = 0; position <= end; position += (position < 600 || position > end - 600) ? 1 : step)
        positions << position;
    for (const qint64 position : positions) {
        const qint64 held = qBound(stream.heldFrom(), position, end);
        const qint64 expected = held < end && text.at(held).isLowSurrogate() ? held - 1 : held;
        const TextStream::Slice slice = stream.slice(position, unlimited);
        if (slice.start != expected || slice.end != end || slice.truncated != (std::max<qint64>(0, position) < stream.heldFrom())
            || sliceText(slice) != text.mid(expected))
            QFAIL(qPrintable(QStringLiteral("position %1: slice from %2, expected from %3").arg(position).arg(slice.start).arg(expected)));
    }
}

void TextStreamTest::jsonCap_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("maxJson");

    QTest::newRow("fits exactly") << QStringLiteral("hello") << qint64(5);
    QTest::newRow("multi-byte characters stay whole") << QString::fromUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc3\xa9") << qint64(8);
    QTest::newRow("surrogate pair not split") << QString::fromUtf8("\xf0\x9f\x98\x80\xf0\x9f\x98\x80") << qint64(5);
    QTest::newRow("nothing fits") << QStringLiteral("\x01") << qint64(3);
    // The cut passes the whole first block and ends inside the second.
    QTest::newRow("mixed over two blocks") << alphabet.repeated(5000) << qint64(20000);
}

void TextStreamTest::jsonCap()
{
    QFETCH(QString, text);
    QFETCH(qint64, maxJson);
    const TextStream::Slice slice = filled(text, 333, keepAll).slice(0, maxJson);
    const QString kept = sliceText(slice);
    // The newest text is kept, as much of it as fits, whole characters only.
    QVERIFY(text.endsWith(kept));
    QCOMPARE(slice.start, qint64(text.size() - kept.size()));
    QCOMPARE(slice.end, qint64(text.size()));
    QVERIFY(escaped(kept).size() <= maxJson);
    QCOMPARE(slice.truncated, kept.size() < text.size());
    if (slice.truncated) {
        const qsizetype one = text.at(slice.start - 1).isLowSurrogate() ? 2 : 1;
        QVERIFY2(escaped(text.mid(slice.start - one)).size() > maxJson, "one more character would have fitted");
    }
}

QTEST_APPLESS_MAIN(TextStreamTest)
#include "tst_text_stream.moc"

// The received-text stream: positions in UTF-16 units however the text was
// appended, slices from any position (found through the block marks), old
// blocks dropped past the kept size, and replies cut to what fits in JSON,
// all judged at every position near the ends and a spread between.
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

// Characters of every UTF-8 length and of every JSON escape.
const QString alphabet = QString::fromUtf8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n\"z\xd0\xb6\t\x01\\");
constexpr qint64 unlimited = std::numeric_limits<qint64>::max() / 8;

} // namespace

class TextStreamTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void slices_data();
    void slices();
};

void TextStreamTest::slices_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qsizetype>("pieceChars");
    QTest::addColumn<qint64>("keep");
    QTest::addColumn<qint64>("maxJson");

    QTest::newRow("empty stream") << QString() << qsizetype(1) << unlimited << unlimited;
    // ASCII pieces are marked without reading their bytes, others character
    // by character; a few rows mix the two in one block.
    QTest::newRow("mixed over several blocks") << alphabet.repeated(5000) << qsizetype(4001) << unlimited << unlimited;
    QTest::newRow("mixed character by character") << alphabet.repeated(250) << qsizetype(1) << unlimited << unlimited;
    QTest::newRow("a few blocks kept") << QString(400 * 1024, QLatin1Char('k')) << qsizetype(1000) << qint64(100 * 1024) << unlimited;
    QTest::newRow("less than a block kept") << alphabet.repeated(16000) << qsizetype(3000) << qint64(1000) << unlimited;
    // A reply cut to what fits in JSON, which checks the stream's cost of
    // every escape against the escaping itself.
    QTest::newRow("fits exactly") << QStringLiteral("hello") << qsizetype(2) << unlimited << qint64(5);
    QTest::newRow("whole characters kept") << QString::fromUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc3\xa9") << qsizetype(2) << unlimited << qint64(8);
    QTest::newRow("surrogate pair not split") << QString::fromUtf8("\xf0\x9f\x98\x80\xf0\x9f\x98\x80") << qsizetype(2) << unlimited << qint64(5);
    QTest::newRow("nothing fits") << QStringLiteral("\x01") << qsizetype(1) << unlimited << qint64(3);
    // The cut passes the whole first block and ends inside the second.
    QTest::newRow("mixed cut over two blocks") << alphabet.repeated(4000) << qsizetype(333) << unlimited << qint64(5000);
}

void TextStreamTest::slices()
{
    QFETCH(QString, text);
    QFETCH(qsizetype, pieceChars);
    QFETCH(qint64, keep);
    QFETCH(qint64, maxJson);
    // Appended in pieces of whole characters, as the tab's decoder hands them over.
    TextStream stream(keep);
    for (qsizetype i = 0, next = 0; i < text.size(); i = next) {
        next = std::min(text.size(), i + pieceChars);
        next += next < text.size() && text.at(next).isLowSurrogate();
        stream.append(text.mid(i, next - i).toUtf8(), next - i);
    }
    const qint64 end = text.size();
    // At least what is kept is held (or all there is), and old text goes a
    // block at a time: never more than a block, or the newest piece, over.
    const qint64 heldBytes = text.mid(stream.heldFrom()).toUtf8().size();
    QVERIFY(heldBytes >= std::min<qint64>(keep, text.toUtf8().size()));
    QVERIFY(heldBytes < keep + std::max<qint64>(64 * 1024, text.left(pieceChars).toUtf8().size()));
    // The oldest characters give way, whole, until the rest fits in JSON.
    qint64 cut = 0;
    for (qint64 cost = escaped(text).size(); cost > maxJson;) {
        const qsizetype one = text.at(cut).isHighSurrogate() ? 2 : 1;
        cost -= escaped(text.mid(cut, one)).size();
        cut += one;
    }

    // Every position near the ends and the oldest held text, and a spread
    // in between (steps shorter than the dense stretches).
    const qint64 step = std::max<qint64>(1, end / 800);
    for (qint64 position = -1; position <= end + 1;
         position += (position < 300 || position > end - 300 || qAbs(position - stream.heldFrom()) < 300) ? 1 : step) {
        const qint64 held = qBound(stream.heldFrom(), position, end);
        const qint64 first = held < end && text.at(held).isLowSurrogate() ? held - 1 : held;
        const qint64 start = std::max(first, cut);
        const bool truncated = std::max<qint64>(0, position) < stream.heldFrom() || first < cut;
        const TextStream::Slice slice = stream.slice(position, maxJson);
        if (slice.start != start || slice.end != end || slice.truncated != truncated || sliceText(slice) != text.mid(start))
            QFAIL(qPrintable(QStringLiteral("position %1: slice from %2, expected from %3").arg(position).arg(slice.start).arg(start)));
    }
}

QTEST_APPLESS_MAIN(TextStreamTest)
#include "tst_text_stream.moc"

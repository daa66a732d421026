// The received-text stream: appending fills the last block (a new one once it
// would pass 64 KiB) and drops the oldest blocks past the kept size; a slice
// finds its first block and mark by binary search, then counts characters.
#include "text_stream.h"

#include "json_text.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr qsizetype blockBytes = 64 * 1024;
// Bytes between marks of a block: a position is found by counting at most this far.
constexpr qsizetype markSpacing = 512;

// UTF-16 units of the character whose UTF-8 sequence starts with `lead`
// (0 for a continuation byte).
int unitsOf(unsigned char lead)
{
    if ((lead & 0xC0) == 0x80)
        return 0;
    return lead >= 0xF0 ? 2 : 1;
}

int sequenceLength(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    return 2;
}

} // namespace

void TextStream::append(const QByteArray &bytes, qint64 units)
{
    if (bytes.isEmpty())
        return;
    if (m_blocks.isEmpty() || m_blocks.last().bytes.size() + bytes.size() > blockBytes) {
        if (!m_blocks.isEmpty())
            m_blocks.last().bytes.squeeze();
        m_blocks.append(Block{m_end, QByteArray(), {}});
        m_blocks.last().bytes.reserve(std::max(blockBytes, bytes.size()));
    }
    Block &block = m_blocks.last();
    const qsizetype from = block.bytes.size();
    block.bytes.append(bytes);
    addMarks(block, from, m_end, bytes.size() == units);
    m_end += units;
    m_heldBytes += bytes.size();
    while (m_blocks.size() > 1 && m_heldBytes - m_blocks.first().bytes.size() >= m_keep) {
        m_heldBytes -= m_blocks.first().bytes.size();
        m_blocks.removeFirst();
    }
}

void TextStream::addMarks(Block &block, qsizetype from, qint64 position, bool oneUnitPerByte)
{
    qsizetype last = block.marks.isEmpty() ? 0 : block.marks.last().offset;
    const qsizetype size = block.bytes.size();
    if (oneUnitPerByte) {
        for (qsizetype offset = std::max(from, last + markSpacing); offset < size; offset += markSpacing)
            block.marks.append(Mark{offset, position + (offset - from)});
        return;
    }
    const char *bytes = block.bytes.constData();
    for (qsizetype offset = from; offset < size; ++offset) {
        const unsigned char c = static_cast<unsigned char>(bytes[offset]);
        if (offset - last >= markSpacing && (c & 0xC0) != 0x80) {
            block.marks.append(Mark{offset, position});
            last = offset;
        }
        position += unitsOf(c);
    }
}

TextStream::Slice TextStream::slice(qint64 position, qint64 maxJsonBytes) const
{
    Slice slice;
    position = qBound<qint64>(0, position, m_end);
    if (position < heldFrom()) {
        slice.truncated = true;
        position = heldFrom();
    }
    slice.start = slice.end = m_end;
    if (position >= m_end)
        return slice;

    // The last block that begins at or before the position (there is one:
    // the position is not before the first).
    const auto blockAfter = std::upper_bound(m_blocks.cbegin(), m_blocks.cend(), position,
                                             [](qint64 wanted, const Block &b) { return wanted < b.position; });
    const qsizetype index = std::prev(blockAfter) - m_blocks.cbegin();
    const Block &block = m_blocks.at(index);
    const QByteArray &first = block.bytes;
    // Counting starts from the last mark at or before the position.
    const auto mark = std::upper_bound(block.marks.cbegin(), block.marks.cend(), position,
                                       [](qint64 wanted, const Mark &m) { return wanted < m.position; });
    qint64 at = block.position;
    qsizetype offset = 0;
    if (mark != block.marks.cbegin()) {
        at = std::prev(mark)->position;
        offset = std::prev(mark)->offset;
    }
    while (offset < first.size()) {
        const unsigned char lead = static_cast<unsigned char>(first.at(offset));
        // A position inside a surrogate pair starts the slice at the pair.
        if (at + unitsOf(lead) > position)
            break;
        at += unitsOf(lead);
        offset += sequenceLength(lead);
    }
    slice.start = at;
    slice.pieces.append(Piece{first, offset});
    for (qsizetype i = index + 1; i < m_blocks.size(); ++i)
        slice.pieces.append(Piece{m_blocks.at(i).bytes, 0});

    qint64 bytes = 0;
    for (const Piece &piece : slice.pieces)
        bytes += piece.bytes.size() - piece.from;
    // No byte takes more than six in JSON: most replies need no counting.
    if (bytes * 6 <= maxJsonBytes)
        return slice;
    qint64 cost = 0;
    for (const Piece &piece : slice.pieces)
        for (qsizetype i = piece.from; i < piece.bytes.size(); ++i)
            cost += jsonCost(static_cast<unsigned char>(piece.bytes.at(i)));
    // Too much to send in one reply: the oldest text gives way, and the reply
    // says so, rather than sending a line the client must refuse.
    while (cost > maxJsonBytes && !slice.pieces.isEmpty()) {
        Piece &piece = slice.pieces.first();
        if (piece.from >= piece.bytes.size()) {
            slice.pieces.removeFirst();
            continue;
        }
        const unsigned char lead = static_cast<unsigned char>(piece.bytes.at(piece.from));
        const int length = sequenceLength(lead);
        for (int i = 0; i < length && piece.from + i < piece.bytes.size(); ++i)
            cost -= jsonCost(static_cast<unsigned char>(piece.bytes.at(piece.from + i)));
        piece.from += length;
        slice.start += unitsOf(lead);
        slice.truncated = true;
    }
    return slice;
}

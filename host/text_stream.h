// Received text, held as UTF-8 in blocks so that old text can be dropped a
// block at a time and replies can be written without copying it. Positions
// count UTF-16 units, as the script's strings do; each block keeps marks (a
// byte offset and its position) a few hundred bytes apart, so that a
// position is found by counting from the nearest mark, not from the start.
#pragma once

#include <QByteArray>
#include <QList>

class TextStream {
public:
    // A character boundary inside a block and its stream position, so that a
    // position is found without counting from the block's start.
    struct Mark {
        qsizetype offset = 0;
        qint64 position = 0;
    };
    struct Block {
        qint64 position = 0;   // stream position of the block's first unit
        QByteArray bytes;      // valid UTF-8, whole characters only
        QList<Mark> marks;     // a few hundred bytes apart or more, in order
    };
    // A run of held text: the blocks it lies in and where it begins and ends.
    struct Piece {
        QByteArray bytes;          // shared with the stream, never copied
        qsizetype from = 0;        // first byte of the piece that belongs to the slice
    };
    struct Slice {
        QList<Piece> pieces;
        qint64 start = 0;          // stream position of the first unit
        qint64 end = 0;            // just past the last unit
        bool truncated = false;    // text from the asked position was dropped
    };

    explicit TextStream(qint64 keepBytes) : m_keep(keepBytes) {}

    // Appends `utf8`, which holds `units` UTF-16 units of text.
    void append(const QByteArray &utf8, qint64 units);
    qint64 end() const { return m_end; }
    qint64 heldFrom() const { return m_blocks.isEmpty() ? m_end : m_blocks.first().position; }
    // Text from `position` on, dropping its oldest part when the escaped JSON
    // of what is left would exceed `maxJsonBytes`.
    Slice slice(qint64 position, qint64 maxJsonBytes) const;

private:
    static void addMarks(Block &block, qsizetype from, qint64 position, bool oneUnitPerByte);

    QList<Block> m_blocks;
    qint64 m_end = 0;
    qint64 m_heldBytes = 0;
    qint64 m_keep;
};

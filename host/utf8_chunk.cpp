// The carry is at most three bytes: the start of a sequence whose lead byte
// asks for more than the chunk holds. Everything before it is complete and
// decoded on its own.
#include "utf8_chunk.h"

namespace {

// Where the unfinished UTF-8 sequence at the end of `bytes` starts (its size
// when there is none): a lead byte among the last three whose sequence needs
// more bytes than are left.
qsizetype unfinishedTail(const QByteArray &bytes)
{
    for (qsizetype back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const unsigned char c = static_cast<unsigned char>(bytes.at(bytes.size() - back));
        if ((c & 0xc0) == 0x80)
            continue;   // a continuation byte: look further back
        const int length = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        return length > back ? bytes.size() - back : bytes.size();
    }
    return bytes.size();
}

} // namespace

QString decodeUtf8Chunk(QByteArray &carry, const char *data, qsizetype size)
{
    QByteArray bytes = carry;
    bytes.append(data, size);
    const qsizetype complete = unfinishedTail(bytes);
    carry = bytes.mid(complete);
    bytes.truncate(complete);
    return QString::fromUtf8(bytes);
}

// UTF-8 that arrives in chunks (reads from a terminal), decoded one chunk at
// a time as if the whole had been decoded at once: a sequence cut at a
// chunk's end is carried into the next chunk, and a malformed byte becomes
// one U+FFFD without taking the byte after it along, which a stateful
// QStringDecoder does when a carried lead byte meets an ASCII byte.
#pragma once

#include <QByteArray>
#include <QString>

// The text of `size` bytes after what `carry` holds from the chunk before;
// an unfinished sequence at the end is left in `carry`.
QString decodeUtf8Chunk(QByteArray &carry, const char *data, qsizetype size);

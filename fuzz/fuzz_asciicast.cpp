// The recording writer and reader on arbitrary program output, fed whole and
// fed in pieces cut where the input says: the text must be the same however
// the output was cut into reads, every event line must be one line of JSON,
// and the reader must give back exactly the text that was written. Input: a
// count of cuts (low three bits of the first byte), that many cut bytes
// (each taken modulo the length), then the output itself.
#include "../host/asciicast_writer.h"
#include "../host/utf8_chunk.h"
#include "../host/recording.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int cutCount = data[0] & 7;
    if (size < 1 + static_cast<size_t>(cutCount))
        return 0;
    const QByteArray output(reinterpret_cast<const char *>(data + 1 + cutCount),
                            static_cast<qsizetype>(size - 1 - cutCount));
    QList<qsizetype> cuts;
    for (int i = 0; i < cutCount; ++i)
        cuts.append(data[1 + i] % (output.size() + 1));
    std::sort(cuts.begin(), cuts.end());
    cuts.append(output.size());

    QByteArray carry;
    const QString whole = decodeUtf8Chunk(carry, output.constData(), output.size()) + QString::fromUtf8(carry);

    carry.clear();
    QString split;
    QByteArray file = AsciicastWriter::headerLine({QSize(80, 24), 0, QStringLiteral("sh"), QStringLiteral("/bin/sh"), QStringLiteral("xterm")});
    qsizetype from = 0;
    double time = 0;
    for (const qsizetype cut : cuts) {
        const QString text = decodeUtf8Chunk(carry, output.constData() + from, cut - from);
        from = cut;
        split += text;
        if (carry.size() > 3)
            std::abort();
        const QByteArray line = AsciicastWriter::eventLine(time, "o", text);
        if (line.count('\n') != 1 || !line.endsWith('\n'))
            std::abort();
        file += line;
        time += 0.5;
    }
    split += QString::fromUtf8(carry);
    if (split != whole)
        std::abort();

    QString error;
    const std::optional<Recording> recording = parseRecording(file, &error);
    if (!recording || recording->events.size() != cuts.size())
        std::abort();
    QByteArray read;
    for (const RecordedEvent &event : recording->events)
        read += event.data;
    if (read != (split.left(split.size() - QString::fromUtf8(carry).size())).toUtf8())
        std::abort();
    return 0;
}

// The recording writer and reader on arbitrary program output, fed whole and
// fed in pieces cut where the input says: the text must be the same however
// the output was cut into reads, every event line must be one line of JSON,
// and the reader must give back exactly the text that was written. The input
// is read as cut_output.h says.
#include "../host/asciicast_writer.h"
#include "../host/utf8_chunk.h"
#include "../host/recording.h"
#include "cut_output.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::optional<CutOutput> input = cutOutput(data, size);
    if (!input)
        return 0;
    const QByteArray &output = input->output;
    QList<qsizetype> &cuts = input->cuts;
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

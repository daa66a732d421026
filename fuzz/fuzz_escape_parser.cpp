// The host's escape parser, its log filter and the scroll tracker on
// arbitrary output, fed whole and fed in pieces cut where the input says:
// terminal output arrives in reads of any size, so every answer must be the
// same however it is cut. The input is read as cut_output.h says.
#include "../host/escape_parser.h"
#include "../host/scroll_tracker.h"
#include "cut_output.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

// Everything a reader of the output can learn from one feed.
struct Reading {
    QByteArray steps;            // one Step per byte
    QList<QByteArray> csi;       // the parameters of each control sequence
    QByteArray filtered;         // what the log keeps
    QList<qsizetype> plainFrom;  // where each piece's plain tail begins in the output, -1: at an earlier piece
    bool wholeScreen = true;
};

Reading read(const QByteArray &output, const QList<qsizetype> &cuts)
{
    Reading reading;
    EscapeParser parser;
    EscapeFilter filter;
    ScrollTracker scroll(24);
    qsizetype from = 0;
    for (qsizetype i = 0; i <= cuts.size(); ++i) {
        const qsizetype to = i < cuts.size() ? cuts.at(i) : output.size();
        const QByteArray piece = output.mid(from, to - from);
        for (const char ch : piece) {
            const EscapeParser::Step step = parser.step(static_cast<unsigned char>(ch));
            reading.steps.append(static_cast<char>(step));
            if (step == EscapeParser::Step::CsiEnd)
                reading.csi.append(parser.csiParameters());
        }
        reading.filtered += filter.filter(piece);
        const qsizetype plain = scroll.scan(piece);
        if (plain < 0 || plain > piece.size())
            std::abort();
        // 0: the whole piece is plain, so the tail began in an earlier piece.
        reading.plainFrom.append(plain > 0 ? from + plain : -1);
        from = to;
    }
    reading.wholeScreen = scroll.wholeScreen();
    return reading;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<CutOutput> input = cutOutput(data, size);
    if (!input)
        return 0;
    const QByteArray &output = input->output;
    const QList<qsizetype> &cuts = input->cuts;

    const Reading whole = read(output, {});
    const Reading split = read(output, cuts);
    if (whole.steps != split.steps || whole.csi != split.csi || whole.filtered != split.filtered
        || whole.wholeScreen != split.wholeScreen)
        std::abort();
    // The log never gets an escape, nor more than it was given.
    if (whole.filtered.contains('\x1b') || whole.filtered.size() > output.size())
        std::abort();
    for (const QByteArray &parameters : whole.csi)
        if (parameters.size() > 64)
            std::abort();
    // The whole output's plain tail begins where the last piece that holds
    // anything but plain text says.
    qsizetype lastPlainFrom = 0;
    for (const qsizetype plain : split.plainFrom)
        if (plain >= 0)
            lastPlainFrom = plain;
    if (std::max<qsizetype>(whole.plainFrom.first(), 0) != lastPlainFrom)
        std::abort();
    return 0;
}

// Scroll tracking: the escape parser finds the sequences; top and bottom
// margins (CSI r), left and right margin mode (CSI ? 69 h/l), soft reset
// (CSI ! p) and full reset (ESC c) are followed, and where mode 47 switches
// the alternate screen is noted, nothing else.
#include "scroll_tracker.h"

#include <QList>

namespace {

bool plainByte(unsigned char c)
{
    return (c >= 0x20 && c != 0x7F) || c == '\r' || c == '\n';
}

} // namespace

qsizetype ScrollTracker::scan(const QByteArray &bytes)
{
    qsizetype plainFrom = 0;
    m_alternateSwitches.clear();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes.at(i));
        const EscapeParser::Step step = m_parser.step(c);
        if (step == EscapeParser::Step::CsiEnd)
            finishCsi(static_cast<char>(c), i + 1);
        else if (step == EscapeParser::Step::EscapeEnd && c == 'c')  // full reset
            resetMargins();
        if (step != EscapeParser::Step::Text || !plainByte(c))
            plainFrom = i + 1;
    }
    return plainFrom;
}

void ScrollTracker::finishCsi(char final, qsizetype end)
{
    const QByteArray &parameters = m_parser.csiParameters();
    if (final == 'r') {
        if (!parameters.isEmpty() && (parameters.at(0) < '0' || parameters.at(0) > ';'))
            return;  // a private or intermediate form, not the margins
        const QList<QByteArray> numbers = parameters.split(';');
        const int top = numbers.value(0).toInt();
        const int bottom = numbers.size() > 1 ? numbers.at(1).toInt() : 0;
        m_wholeRegion = top <= 1 && (bottom == 0 || bottom >= m_rows);
    } else if (final == 'p' && parameters == "!") {
        resetMargins();  // soft reset
    } else if ((final == 'h' || final == 'l') && parameters.startsWith('?')) {
        for (const QByteArray &mode : parameters.mid(1).split(';'))
            if (mode == "69")
                m_sideMargins = final == 'h';
            else if (mode == "47")
                m_alternateSwitches.append(AlternateSwitch{end, final == 'h'});
    }
}

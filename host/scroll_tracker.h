// Follows the escape sequences that decide how plain text scrolls (top and
// bottom margins, left and right margins), and where the text that no
// sequence is waiting on begins, so that the screen can skip plain lines
// that would scroll off at once.
#pragma once

#include "escape_parser.h"

#include <QByteArray>
#include <QList>

class ScrollTracker {
public:
    explicit ScrollTracker(int rows) : m_rows(rows) {}
    // Scans `bytes`; returns where its tail of plain text (printable
    // characters, CR and LF, outside any escape sequence) begins.
    qsizetype scan(const QByteArray &bytes);
    // Where the last scan switched the alternate screen by mode 47, which the
    // emulator does not know (it knows 1047 and 1049): just after the
    // sequence, and whether it switched to the alternate screen.
    struct AlternateSwitch {
        qsizetype end;
        bool on;
    };
    const QList<AlternateSwitch> &alternateSwitches() const { return m_alternateSwitches; }
    // Plain text scrolls the whole screen.
    bool wholeScreen() const { return m_wholeRegion && !m_sideMargins; }
    void reset() { resetMargins(); m_parser.reset(); }

private:
    void resetMargins() { m_wholeRegion = true; m_sideMargins = false; }
    void finishCsi(char final, qsizetype end);
    EscapeParser m_parser;
    int m_rows;
    bool m_wholeRegion = true;
    bool m_sideMargins = false;
    QList<AlternateSwitch> m_alternateSwitches;
};

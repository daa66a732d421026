// Follows the escape sequences that decide how plain text scrolls (top and
// bottom margins, left and right margins), and where the text that no
// sequence is waiting on begins, so that the screen can skip plain lines
// that would scroll off at once.
#pragma once

#include "escape_parser.h"

#include <QByteArray>

class ScrollTracker {
public:
    explicit ScrollTracker(int rows) : m_rows(rows) {}
    // Scans `bytes`; returns where its tail of plain text (printable
    // characters, CR and LF, outside any escape sequence) begins.
    qsizetype scan(const QByteArray &bytes);
    // Plain text scrolls the whole screen.
    bool wholeScreen() const { return m_wholeRegion && !m_sideMargins; }
    void reset() { resetMargins(); m_parser.reset(); }

private:
    void resetMargins() { m_wholeRegion = true; m_sideMargins = false; }
    void finishCsi(char final);
    EscapeParser m_parser;
    int m_rows;
    bool m_wholeRegion = true;
    bool m_sideMargins = false;
};

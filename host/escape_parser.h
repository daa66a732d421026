// Tells escape sequences from text, one byte at a time, for the readers of
// terminal output (the screen's scroll tracking, the session log); keeps its
// state between pieces, so that a sequence split across reads is still
// recognised. It knows the shapes that matter for telling the two apart:
// CSI (ESC [ ... final byte 0x40-0x7E), strings (OSC, DCS, APC, PM, SOS,
// ended by BEL or ESC \), character set designations (ESC and one
// intermediate, then one byte) and two-byte escape sequences.
#pragma once

#include <QByteArray>

class EscapeParser {
public:
    enum class Step {
        Text,         // a byte outside any sequence
        Sequence,     // a byte that starts or continues a sequence
        CsiEnd,       // the final byte of a control sequence
        EscapeEnd,    // the final byte of a two-byte escape sequence
    };
    Step step(unsigned char c);
    // Parameter and intermediate bytes of the control sequence that just ended.
    const QByteArray &csiParameters() const { return m_csi; }
    void reset() { m_state = State::Text; }

private:
    enum class State { Text, Escape, Csi, String, StringEscape, Designation };
    State m_state = State::Text;
    QByteArray m_csi;
};

// Removes escape sequences from text on its way to a log file.
class EscapeFilter {
public:
    QByteArray filter(const QByteArray &bytes);

private:
    EscapeParser m_parser;
};

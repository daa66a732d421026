// VtermGuard: the filter between a program's output and libvterm. It follows
// libvterm's own parser state (text, escape, control sequence, string) byte
// by byte and rewrites only what would take libvterm down a path that
// corrupts memory:
//  - text is passed as whole, well-formed UTF-8 sequences. A C1 control
//    encoded in UTF-8 (U+0080 to U+009F) is dropped: libvterm gives it a
//    width of -1 and moves the cursor left of column 0, after which a tab
//    stop or a cell is written outside its array. Malformed text becomes
//    U+FFFD, as libvterm shows it, and a partial sequence is held until it
//    completes, so libvterm's decoder never keeps state between writes.
//  - a control sequence keeps at most 16 parameters (libvterm stores the
//    17th past the end of its array, over its callback pointer) and each
//    parameter is clamped to 65535 (larger values overflow libvterm's
//    arithmetic; no screen is that large).
//  - REP (repeat the last character, CSI n b) reaches libvterm only after
//    a plain ASCII character. libvterm loops forever when the last glyph
//    has no width (nothing printed yet, or a lone combining mark) and writes
//    past the row for a wide one; for those the guard cancels the sequence
//    and sends the character itself n times, at most a screen width's worth.
// Everything else, and all correct input, passes unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class VtermGuard {
public:
    // The bytes libvterm may see for `input`, the next part of the stream.
    std::string filter(std::string_view input);
    // Where, in what the last filter() returned, the tail begins that
    // libvterm reads as plain text (printable characters, CR and LF, in
    // its text state from start to end). Only that tail may be cut short
    // without changing libvterm's parser state.
    std::size_t plainTailStart() const { return m_plainTailStart; }

    static constexpr int maximumParameters = 16;
    static constexpr std::uint32_t maximumParameter = 65535;
    static constexpr std::uint32_t maximumRepeat = 1000; // the widest screen the host makes

private:
    enum class State { Text, Escape, CsiLeader, CsiParameters, CsiIntermediate, String, EscapeInString };

    void byte(unsigned char c, std::string &out);
    void escape(unsigned char c, std::string &out);
    void csiParameter(unsigned char c, std::string &out);
    void text(unsigned char c, std::string &out);
    void endParameter(std::string &out);
    void completeCodePoint(std::string &out);
    void startControlSequence();
    void finalByte(unsigned char c, std::string &out);

    State m_state = State::Text;
    std::size_t m_plainTailStart = 0;
    bool m_escapeHasIntermediate = false;

    // The control sequence's parameter being read, held until it ends.
    int m_separators = 0;
    bool m_dropping = false; // past the last parameter libvterm can hold
    bool m_hasDigits = false;
    std::uint32_t m_parameter = 0;
    std::uint32_t m_firstParameter = 0; // 0 when missing
    bool m_plainSequence = true; // no leader, no intermediate bytes

    // The last character sent as text, as its UTF-8 bytes.
    std::string m_lastCharacter;

    // The UTF-8 sequence being read, held until it completes.
    std::string m_sequence;
    int m_remaining = 0;
    std::uint32_t m_codePoint = 0;
};

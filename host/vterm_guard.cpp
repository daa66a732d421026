// VtermGuard: follows libvterm's parser one byte at a time (the same states,
// entered on the same bytes, C0 controls acted on in every state) so that
// it knows which bytes libvterm takes as text and which as the parameters of
// a control sequence, and rewrites only those two; see vterm_guard.h.
#include "vterm_guard.h"

#include <algorithm>

namespace {

const char replacementCharacter[] = "\xEF\xBF\xBD"; // U+FFFD

constexpr unsigned char escapeByte = 0x1b;

bool isIntermediate(unsigned char c)
{
    return c >= 0x20 && c <= 0x2f;
}

// The smallest code point a sequence of `length` bytes may encode; below it
// the sequence is overlong.
std::uint32_t smallestCodePoint(std::size_t length)
{
    switch (length) {
    case 2: return 0x80;
    case 3: return 0x800;
    case 4: return 0x10000;
    case 5: return 0x200000;
    default: return 0x4000000;
    }
}

} // namespace

std::string VtermGuard::filter(std::string_view input)
{
    std::string out;
    out.reserve(input.size() + 8);
    m_plainTailStart = 0;
    for (const char ch : input) {
        const auto c = static_cast<unsigned char>(ch);
        const bool wasText = m_state == State::Text;
        byte(c, out);
        const bool plain = (c >= 0x20 && c != 0x7f) || c == '\r' || c == '\n';
        if (!wasText || m_state != State::Text || !plain)
            m_plainTailStart = out.size();
    }
    return out;
}

void VtermGuard::byte(unsigned char c, std::string &out)
{
    // Bytes libvterm handles the same way in every state.
    if (c == 0x00 || c == 0x7f) {
        out += char(c);
        return;
    }
    if (c == 0x18 || c == 0x1a) { // CAN, SUB
        m_state = State::Text;
        out += char(c);
        return;
    }
    if (c == escapeByte) {
        m_escapeHasIntermediate = false;
        m_state = m_state == State::String ? State::EscapeInString : State::Escape;
        out += char(c);
        return;
    }
    if (c < 0x20 && !(c == 0x07 && m_state == State::String)) {
        out += char(c); // acted on at once; the state (and a held parameter) stays
        return;
    }

    switch (m_state) {
    case State::EscapeInString:
        if (c == 0x5c) { // ST
            m_state = State::Text;
            out += char(c);
            return;
        }
        m_state = State::Escape;
        escape(c, out);
        return;
    case State::Escape:
        escape(c, out);
        return;
    case State::CsiLeader:
        if (c >= 0x3c && c <= 0x3f) {
            m_plainSequence = false;
            out += char(c);
            return;
        }
        m_state = State::CsiParameters;
        csiParameter(c, out);
        return;
    case State::CsiParameters:
        csiParameter(c, out);
        return;
    case State::CsiIntermediate:
        if (isIntermediate(c)) {
            m_plainSequence = false;
            out += char(c);
            return;
        }
        m_state = State::Text; // a final byte, or an invalid one that ends the sequence
        finalByte(c, out);
        return;
    case State::String:
        if (c == 0x07)
            m_state = State::Text;
        out += char(c);
        return;
    case State::Text:
        text(c, out);
        return;
    }
}

void VtermGuard::escape(unsigned char c, std::string &out)
{
    out += char(c);
    if (c == 'P' || c == ']') {
        m_state = State::String;
    } else if (c == '[') {
        startControlSequence();
    } else if (isIntermediate(c)) {
        m_escapeHasIntermediate = true;
    } else if ((!m_escapeHasIntermediate && c >= 0x40 && c < 0x60) || (c >= 0x30 && c < 0x7f)) {
        m_state = State::Text;
    }
    // Any other byte is ignored and the escape goes on, as libvterm does.
}

void VtermGuard::startControlSequence()
{
    m_state = State::CsiLeader;
    m_separators = 0;
    m_dropping = false;
    m_hasDigits = false;
    m_parameter = 0;
    m_firstParameter = 0;
    m_plainSequence = true;
}

void VtermGuard::finalByte(unsigned char c, std::string &out)
{
    const bool repeat = c == 'b' && m_plainSequence;
    if (!repeat || (m_lastCharacter.size() == 1 && m_lastCharacter[0] >= 0x20)) {
        out += char(c);
        return;
    }
    out += char(0x18); // CAN: libvterm drops the sequence begun, nothing else
    const std::uint32_t count = std::min(std::max<std::uint32_t>(m_firstParameter, 1), maximumRepeat);
    for (std::uint32_t i = 0; i < count && !m_lastCharacter.empty(); ++i)
        out += m_lastCharacter;
}

void VtermGuard::csiParameter(unsigned char c, std::string &out)
{
    if (c >= '0' && c <= '9') {
        if (!m_dropping) {
            m_hasDigits = true;
            m_parameter = m_parameter * 10 + (c - '0');
            if (m_parameter > maximumParameter)
                m_parameter = maximumParameter;
        }
        return;
    }
    if (c == ';' || c == ':') {
        endParameter(out);
        if (m_separators == maximumParameters - 1)
            m_dropping = true;
        if (!m_dropping) {
            ++m_separators;
            out += char(c);
        }
        return;
    }
    endParameter(out);
    m_state = State::CsiIntermediate;
    byte(c, out);
}

void VtermGuard::endParameter(std::string &out)
{
    if (m_hasDigits && !m_dropping) {
        out += std::to_string(m_parameter);
        if (m_separators == 0)
            m_firstParameter = m_parameter;
    }
    m_hasDigits = false;
    m_parameter = 0;
}

void VtermGuard::text(unsigned char c, std::string &out)
{
    if (c >= 0x80 && c < 0xc0) {
        if (m_remaining == 0) {
            m_lastCharacter = replacementCharacter; // a continuation with no start
            out += m_lastCharacter;
            return;
        }
        m_sequence += char(c);
        m_codePoint = (m_codePoint << 6) | (c & 0x3f);
        if (--m_remaining == 0)
            completeCodePoint(out);
        return;
    }
    if (m_remaining > 0) { // the sequence held is cut short
        m_lastCharacter = replacementCharacter;
        out += m_lastCharacter;
        m_remaining = 0;
        m_sequence.clear();
    }
    if (c < 0x80) {
        m_lastCharacter.assign(1, char(c));
        out += char(c);
        return;
    }
    // A lead byte: 110xxxxx to 1111110x start sequences of 2 to 6 bytes
    // (libvterm reads the long forms too; they never hold a valid code point).
    int length = 0;
    if (c < 0xe0)
        length = 2;
    else if (c < 0xf0)
        length = 3;
    else if (c < 0xf8)
        length = 4;
    else if (c < 0xfc)
        length = 5;
    else if (c < 0xfe)
        length = 6;
    if (length == 0) {
        m_lastCharacter = replacementCharacter;
        out += m_lastCharacter;
        return;
    }
    m_sequence.assign(1, char(c));
    m_codePoint = c & (0x7f >> length);
    m_remaining = length - 1;
}

void VtermGuard::completeCodePoint(std::string &out)
{
    const std::uint32_t codePoint = m_codePoint;
    const bool invalid = codePoint < smallestCodePoint(m_sequence.size())
        || (codePoint >= 0xd800 && codePoint <= 0xdfff) || codePoint == 0xfffe || codePoint == 0xffff
        || codePoint > 0x10ffff;
    if (codePoint >= 0x80 && codePoint < 0xa0 && !invalid) {
        m_sequence.clear(); // a C1 control libvterm would not act on, only move the cursor left for
        return;
    }
    m_lastCharacter = invalid ? std::string(replacementCharacter) : m_sequence;
    out += m_lastCharacter;
    m_sequence.clear();
}

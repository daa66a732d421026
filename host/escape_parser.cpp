// The escape parser's state machine, and the filter that keeps only the text
// (printable characters and the layout controls) of what it reads.
#include "escape_parser.h"

EscapeParser::Step EscapeParser::step(unsigned char c)
{
    switch (m_state) {
    case State::Text:
        if (c != 0x1B)
            return Step::Text;
        m_state = State::Escape;
        return Step::Sequence;
    case State::Escape:
        if (c == '[') {
            m_state = State::Csi;
            m_csi.clear();
        } else if (c == ']' || c == 'P' || c == '_' || c == '^' || c == 'X') {
            m_state = State::String;
        } else if (c == '(' || c == ')' || c == '*' || c == '+' || c == '#' || c == '%') {
            m_state = State::Designation;  // the designated set follows as one more byte
        } else {
            m_state = State::Text;
            return Step::EscapeEnd;
        }
        return Step::Sequence;
    case State::Designation:
        m_state = State::Text;
        return Step::Sequence;
    case State::Csi:
        if (c >= 0x40 && c <= 0x7E) {
            m_state = State::Text;
            return Step::CsiEnd;
        }
        if (c == 0x1B)
            m_state = State::Escape;
        else if (m_csi.size() < 64)
            m_csi.append(static_cast<char>(c));
        return Step::Sequence;
    case State::String:
        if (c == 0x07)
            m_state = State::Text;
        else if (c == 0x1B)
            m_state = State::StringEscape;
        return Step::Sequence;
    case State::StringEscape:
        m_state = c == '\\' ? State::Text : State::String;
        return Step::Sequence;
    }
    return Step::Sequence;
}

QByteArray EscapeFilter::filter(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (m_parser.step(c) == EscapeParser::Step::Text && (c >= 0x20 || c == '\n' || c == '\r' || c == '\t' || c == '\b'))
            out.append(ch);
    }
    return out;
}

// Escaping for JSON strings: quote, backslash and the control characters get
// a backslash form (the short one where JSON has it, \u00XX otherwise); every
// other byte, UTF-8 sequences included, is written as it is.
#include "json_text.h"

int jsonCost(unsigned char c)
{
    if (c == '"' || c == '\\')
        return 2;
    if (c >= 0x20)
        return 1;
    switch (c) {
    case '\b': case '\f': case '\n': case '\r': case '\t':
        return 2;
    default:
        return 6;
    }
}

void appendEscaped(QByteArray &out, const char *data, qsizetype size)
{
    static const char hex[] = "0123456789abcdef";
    // Runs of bytes that need no escape are appended whole: received text
    // is mostly such runs, and a reply can hold megabytes of it.
    qsizetype run = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(data + run, i - run);
        run = i + 1;
        switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        default: {
            const char escape[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            out.append(escape, 6);
        }
        }
    }
    out.append(data + run, size - run);
}

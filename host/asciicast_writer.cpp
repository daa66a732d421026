// The writer: lines are built by hand, so that times keep a fixed number of
// decimals and text is escaped by the host's own JSON escaping; each event
// line is flushed to the file at once.
#include "asciicast_writer.h"

#include "json_text.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

// Where the unfinished UTF-8 sequence at the end of `bytes` starts (its size
// when there is none): a lead byte among the last three whose sequence needs
// more bytes than are left.
qsizetype unfinishedTail(const QByteArray &bytes)
{
    for (qsizetype back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const unsigned char c = static_cast<unsigned char>(bytes.at(bytes.size() - back));
        if ((c & 0xc0) == 0x80)
            continue;   // a continuation byte: look further back
        const int length = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        return length > back ? bytes.size() - back : bytes.size();
    }
    return bytes.size();
}

} // namespace

bool AsciicastWriter::open(const QString &path, const Header &header, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("Cannot write the recording %1: %2").arg(path, m_file.errorString());
        return false;
    }
    m_file.write(headerLine(header));
    m_file.flush();
    return true;
}

QByteArray AsciicastWriter::headerLine(const Header &header)
{
    QJsonObject environment{{QStringLiteral("TERM"), header.term}};
    if (!header.shell.isEmpty())
        environment.insert(QStringLiteral("SHELL"), header.shell);
    const QJsonObject object{
        {QStringLiteral("version"), 2},
        {QStringLiteral("width"), header.size.width()},
        {QStringLiteral("height"), header.size.height()},
        {QStringLiteral("timestamp"), static_cast<double>(header.timestamp)},
        {QStringLiteral("command"), header.command},
        {QStringLiteral("env"), environment},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray AsciicastWriter::eventLine(double seconds, const char *kind, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray line;
    line.reserve(utf8.size() + utf8.size() / 4 + 32);
    line.append('[');
    // NaN and negative times (a clock that went back) are stored as 0.
    line.append(QByteArray::number(seconds > 0 ? seconds : 0.0, 'f', 6));
    line.append(", \"").append(kind).append("\", \"");
    appendEscaped(line, utf8.constData(), utf8.size());
    line.append("\"]\n");
    return line;
}

QString AsciicastWriter::decodeChunk(QByteArray &carry, const char *data, qsizetype size)
{
    // Each chunk is decoded on its own, not by a decoder that keeps state:
    // a carried byte that the next chunk does not finish must become one
    // U+FFFD without taking the byte after it along.
    QByteArray bytes = carry;
    bytes.append(data, size);
    const qsizetype complete = unfinishedTail(bytes);
    carry = bytes.mid(complete);
    bytes.truncate(complete);
    return QString::fromUtf8(bytes);
}

void AsciicastWriter::event(double seconds, QByteArray &carry, const char *kind, const char *data, qsizetype size)
{
    if (!m_file.isOpen() || size <= 0)
        return;
    // An event that brings only part of a character waits for the rest.
    const QString text = decodeChunk(carry, data, size);
    if (text.isEmpty())
        return;
    m_file.write(eventLine(seconds, kind, text));
    m_file.flush();
}

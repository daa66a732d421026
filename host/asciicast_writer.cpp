// The writer: lines are built by hand, so that times keep a fixed number of
// decimals and text is escaped by the host's own JSON escaping; each event
// line is flushed to the file at once.
#include "asciicast_writer.h"

#include "json_text.h"
#include "utf8_chunk.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

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

void AsciicastWriter::event(double seconds, QByteArray &carry, const char *kind, const char *data, qsizetype size)
{
    if (!m_file.isOpen() || size <= 0)
        return;
    // An event that brings only part of a character waits for the rest.
    const QString text = decodeUtf8Chunk(carry, data, size);
    if (text.isEmpty())
        return;
    m_file.write(eventLine(seconds, kind, text));
    m_file.flush();
}

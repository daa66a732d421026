// The reader: one JSON document per line, the header first. Times must be
// numbers, not below 0; a time below its predecessor's is taken as the
// predecessor's, as players do, so that gaps are never negative.
#include "recording.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>

std::optional<Recording> parseRecording(const QByteArray &text, QString *error)
{
    const QList<QByteArray> lines = text.split('\n');
    Recording recording;
    bool haveHeader = false;
    double previous = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int number = i + 1;
        if (line.isEmpty())
            continue;
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            *error = QStringLiteral("line %1: not JSON (%2)").arg(number).arg(parseError.errorString());
            return std::nullopt;
        }
        if (!haveHeader) {
            const QJsonObject header = document.object();
            if (!document.isObject() || header.value(QLatin1String("version")).toInt() != 2) {
                *error = QStringLiteral("line %1: not an asciicast version 2 header").arg(number);
                return std::nullopt;
            }
            const int width = header.value(QLatin1String("width")).toInt();
            const int height = header.value(QLatin1String("height")).toInt();
            if (width < 2 || height < 1 || width > 1000 || height > 1000) {
                *error = QStringLiteral("line %1: the width and height must be between 2x1 and 1000x1000").arg(number);
                return std::nullopt;
            }
            recording.size = QSize(width, height);
            recording.command = header.value(QLatin1String("command")).toString();
            const QJsonObject environment = header.value(QLatin1String("env")).toObject();
            recording.term = environment.value(QLatin1String("TERM")).toString();
            recording.shell = environment.value(QLatin1String("SHELL")).toString();
            haveHeader = true;
            continue;
        }
        const QJsonArray event = document.array();
        if (!document.isArray() || event.size() != 3 || !event.at(0).isDouble() || !event.at(1).isString()
            || !event.at(2).isString() || !(event.at(0).toDouble() >= 0)) {
            *error = QStringLiteral("line %1: not an event [time, kind, text]").arg(number);
            return std::nullopt;
        }
        const QString kind = event.at(1).toString();
        if (kind != QLatin1String("o") && kind != QLatin1String("i"))
            continue;
        previous = std::max(previous, event.at(0).toDouble());
        recording.events.append(RecordedEvent{previous, kind.at(0).toLatin1(), event.at(2).toString().toUtf8(), number});
    }
    if (!haveHeader) {
        *error = QStringLiteral("the file is empty");
        return std::nullopt;
    }
    return recording;
}

std::optional<Recording> readRecording(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read the recording %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QString why;
    std::optional<Recording> recording = parseRecording(file.readAll(), &why);
    if (!recording)
        *error = QStringLiteral("The recording %1 is not valid: %2").arg(path, why);
    return recording;
}

// The session log: each piece is written and flushed as it arrives, so that
// the file is complete up to the last output whatever happens to the host.
#include "session_log.h"

bool SessionLog::start(const QJsonObject &options, QString *error)
{
    const QString path = options.value(QStringLiteral("logPath")).toString();
    if (path.isEmpty()) {
        *error = QStringLiteral("Set the option logPath before starting the log.");
        return false;
    }
    auto file = std::make_unique<QFile>(path);
    const bool append = options.value(QStringLiteral("logAppend")).toBool();
    if (!file->open(QIODevice::WriteOnly | (append ? QIODevice::Append : QIODevice::Truncate))) {
        *error = QStringLiteral("Cannot open the log file %1: %2").arg(path, file->errorString());
        return false;
    }
    m_logRaw = options.value(QStringLiteral("logRaw")).toBool();
    m_logFilter = EscapeFilter();
    m_log = std::move(file);
    return true;
}

void SessionLog::stop()
{
    m_log.reset();
}

void SessionLog::write(const char *raw, qint64 size, const QByteArray &utf8)
{
    if (!m_log)
        return;
    if (m_logRaw)
        m_log->write(raw, size);
    else
        m_log->write(m_logFilter.filter(utf8));
    m_log->flush();
}

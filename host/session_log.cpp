// The session log: each piece is written and flushed as it arrives, so that
// the file is complete up to the last output whatever happens to the host. A
// write that fails (a full disk) ends the log, and says so on stderr.
#include "session_log.h"

#include <cstdio>

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
    const QByteArray filtered = m_logRaw ? QByteArray() : m_logFilter.filter(utf8);
    const bool written = m_logRaw ? m_log->write(raw, size) == size : m_log->write(filtered) == filtered.size();
    if (written && m_log->flush())
        return;
    // Said once; the log stops, so that Logging reads false rather than a
    // log that silently ends.
    std::fprintf(stderr, "Cannot write the session log %s: %s; logging stopped.\n",
                 qPrintable(m_log->fileName()), qPrintable(m_log->errorString()));
    m_log.reset();
}

// A tab's session log: the file named by the tab's logPath option, appended
// to or truncated (logAppend), holding either the bytes exactly as the child
// sent them (logRaw) or the received text with its escape sequences removed.
#pragma once

#include "escape_parser.h"

#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QString>
#include <memory>

class SessionLog {
public:
    // Opens the log as the tab's options say.
    bool start(const QJsonObject &options, QString *error);
    void stop();
    bool active() const { return m_log != nullptr; }
    // Logs one piece of output: `raw` as received, `utf8` as decoded.
    void write(const char *raw, qint64 size, const QByteArray &utf8);

private:
    std::unique_ptr<QFile> m_log;
    bool m_logRaw = false;
    EscapeFilter m_logFilter;
};

// The tab's glue: reads come in bursts (the event loop gets its turn between
// them), each burst goes to the screen, the echo tracker, the stream and the
// log, and every part that answers the child writes through the process.
#include "tab.h"

#include <QFileInfo>

namespace {

// Most bytes taken in at one go before the event loop gets its turn: a
// request that arrives meanwhile waits for the burst to end.
constexpr qsizetype burstBytes = 64 * 1024;

} // namespace

Tab::Tab(const QString &id, const QString &command, QSize size, qint64 keepBytes, QObject *parent)
    : QObject(parent), m_id(id), m_command(command), m_size(size),
      m_screen(size, [this](const QByteArray &answer) { m_process.write(answer); }),
      m_stream(keepBytes),
      m_upload([this](const QByteArray &bytes) { m_process.write(bytes); })
{
    connect(&m_process, &PtyProcess::readyRead, this, [this] { drain(); });
    connect(&m_process, &PtyProcess::exited, this, [this] {
        drain();
        Q_EMIT exited();
    });
}

Tab::~Tab() = default;

bool Tab::start(QString *error)
{
    return m_process.start(m_command, m_size, error);
}

QString Tab::caption() const
{
    if (!captionOverride.isEmpty())
        return captionOverride;
    if (!m_screen.title().isEmpty())
        return m_screen.title();
    if (!profileId.isEmpty())
        return profileId;
    return m_command.isEmpty() ? QFileInfo(qEnvironmentVariable("SHELL", QStringLiteral("/bin/sh"))).fileName() : m_command;
}

void Tab::drain(bool firstTextOnly)
{
    if (!m_process.readable())
        return;
    // A pseudo-terminal hands over at most a few KiB a read: everything that
    // is there now is gathered first and taken in as one piece, so that
    // decoding, the stream, the log and the held `stream` requests see one
    // burst, not one call per read.
    QByteArray &burst = m_readBuffer;
    burst.resize(0);
    // A request held for new text is answered with the first read that brings
    // some; the rest follows on the next turn of the event loop.
    const qsizetype budget = firstTextOnly || m_waitedOn ? 1 : burstBytes;
    m_process.read(burst, budget);
    if (burst.isEmpty())
        return;
    take(burst.constData(), burst.size());
    if (!m_upload.active())
        Q_EMIT received();
}

void Tab::take(const char *data, qint64 size)
{
    if (m_upload.active()) {
        m_upload.fromChild(data, size);
        return;
    }
    m_screen.write(data, size);
    m_echo.received(data, size);
    // Decoded and encoded again, so that what is held and logged is valid
    // UTF-8 even when the child's output is not; encoded once for both.
    const QString text = m_decoder.decode(QByteArrayView(data, size));
    const QByteArray utf8 = text.toUtf8();
    m_stream.append(utf8, text.size());
    m_log.write(data, size, utf8);
}

bool Tab::send(const QByteArray &bytes)
{
    if (!running())
        return false;
    m_echo.sent(bytes);
    m_process.write(bytes);
    return true;
}

bool Tab::startUpload(const QStringList &files, QString *error)
{
    if (!m_upload.prepare(files, running(), error))
        return false;
    drain();
    m_upload.start(files);
    return true;
}

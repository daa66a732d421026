// The tab's glue: reads come in bursts (the event loop gets its turn between
// them), each burst goes to the screen, the echo tracker, the stream and the
// log, and every part that answers the child writes through the process.
#include "tab.h"

#include "cp437.h"
#include "pty_process.h"
#include "replay_source.h"
#include "utf8_chunk.h"

#include <QFileInfo>

#include <cerrno>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Most bytes taken in at one go before the event loop gets its turn: a
// request that arrives meanwhile waits for the burst to end.
constexpr qsizetype burstBytes = 64 * 1024;

// Writes all of `data` to `fd`, waiting while it is full; gives up when it
// is gone.
void writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written > 0) {
            data += written;
            size -= written;
        } else if (written < 0 && errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            poll(&ready, 1, 100);
        } else if (!(written < 0 && errno == EINTR)) {
            return;
        }
    }
}

} // namespace

Tab::Tab(const QString &id, const QString &command, QSize size, qint64 keepBytes, QObject *parent)
    : QObject(parent), m_id(id), m_command(command), m_size(size),
      m_screen(size, [this](const QByteArray &answer) { if (m_process) m_process->answer(answer); }),
      m_stream(keepBytes),
      m_upload([this](const QByteArray &bytes) { if (m_process) m_process->answer(bytes); })
{
}

Tab::~Tab() = default;

void Tab::setTape(Tape tape)
{
    m_tape = std::move(tape);
    if (m_tape.replay)
        m_command = m_tape.replay->command == m_tape.replay->shell ? QString() : m_tape.replay->command;
}

bool Tab::start(QString *error)
{
    if (m_tape.replay) {
        auto *replay = new ReplaySource(*m_tape.replay, m_tape.replaySpeed);
        connect(replay, &ReplaySource::mismatch, this, &Tab::replayFailed);
        m_process.reset(replay);
    } else {
        m_process = std::make_unique<PtyProcess>();
    }
    connect(m_process.get(), &TabProgram::readyRead, this, [this] { drain(); });
    connect(m_process.get(), &TabProgram::exited, this, [this] {
        drain();
        Q_EMIT exited();
    });
    return m_process->start(m_command, m_size, error);
}

bool Tab::started() const
{
    return m_process && m_process->started();
}

bool Tab::running() const
{
    return m_process && m_process->running();
}

void Tab::hangUp(int graceMs)
{
    if (m_process)
        m_process->hangUp(graceMs);
}

void Tab::terminate()
{
    if (m_process)
        m_process->terminate();
}

QString Tab::status() const
{
    if (!m_process || !m_process->hasExited())
        return running() ? QStringLiteral("Connected") : QStringLiteral("Disconnected");
    // A replay knows that its program ended, not how.
    const std::optional<int> ended = m_process->waitStatus();
    if (!ended)
        return QStringLiteral("Disconnected");
    const int how = *ended;
    if (WIFSIGNALED(how))
        return QStringLiteral("Killed by signal %1").arg(WTERMSIG(how));
    return QStringLiteral("Exited with status %1").arg(WEXITSTATUS(how));
}

int Tab::exitCode() const
{
    const int how = m_process ? m_process->waitStatus().value_or(0) : 0;
    return WIFSIGNALED(how) ? 128 + WTERMSIG(how) : WEXITSTATUS(how);
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
    if (!m_process || !m_process->readable())
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
    m_process->read(burst, budget);
    if (burst.isEmpty())
        return;
    take(burst.constData(), burst.size());
    if (!m_upload.active())
        Q_EMIT received();
}

void Tab::take(const char *data, qint64 size)
{
    if (m_tape.recorder)
        m_tape.recorder->output(m_process->sessionTime(), data, size);
    if (m_upload.active()) {
        m_upload.fromChild(data, size);
        return;
    }
    if (m_mirror >= 0)
        writeAll(m_mirror, data, size);
    m_echo.received(data, size);
    // Decoded and encoded again, so that what is held and logged is valid
    // UTF-8 even when the child's output is not; encoded once for both. The
    // emulator runs in UTF-8: a CP437 tab's screen gets the text as decoded.
    const bool cp437 = usesCp437();
    const QString text = cp437 ? decodeCp437(QByteArrayView(data, size)) : decodeUtf8Chunk(m_utf8Carry, data, size);
    const QByteArray utf8 = text.toUtf8();
    if (cp437)
        m_screen.write(utf8.constData(), utf8.size());
    else
        m_screen.write(data, size);
    m_stream.append(utf8, text.size());
    m_log.write(data, size, utf8);
}

bool Tab::send(const QByteArray &bytes)
{
    if (!running())
        return false;
    m_echo.sent(bytes);
    m_process->write(bytes);
    if (m_tape.recorder)
        m_tape.recorder->input(m_process->sessionTime(), bytes);
    return true;
}

void Tab::resize(QSize size)
{
    m_size = size;
    m_screen.resize(size);
    if (m_process)
        m_process->resize(size);
}

bool Tab::usesCp437() const
{
    return options.value(QLatin1String("encoding")).toString().compare(QLatin1String("CP437"), Qt::CaseInsensitive) == 0;
}

QByteArray Tab::encode(const QString &text) const
{
    return usesCp437() ? encodeCp437(text) : text.toUtf8();
}

bool Tab::startUpload(const QStringList &files, QString *error)
{
    if (!m_upload.prepare(files, running(), error))
        return false;
    drain();
    m_upload.start(files);
    return true;
}

// The socket server: it accepts on its own listening socket, so that a failed
// accept (no descriptor left) pauses it instead of closing it, and it keeps
// the connections and the unread bytes they hold within bounds. Each
// connection's request line is read (served at once when it is already
// there), checked and handed to the operations; the reply
// goes out in one write when the socket takes it, else chunk by chunk as the
// socket drains, escaping a `stream` reply's text as it goes.
#include "api_server.h"

#include "json_text.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocalSocket>
#include <QPointer>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr qsizetype writeChunk = 256 * 1024;

bool sameToken(const QByteArray &given, const QByteArray &expected)
{
    // Compares every byte whatever the first difference, so that the time
    // taken says nothing about how much of a guess was right.
    if (given.size() != expected.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given.at(i) ^ expected.at(i));
    return difference == 0;
}

// One reply line still to be written: the envelope's head, the text of a
// `stream` reply (escaped as it goes out, never held twice) and the tail.
class ReplyText {
public:
    ReplyText(QByteArray head, TextStream::Slice slice, QByteArray tail)
        : m_head(std::move(head)), m_slice(std::move(slice)), m_tail(std::move(tail))
    {
    }

    // The next piece of the line, about `writeChunk` bytes; empty at the end.
    QByteArray next()
    {
        QByteArray chunk;
        chunk.swap(m_head);
        while (chunk.size() < writeChunk && m_piece < m_slice.pieces.size()) {
            TextStream::Piece &piece = m_slice.pieces[m_piece];
            const qsizetype count = std::min(writeChunk / 2, piece.bytes.size() - piece.from);
            chunk.reserve(chunk.size() + count + count / 4 + m_tail.size());
            appendEscaped(chunk, piece.bytes.constData() + piece.from, count);
            piece.from += count;
            if (piece.from >= piece.bytes.size())
                piece.bytes = QByteArray(), ++m_piece;
        }
        if (m_piece >= m_slice.pieces.size()) {
            chunk.append(m_tail);
            m_tail.clear();
        }
        return chunk;
    }

private:
    QByteArray m_head;
    TextStream::Slice m_slice;
    qsizetype m_piece = 0;
    QByteArray m_tail;
};

// Writes `bytes` straight to the socket's descriptor, as far as it takes them
// now. Only used while the socket's own buffer is empty, so that the order
// of bytes is kept. Returns the count written, or -1 when the peer is gone.
qsizetype writeNow(QLocalSocket *socket, const QByteArray &bytes)
{
    const int fd = static_cast<int>(socket->socketDescriptor());
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (count > 0) {
            written += count;
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        return -1;
    }
    return written;
}

// Feeds the rest of a reply that did not fit into the socket at once, a
// chunk each time the socket has written the last, then closes the connection.
class ReplyWriter : public QObject {
public:
    ReplyWriter(QLocalSocket *socket, ReplyText text)
        : QObject(socket), m_socket(socket), m_text(std::move(text))
    {
        connect(socket, &QLocalSocket::bytesWritten, this, &ReplyWriter::feed);
        feed();
    }

private:
    void feed()
    {
        while (m_socket->bytesToWrite() < writeChunk) {
            const QByteArray chunk = m_text.next();
            if (chunk.isEmpty()) {
                disconnect(m_socket, nullptr, this, nullptr);
                m_socket->disconnectFromServer();
                deleteLater();
                return;
            }
            m_socket->write(chunk);
        }
    }

    QLocalSocket *m_socket;
    ReplyText m_text;
};

// Writes a reply and closes the connection. A reply that the socket takes at
// once (nearly all of them) goes out in one system call, with no buffering
// and no object left to clean up; the rest is handed to a ReplyWriter.
void writeReply(QLocalSocket *socket, ReplyText text)
{
    if (socket->bytesToWrite() == 0) {
        for (QByteArray chunk = text.next();; chunk = text.next()) {
            if (chunk.isEmpty()) {
                socket->disconnectFromServer();
                return;
            }
            const qsizetype written = writeNow(socket, chunk);
            if (written < 0) {
                socket->abort();
                return;
            }
            if (written < chunk.size()) {
                socket->write(chunk.constData() + written, chunk.size() - written);
                break;
            }
        }
    }
    new ReplyWriter(socket, std::move(text));
}

} // namespace

ApiServer::ApiServer(Operations *operations, QObject *parent)
    : QObject(parent), m_operations(operations)
{
    QByteArray secret(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(secret.data()), secret.size() / 4);
    m_token = QString::fromLatin1(secret.toHex());
}

ApiServer::~ApiServer()
{
    close();
}

bool ApiServer::listen(QString *error)
{
    // mkdtemp makes the directory with mode 0700: only this user reaches the socket.
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + QStringLiteral("/morvane-host-XXXXXX"));
    if (!mkdtemp(pattern.data())) {
        *error = QStringLiteral("Cannot create a private directory for the socket: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_directory = QFile::decodeName(pattern);
    m_socketPath = m_directory + QStringLiteral("/api");
    const QByteArray path = QFile::encodeName(m_socketPath);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path) {
        *error = QStringLiteral("Cannot listen on %1: the path is too long.").arg(m_socketPath);
        close();
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::chmod(path.constData(), 0600) != 0 || ::listen(m_listener, 64) != 0) {
        *error = QStringLiteral("Cannot listen on %1: %2").arg(m_socketPath, QString::fromLocal8Bit(strerror(errno)));
        close();
        return false;
    }
    m_connections = new QObject(this);
    m_acceptNotifier = new QSocketNotifier(qintptr(m_listener), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &ApiServer::accept);
    m_acceptRetry = new QTimer(this);
    m_acceptRetry->setSingleShot(true);
    connect(m_acceptRetry, &QTimer::timeout, this, [this] {
        if (m_acceptNotifier)
            m_acceptNotifier->setEnabled(true);
    });
    return true;
}

void ApiServer::close()
{
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    if (m_listener >= 0) {
        ::close(m_listener);
        m_listener = -1;
    }
    delete m_connections;
    m_connections = nullptr;
    if (!m_directory.isEmpty()) {
        QFile::remove(m_socketPath);
        QDir().rmdir(m_directory);
        m_directory.clear();
    }
}

bool ApiServer::setTrace(const QString &path, QString *error)
{
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        *error = QStringLiteral("Cannot write the trace file %1: %2").arg(path, file->errorString());
        return false;
    }
    m_trace = std::move(file);
    return true;
}

void ApiServer::trace(const char *direction, const QByteArray &line)
{
    if (!m_trace)
        return;
    const QByteArray end = line.endsWith('\n') ? QByteArray() : QByteArrayLiteral("\n");
    const bool written = m_trace->write(direction) == qint64(std::strlen(direction))
        && m_trace->write(line) == line.size() && m_trace->write(end) == end.size() && m_trace->flush();
    if (written)
        return;
    // Said once, then tracing stops: a trace with holes would mislead.
    std::fprintf(stderr, "Cannot write the trace file %s: %s; tracing stopped.\n",
                 qPrintable(m_trace->fileName()), qPrintable(m_trace->errorString()));
    m_trace.reset();
}

void ApiServer::accept()
{
    while (m_listener >= 0) {
        if (m_open >= maxConnections && !dropOldestWaiting()) {
            pauseAccepting(0); // until a connection ends
            return;
        }
        const int descriptor = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (descriptor >= 0) {
            serveConnection(descriptor);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // Out of descriptors (or memory): the waiting connection stays queued
        // while room is made, or until a moment has passed.
        if ((errno == EMFILE || errno == ENFILE) && dropOldestWaiting())
            continue;
        pauseAccepting(acceptRetryMs);
        return;
    }
}

void ApiServer::pauseAccepting(int retryMs)
{
    m_acceptNotifier->setEnabled(false);
    if (retryMs > 0)
        m_acceptRetry->start(retryMs);
}

// Closes the oldest connection that has not sent its request line yet (but
// `spared`), giving back the bytes it held.
bool ApiServer::dropOldestWaiting(const QLocalSocket *spared)
{
    for (qsizetype i = 0; i < m_waiting.size(); ++i) {
        const Waiting waiting = m_waiting.at(i);
        if (waiting.socket == spared)
            continue;
        m_waiting.removeAt(i--);
        if (!waiting.socket)
            continue;
        if (const std::shared_ptr<PendingRequest> pending = waiting.pending.lock())
            pending->release();
        waiting.socket->abort();
        waiting.socket->deleteLater();
        return true;
    }
    return false;
}

void ApiServer::serveConnection(int descriptor)
{
    auto *socket = new QLocalSocket(m_connections);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(descriptor);
        delete socket;
        return;
    }
    ++m_open;
    connect(socket, &QObject::destroyed, this, [this] {
        --m_open;
        if (m_acceptNotifier && !m_acceptNotifier->isEnabled() && !m_acceptRetry->isActive())
            m_acceptNotifier->setEnabled(true);
    });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto pending = std::make_shared<PendingRequest>(m_buffered);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, pending] { readRequest(socket, *pending); });
    // The runner writes its request right after connecting, so it is
    // usually here already: served now, without a turn of the event loop
    // and without an idle timer.
    socket->waitForReadyRead(0);
    if (pending->complete)
        return;
    m_waiting.append(Waiting{socket, pending});
    pending->idle = new QTimer(socket);
    pending->idle->setSingleShot(true);
    // A coarse timer may fire up to 5 % early: never before the 10 s are up.
    pending->idle->setTimerType(Qt::PreciseTimer);
    connect(pending->idle, &QTimer::timeout, socket, [socket] { socket->abort(); });
    pending->idle->start(idleMs);
}

void ApiServer::readRequest(QLocalSocket *socket, PendingRequest &pending)
{
    const QByteArray received = socket->readAll();
    while (m_buffered + received.size() > maxBufferedBytes && dropOldestWaiting(socket)) {
    }
    const bool overBudget = m_buffered + received.size() > maxBufferedBytes;
    if (!overBudget) {
        pending.buffer.append(received);
        m_buffered += received.size();
    }
    const qsizetype end = pending.buffer.indexOf('\n');
    const bool tooLong = end < 0 ? pending.buffer.size() >= maxRequestLine : end + 1 > maxRequestLine;
    if (end < 0 && !tooLong && !overBudget)
        return;
    pending.complete = true;
    if (pending.idle)
        pending.idle->stop();
    m_waiting.removeIf([socket](const Waiting &waiting) { return waiting.socket == socket; });
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    if (overBudget && end < 0) {
        trace("> ", QByteArrayLiteral("(refused: unfinished requests over 64 MB)"));
        pending.release();
        reply(socket, ApiReply::failure(QStringLiteral("API request refused: the host holds 64 MB of unfinished requests.")));
        return;
    }
    if (tooLong) {
        trace("> ", QByteArrayLiteral("(request line over 4 MB)"));
        pending.release();
        reply(socket, ApiReply::failure(QStringLiteral("API request exceeds 4 MB.")));
        return;
    }
    const QByteArray line = pending.buffer.left(end);
    pending.release();
    serveLine(socket, line);
}

void ApiServer::serveLine(QLocalSocket *socket, const QByteArray &line)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        trace("> ", QByteArrayLiteral("(not a JSON object)"));
        reply(socket, ApiReply::failure(QStringLiteral("Invalid JSON request.")));
        return;
    }
    QJsonObject request = document.object();
    const QJsonValue token = request.take(QLatin1String("token"));
    if (m_trace)
        trace("> ", QJsonDocument(request).toJson(QJsonDocument::Compact));
    if (!token.isString() || !sameToken(token.toString().toUtf8(), m_token.toLatin1())) {
        reply(socket, ApiReply::failure(QStringLiteral("Invalid token.")));
        return;
    }
    QPointer<QLocalSocket> guarded(socket);
    m_operations->handle(request, [this, guarded](const ApiReply &answer) {
        if (guarded)
            reply(guarded, answer);
    });
}

void ApiServer::reply(QLocalSocket *socket, const ApiReply &answer)
{
    if (!answer.text) {
        QJsonObject envelope{{QStringLiteral("ok"), answer.ok}};
        if (answer.ok)
            envelope.insert(QStringLiteral("result"), answer.result.isUndefined() ? QJsonValue() : answer.result);
        else
            envelope.insert(QStringLiteral("error"), answer.error);
        const QByteArray line = QJsonDocument(envelope).toJson(QJsonDocument::Compact) + '\n';
        trace("< ", line);
        writeReply(socket, ReplyText(line, {}, {}));
        return;
    }
    const TextStream::Slice &slice = *answer.text;
    const QByteArray head = QByteArrayLiteral("{\"ok\":true,\"result\":{\"start\":") + QByteArray::number(slice.start)
        + ",\"end\":" + QByteArray::number(slice.end) + ",\"truncated\":" + (slice.truncated ? "true" : "false")
        + ",\"text\":\"";
    const QByteArray tail = QByteArrayLiteral("\"}}\n");
    if (m_trace) {
        QByteArray line = head;
        for (const TextStream::Piece &piece : slice.pieces)
            appendEscaped(line, piece.bytes.constData() + piece.from, piece.bytes.size() - piece.from);
        trace("< ", line + tail);
    }
    writeReply(socket, ReplyText(head, slice, tail));
}

// The socket server of the application API: a local server in a private
// directory, one request line in and one reply line out per connection, the
// run's token checked on every request.
#pragma once

#include "operations.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QLocalSocket;
class QSocketNotifier;
class QTimer;

class ApiServer : public QObject {
    Q_OBJECT
public:
    // A request line may hold this many bytes, its line feed included.
    static constexpr qint64 maxRequestLine = 4 * 1024 * 1024;
    // A connection that sends no complete line in this time is dropped.
    static constexpr int idleMs = 10000;
    // Connections open at once: the script needs one at a time. A new one
    // beyond this, or one the system has no descriptor for, takes the place
    // of the oldest connection still without a request line.
    static constexpr int maxConnections = 48;
    // Bytes of unfinished request lines held across all connections: the
    // oldest connections still waiting make room for newer bytes, and a
    // connection whose bytes cannot fit is refused.
    static constexpr qint64 maxBufferedBytes = 64 * 1024 * 1024;
    // After an accept fails for want of descriptors or memory.
    static constexpr int acceptRetryMs = 100;

    explicit ApiServer(Operations *operations, QObject *parent = nullptr);
    ~ApiServer() override;

    bool listen(QString *error);
    // Stops serving and removes the socket and its directory.
    void close();
    QString socketPath() const { return m_socketPath; }
    QString token() const { return m_token; }
    bool setTrace(const QString &path, QString *error);
    // Writes a line about the session (not a request) to the trace: "# text".
    void traceNote(const QString &text) { trace("# ", text.toUtf8()); }

private:
    // A connection's request line as it comes in; its bytes are counted in
    // the server's total while held.
    struct PendingRequest {
        explicit PendingRequest(qint64 &total) : total(total) {}
        ~PendingRequest() { release(); }
        void release()
        {
            total -= buffer.size();
            buffer = QByteArray();
        }
        QByteArray buffer;
        qint64 &total;
        bool complete = false;
        QTimer *idle = nullptr;    // drops a connection that never sends a line
    };

    void accept();
    void serveConnection(int descriptor);
    bool dropOldestWaiting(const QLocalSocket *spared = nullptr);
    void pauseAccepting(int retryMs);
    void readRequest(QLocalSocket *socket, PendingRequest &pending);
    void serveLine(QLocalSocket *socket, const QByteArray &line);
    void reply(QLocalSocket *socket, const ApiReply &reply);
    void trace(const char *direction, const QByteArray &line);

    Operations *m_operations;
    int m_listener = -1;
    QSocketNotifier *m_acceptNotifier = nullptr;
    QTimer *m_acceptRetry = nullptr;
    QObject *m_connections = nullptr;      // parent of the open connections
    // Open connections without a request line yet, oldest first.
    struct Waiting {
        QPointer<QLocalSocket> socket;
        std::weak_ptr<PendingRequest> pending;
    };
    QList<Waiting> m_waiting;
    int m_open = 0;
    qint64 m_buffered = 0;
    QString m_directory;
    QString m_socketPath;
    QString m_token;
    std::unique_ptr<QFile> m_trace;
};

// The socket server of the application API: a local server in a private
// directory, one request line in and one reply line out per connection, the
// run's token checked on every request.
#pragma once

#include "operations.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QTimer;

class ApiServer : public QObject {
    Q_OBJECT
public:
    // A request line may hold this many bytes, its line feed included.
    static constexpr qint64 maxRequestLine = 4 * 1024 * 1024;
    // A connection that sends no complete line in this time is dropped.
    static constexpr int idleMs = 10000;

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
    // A connection's request line as it comes in.
    struct PendingRequest {
        QByteArray buffer;
        bool complete = false;
        QTimer *idle = nullptr;    // drops a connection that never sends a line
    };

    void accept();
    void readRequest(QLocalSocket *socket, PendingRequest &pending);
    void serveLine(QLocalSocket *socket, const QByteArray &line);
    void reply(QLocalSocket *socket, const ApiReply &reply);
    void trace(const char *direction, const QByteArray &line);

    Operations *m_operations;
    QLocalServer *m_server = nullptr;
    QString m_directory;
    QString m_socketPath;
    QString m_token;
    std::unique_ptr<QFile> m_trace;
};

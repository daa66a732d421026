// A scriptable stand-in for the terminal application: a local socket server
// that records every request line and answers from a per-test table, plus a
// helper that runs the real morvane-lua binary against it.
#pragma once

#include <QFile>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QLocalServer>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTest>
#include <functional>
#include <optional>

// How one reply goes out on the wire.
struct Reply {
    QByteArray bytes;          // written exactly as given (a JSON line normally)
    int chunk = 0;             // > 0: written in pieces of this many bytes ...
    int pauseMs = 0;           // ... with this pause between pieces
    bool close = true;         // close the connection once everything is written
    bool never = false;        // never answer and never close (the client must time out)
    qint64 repeatTo = 0;       // > 0: repeat `bytes` until this many bytes went out

    static Reply ok(const QJsonValue &result = QJsonValue::Undefined);
    static Reply error(const QString &message);
    static Reply raw(const QByteArray &bytes) { return Reply{bytes}; }
};

// Decides the reply to one parsed request; nullopt passes it on.
using Handler = std::function<std::optional<Reply>(const QJsonObject &request)>;

class FakeApp : public QObject {
public:
    struct Request {
        QByteArray raw;     // the line as received, without its line feed
        QJsonObject json;   // parsed (empty when the line was not a JSON object)
    };

    explicit FakeApp(QObject *parent = nullptr);

    QString token() const { return m_token; }
    // MORVANE_SOCKET and MORVANE_TOKEN on top of the test's own environment.
    QProcessEnvironment environment() const;

    // Answers for an operation: a fixed result, an error or a raw reply.
    void answer(const QString &op, const QJsonValue &result) { reply(op, Reply::ok(result)); }
    void fail(const QString &op, const QString &message) { reply(op, Reply::error(message)); }
    void reply(const QString &op, const Reply &reply) { m_replies.insert(op, reply); }
    // Asked for every request that no table entry took: the seam for the
    // simulated terminal. Without one, such requests get an error reply.
    void setFallback(Handler handler) { m_fallback = std::move(handler); }

    QList<Request> requests;                              // every request, in order
    int connections = 0;                                  // connections accepted

    // When set, every connection gets this reply at once and its request is
    // never read (a hostile or broken application).
    std::optional<Reply> unread;

private:
    void accept();
    void serve(class QLocalSocket *socket, const QByteArray &line);
    void send(class QLocalSocket *socket, const Reply &reply);

    QLocalServer m_server;
    QString m_token;
    QHash<QString, Reply> m_replies;
    Handler m_fallback;
};

// Writes a test's file whole, or fails the test.
inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// What one run of the runner produced.
struct RunResult {
    int exitCode = -1;
    bool finished = false;   // false: killed after the time limit
    QByteArray out;
    QByteArray err;
    QString errText() const { return QString::fromUtf8(err); }
    QString outText() const { return QString::fromUtf8(out); }
};

struct RunOptions {
    QStringList arguments;             // script arguments
    QProcessEnvironment environment;   // empty: the app's (or the test's) environment
    QString workingDirectory;          // empty: a fresh temporary directory
    int timeoutMs = 30000;
};

// Path of the morvane-lua binary under test.
inline QString runnerPath()
{
    return QStringLiteral(MORVANE_LUA_PATH);
}

// Writes `script` to a file and runs the runner on it, serving `app` (may be
// null) while it runs.
RunResult runScript(FakeApp *app, const QByteArray &script, const RunOptions &options = {});

// Puts the global show(...) in front of a script, on its first line so that
// line numbers in messages stay as written: show prints its arguments on one
// line, strings quoted with \ddd escapes, numbers in Lua's form (3 vs 3.0).
QByteArray withShow(const QByteArray &script);

// Runs the runner with an exact argument list (no script written).
RunResult runRunner(const QStringList &arguments, const RunOptions &options = {});

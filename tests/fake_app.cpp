#include "fake_app.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

// The fixture gives up on a request line longer than this (twice the
// runner's own limit, so that limit is tested from the runner's side).
constexpr qsizetype requestLineBound = 8 * 1024 * 1024;

Reply Reply::ok(const QJsonValue &result)
{
    QJsonObject object{{QStringLiteral("ok"), true}};
    if (!result.isUndefined())
        object.insert(QStringLiteral("result"), result);
    return raw(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

Reply Reply::error(const QString &message)
{
    return raw(QJsonDocument(QJsonObject{{"ok", false}, {"error", message}}).toJson(QJsonDocument::Compact) + '\n');
}

FakeApp::FakeApp(QObject *parent)
    : QObject(parent)
    , m_token(QString::number(QRandomGenerator::global()->generate64(), 16))
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = QDir::tempPath() + QStringLiteral("/morvane-fake-")
        + QUuid::createUuid().toString(QUuid::Id128).left(12);
    if (!m_server.listen(name))
        qFatal("fake application cannot listen on %s: %s", qPrintable(name), qPrintable(m_server.errorString()));
    connect(&m_server, &QLocalServer::newConnection, this, &FakeApp::accept);
}

QProcessEnvironment FakeApp::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MORVANE_SOCKET"), m_server.fullServerName());
    environment.insert(QStringLiteral("MORVANE_TOKEN"), m_token);
    return environment;
}

void FakeApp::accept()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        ++connections;
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (unread) {
            socket->setReadBufferSize(1);
            send(socket, *unread);
            continue;
        }
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
            const qsizetype searched = buffer->size();
            buffer->append(socket->readAll());
            const qsizetype lineEnd = buffer->indexOf('\n', searched);
            if (lineEnd < 0) {
                if (buffer->size() > requestLineBound)
                    socket->abort();
                return;
            }
            const QByteArray line = buffer->left(lineEnd);
            buffer->clear();
            disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
            serve(socket, line);
        });
    }
}

void FakeApp::serve(QLocalSocket *socket, const QByteArray &line)
{
    const QJsonObject json = QJsonDocument::fromJson(line).object();
    requests.append({line, json});
    if (json.value(QStringLiteral("token")).toString() != m_token) {
        send(socket, Reply::error(QStringLiteral("Invalid token.")));
        return;
    }
    const QString op = json.value(QStringLiteral("op")).toString();
    std::optional<Reply> chosen = m_replies.contains(op) ? m_replies.value(op) : m_fallback ? m_fallback(json) : std::nullopt;
    send(socket, chosen ? *chosen : Reply::error(QStringLiteral("Unknown operation: ") + op));
}

void FakeApp::send(QLocalSocket *socket, const Reply &reply)
{
    if (reply.never)
        return;
    QPointer<QLocalSocket> guard(socket);
    const auto finish = [guard, close = reply.close] {
        if (guard && close)
            guard->disconnectFromServer();
    };
    if (reply.repeatTo > 0) {
        // Keep the write buffer short and top it up as the client drains it.
        auto sent = std::make_shared<qint64>(0);
        const auto topUp = [guard, sent, reply, finish] {
            if (!guard)
                return;
            while (*sent < reply.repeatTo && guard->bytesToWrite() < 4 * reply.bytes.size() + 65536) {
                const QByteArray piece = reply.bytes.left(qsizetype(qMin<qint64>(reply.bytes.size(), reply.repeatTo - *sent)));
                guard->write(piece);
                *sent += piece.size();
            }
            if (*sent >= reply.repeatTo && guard->bytesToWrite() == 0)
                finish();
        };
        connect(socket, &QLocalSocket::bytesWritten, socket, topUp);
        topUp();
        return;
    }
    if (reply.chunk > 0) {
        // A piece at every tick; the timer goes with the socket.
        auto offset = std::make_shared<qsizetype>(0);
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, timer, offset, reply, finish] {
            socket->write(reply.bytes.mid(*offset, reply.chunk));
            socket->flush();
            *offset += reply.chunk;
            if (*offset >= reply.bytes.size()) {
                timer->stop();
                finish();
            }
        });
        timer->start(reply.pauseMs);
        return;
    }
    socket->write(reply.bytes);
    finish();
}

namespace {

// Runs the runner on `arguments`, after `script` (when given) as a file in
// front of them, serving `app` (may be null) while it runs.
RunResult run(FakeApp *app, const QByteArray *script, QStringList arguments, const RunOptions &options)
{
    QTemporaryDir temporary;
    const QString directory = options.workingDirectory.isEmpty() ? temporary.path() : options.workingDirectory;
    if (script) {
        const QString path = directory + QStringLiteral("/script.lua");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(*script) != script->size())
            qFatal("cannot write the test script %s", qPrintable(path));
        arguments.prepend(path);
    }
    QProcess process;
    process.setWorkingDirectory(directory);
    if (!options.environment.isEmpty())
        process.setProcessEnvironment(options.environment);
    else if (app)
        process.setProcessEnvironment(app->environment());
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(options.timeoutMs, &loop, &QEventLoop::quit);
    process.start(runnerPath(), arguments);
    // The application is served while the loop runs.
    if (process.waitForStarted())
        loop.exec();
    RunResult result;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    } else {
        result.finished = process.exitStatus() == QProcess::NormalExit;
        result.exitCode = process.exitCode();
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

} // namespace

RunResult runScript(FakeApp *app, const QByteArray &script, const RunOptions &options)
{
    return run(app, &script, options.arguments, options);
}

RunResult runRunner(const QStringList &arguments, const RunOptions &options)
{
    return run(nullptr, nullptr, arguments, options);
}

QByteArray withShow(const QByteArray &script)
{
    return "dofile('" MORVANE_SOURCE_DIR "/tests/lua/show.lua') " + script;
}

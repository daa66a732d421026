// The reply path: arbitrary bytes served as the application's answer over a
// real local socket, through rpc's framing, JSON parsing and the push into
// Lua. The outcome must be what the line says: the result, the
// application's error text, or one of rpc's own messages.
#include "natives.h"

#include <lauxlib.h>
#include <lua.h>

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex replyLock;
QByteArray currentReply;
std::string socketPath;

// Serves one connection at a time: reads the request line, writes the
// current reply, closes.
void serve(int listener)
{
    for (;;) {
        const int connection = accept(listener, nullptr, nullptr);
        if (connection < 0)
            continue;
        char byte = 0;
        while (read(connection, &byte, 1) == 1 && byte != '\n') {
        }
        QByteArray reply;
        {
            std::lock_guard<std::mutex> guard(replyLock);
            reply = currentReply;
        }
        qsizetype sent = 0;
        while (sent < reply.size()) {
            const ssize_t count = write(connection, reply.constData() + sent, size_t(reply.size() - sent));
            if (count <= 0)
                break;
            sent += count;
        }
        close(connection);
    }
}

void removeSocket()
{
    unlink(socketPath.c_str());
}

void startServer()
{
    socketPath = QDir::tempPath().toStdString() + "/morvane-fuzz-reply-" + std::to_string(getpid());
    unlink(socketPath.c_str());
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (listener < 0 || socketPath.size() >= sizeof address.sun_path)
        std::abort();
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 8) != 0)
        std::abort();
    std::atexit(removeSocket);
    std::thread(serve, listener).detach();
    setenv("MORVANE_SOCKET", socketPath.c_str(), 1);
    setenv("MORVANE_TOKEN", "fuzz", 1);
}

QString messageAt(lua_State *L, int index)
{
    size_t length = 0;
    const char *bytes = lua_tolstring(L, index, &length);
    if (!bytes)
        std::abort();
    return QString::fromUtf8(bytes, qsizetype(length));
}

void check(lua_State *L, const QByteArray &reply)
{
    if (lua_gettop(L) != 2)
        std::abort();
    const qsizetype lineEnd = reply.indexOf('\n');
    if (lineEnd < 0) {
        if (!lua_isnil(L, 1) || messageAt(L, 2) != QLatin1String("Application API closed or timed out before replying."))
            std::abort();
        return;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(reply.left(lineEnd), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        if (!lua_isnil(L, 1) || messageAt(L, 2) != QLatin1String("Invalid application API reply."))
            std::abort();
        return;
    }
    const QJsonObject answer = document.object();
    const QJsonValue ok = answer.value(QLatin1String("ok"));
    if (!(ok.isBool() && ok.toBool())) {
        const QJsonValue error = answer.value(QLatin1String("error"));
        const QString expected = error.isString() ? error.toString() : QStringLiteral("Application request failed.");
        if (!lua_isnil(L, 1) || messageAt(L, 2) != QString::fromUtf8(expected.toUtf8()))
            std::abort();
        return;
    }
    // A result is converted or refused as too deep; the values and the depth
    // limit are checked both ways by fuzz_request and tst_rpc.
    if (!lua_isnil(L, 2) && (!lua_isnil(L, 1) || messageAt(L, 2) != QLatin1String("Application reply is nested too deeply for Lua.")))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv); // the socket classes want one; lives to the end
    startServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray reply(reinterpret_cast<const char *>(data), qsizetype(size));
    {
        std::lock_guard<std::mutex> guard(replyLock);
        currentReply = reply;
    }
    lua_State *L = fuzz::newState();
    lua_newtable(L);
    lua_pushliteral(L, "x");
    lua_setfield(L, -2, "op");
    if (fuzz::call(L, fuzz::rpc, 1) != LUA_OK)
        std::abort();
    check(L, reply);
    lua_close(L);
    return 0;
}

// The reply path: arbitrary bytes served as the application's answer over a
// real local socket, through rpc's framing, JSON parsing and the push into
// Lua. The result must be what the line says: the converted result, the
// application's error text, or one of rpc's own messages.
#include "natives.h"

#include <lauxlib.h>
#include <lua.h>

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
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

// Deepest level of any value, the result counting as level 0.
int depth(const QJsonValue &value)
{
    int deepest = 0;
    if (value.isArray()) {
        for (const QJsonValue &element : value.toArray())
            deepest = qMax(deepest, depth(element) + 1);
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto member = object.begin(); member != object.end(); ++member)
            deepest = qMax(deepest, depth(member.value()) + 1);
    }
    return deepest;
}

// The value as it reads back from Lua: null members dropped, strings through
// UTF-8, an empty array an empty object. False when it cannot be compared
// (null array elements leave holes, and the request direction stops at 33).
bool expectedBack(const QJsonValue &value, QJsonValue &back)
{
    if (value.isString()) {
        back = QString::fromUtf8(value.toString().toUtf8());
    } else if (value.isArray()) {
        const QJsonArray array = value.toArray();
        if (array.isEmpty()) {
            back = QJsonObject();
            return true;
        }
        QJsonArray converted;
        for (const QJsonValue &element : array) {
            QJsonValue item;
            if (element.isNull() || !expectedBack(element, item))
                return false;
            converted.append(item);
        }
        back = converted;
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        QJsonObject converted;
        for (auto member = object.begin(); member != object.end(); ++member) {
            QJsonValue item;
            if (member.value().isNull())
                continue;
            if (!expectedBack(member.value(), item))
                return false;
            converted.insert(QString::fromUtf8(member.key().toUtf8()), item);
        }
        back = converted;
    } else if (value.isUndefined()) {
        back = QJsonValue(QJsonValue::Null);
    } else {
        back = value;
    }
    return true;
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
    const QJsonValue result = answer.value(QLatin1String("result"));
    // Any value at level 65 is refused; an empty container at 64 is not.
    const int deepest = depth(result);
    if (!lua_isnil(L, 2)) {
        if (!lua_isnil(L, 1) || messageAt(L, 2) != QLatin1String("Application reply is nested too deeply for Lua.")
            || deepest < 65)
            std::abort();
        return;
    }
    if (deepest >= 65)
        std::abort();
    QJsonValue back;
    if (deepest > 32 || !expectedBack(result, back))
        return;
    QJsonValue converted;
    QString error;
    if (!fuzz::toJson(L, 1, converted, error) || !fuzz::sameJson(converted, back))
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

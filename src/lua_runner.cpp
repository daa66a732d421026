// morvane-lua: runs one Lua script for Morvane Terminal. The script reaches the
// terminal through the native table __morvane_native and the embedded modules.

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

#include <QAbstractEventDispatcher>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSaveFile>
#include <QString>
#include <QStringConverter>
#include <QStringDecoder>
#include <QStringList>
#include <QThread>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#include <shellapi.h>
#endif

#include "embedded_lua.h"

namespace {

constexpr qint64 fileLimit = 16777216;      // script, read_file, write_file
constexpr qint64 replyLimit = 16777216;     // bytes of an application reply line
constexpr qint64 requestLimit = 4194304;    // bytes of a request line, line feed included
constexpr qint64 requestValueLimit = 2097152; // values one request line can hold at most
constexpr int requestBudgetMs = 60000;
constexpr int luaToJsonLevels = 33;
constexpr int jsonToLuaLevels = 65;
constexpr int patternCacheLimit = 512;

QElapsedTimer clockStarted;

bool jsonValue(lua_State *L, int index, QJsonValue &value, QString &error, int level,
               qint64 *converted = nullptr);
bool pushValue(lua_State *L, const QJsonValue &value, int level);
int failure(lua_State *L, const QString &message);
bool registerNatives(lua_State *L);

// main and start-up

void writeLine(FILE *stream, const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

enum class ReadOutcome { Complete, TooLarge, Failed };

// Reads the whole file, but never more than fileLimit + 1 bytes: pipes,
// devices and /proc files report size 0, so the size check alone does not
// bound them. Regular files are read in one allocation of their size.
ReadOutcome readBounded(QFile &file, QByteArray &bytes)
{
    if (file.size() > fileLimit)
        return ReadOutcome::TooLarge;
    const qint64 expected = file.size();
    qint64 filled = 0;
    bytes.clear();
    for (;;) {
        const qint64 room = qMin(qMax<qint64>(expected - filled + 1, 65536), fileLimit + 1 - filled);
        bytes.resize(filled + room);
        const qint64 count = file.read(bytes.data() + filled, room);
        if (count < 0) {
            bytes.clear();
            return ReadOutcome::Failed;
        }
        if (count == 0)
            break;
        filled += count;
        if (filled > fileLimit) {
            bytes.clear();
            return ReadOutcome::TooLarge;
        }
    }
    bytes.resize(filled);
    return file.error() == QFileDevice::NoError ? ReadOutcome::Complete : ReadOutcome::Failed;
}

// Drops a UTF-8 byte-order mark and empties a "#!" first line, keeping its
// line feed so that line numbers in messages stay right.
void dropScriptPreamble(QByteArray &script)
{
    if (script.startsWith("\xEF\xBB\xBF"))
        script.remove(0, 3);
    if (!script.startsWith("#!"))
        return;
    const qsizetype lineFeed = script.indexOf('\n');
    if (lineFeed < 0)
        script.clear();
    else
        script.remove(0, lineFeed);
}

// package.path = D/?.lua;D/?/init.lua; + the old value, with the package table on top.
void prefixPackagePath(lua_State *L, const QString &scriptPath)
{
    const QByteArray directory = QDir::fromNativeSeparators(QFileInfo(scriptPath).absolutePath()).toUtf8();
    lua_getfield(L, -1, "path");
    const char *old = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "";
    const QByteArray path = directory + "/?.lua;" + directory + "/?/init.lua;" + old;
    lua_pop(L, 1);
    lua_pushlstring(L, path.constData(), size_t(path.size()));
    lua_setfield(L, -2, "path");
}

void setArgTable(lua_State *L, const QString &scriptPath, const QStringList &arguments)
{
    const int count = int(arguments.size());
    lua_createtable(L, count, 1);
    const QByteArray path = scriptPath.toUtf8();
    lua_pushlstring(L, path.constData(), size_t(path.size()));
    lua_rawseti(L, -2, 0);
    for (int i = 0; i < count; ++i) {
        const QByteArray argument = arguments.at(i).toUtf8();
        lua_pushlstring(L, argument.constData(), size_t(argument.size()));
        lua_rawseti(L, -2, i + 1);
    }
    lua_setglobal(L, "arg");
}

int traceback(lua_State *L);
QStringList windowsCommandLine();

// The runner never enters an event loop: all waiting is done by the sockets'
// blocking waits. Without this, every socket call would also wake a real
// dispatcher through its event file descriptor for events nobody processes.
class NoEventLoop final : public QAbstractEventDispatcher {
public:
    bool processEvents(QEventLoop::ProcessEventsFlags) override { return false; }
    void registerSocketNotifier(QSocketNotifier *) override {}
    void unregisterSocketNotifier(QSocketNotifier *) override {}
    void registerTimer(int, qint64, Qt::TimerType, QObject *) override {}
    bool unregisterTimer(int) override { return true; }
    bool unregisterTimers(QObject *) override { return true; }
    QList<TimerInfo> registeredTimers(QObject *) const override { return {}; }
    int remainingTime(int) override { return -1; }
    void wakeUp() override {}
    void interrupt() override {}
};

int runScript(lua_State *L, const QString &scriptPath, const QByteArray &script,
              const QStringList &scriptArguments)
{
    if (!registerNatives(L)) {
        writeLine(stderr, lua_tostring(L, -1) ? QByteArray(lua_tostring(L, -1)) : QByteArray("Lua script failed"));
        return 1;
    }
    prefixPackagePath(L, scriptPath);
    lua_pop(L, 1);
    setArgTable(L, scriptPath, scriptArguments);

    lua_pushcfunction(L, traceback);
    const int handler = lua_gettop(L);
    const QByteArray chunkName = "@" + scriptPath.toUtf8();
    int status = luaL_loadbufferx(L, script.constData(), size_t(script.size()), chunkName.constData(), "t");
    if (status == LUA_OK) {
        const int count = int(scriptArguments.size());
        if (!lua_checkstack(L, count + LUA_MINSTACK)) {
            writeLine(stderr, "stack overflow (too many script arguments)");
            return 1;
        }
        for (const QString &argument : scriptArguments) {
            const QByteArray bytes = argument.toUtf8();
            lua_pushlstring(L, bytes.constData(), size_t(bytes.size()));
        }
        status = lua_pcallk(L, count, LUA_MULTRET, handler, 0, nullptr);
    }
    if (status == LUA_OK)
        return 0;
    size_t length = 0;
    const char *message = lua_type(L, -1) == LUA_TSTRING || lua_type(L, -1) == LUA_TNUMBER
        ? lua_tolstring(L, -1, &length) : nullptr;
    writeLine(stderr, message ? QByteArray(message, qsizetype(length)) : QByteArray("Lua script failed"));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication::setEventDispatcher(new NoEventLoop);
    QCoreApplication application(argc, argv);
    // The application object adopts the user's locale; scripts run in the C
    // locale, as under the plain interpreter: numbers with a decimal point,
    // string comparison and table.sort by byte value, os.date in English.
    std::setlocale(LC_ALL, "C");
    clockStarted.start();
    const QStringList arguments = windowsCommandLine();
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--version")) {
        writeLine(stdout, "Morvane Lua 0.5.0 (" LUA_RELEASE ")");
        return 0;
    }
    if (arguments.size() < 2) {
        writeLine(stderr, "Usage: morvane-lua script.lua [arguments...]");
        return 2;
    }
    const QString scriptPath = QFileInfo(arguments.at(1)).absoluteFilePath();
    QByteArray script;
    {
        QFile file(scriptPath);
        if (!file.open(QIODeviceBase::ReadOnly)) {
            writeLine(stderr, file.errorString().toUtf8());
            return 1;
        }
        switch (readBounded(file, script)) {
        case ReadOutcome::TooLarge:
            writeLine(stderr, "Lua script exceeds 16 MB.");
            return 1;
        case ReadOutcome::Failed:
            writeLine(stderr, file.errorString().toUtf8());
            return 1;
        case ReadOutcome::Complete:
            break;
        }
    }
    dropScriptPreamble(script);

    lua_State *L = luaL_newstate();
    if (!L) {
        writeLine(stderr, "Could not initialise Lua.");
        return 1;
    }
    luaL_openlibs(L);
    const int status = runScript(L, scriptPath, script, arguments.mid(2));
    lua_close(L);
    return status;
}

namespace {

// windowsCommandLine: the arguments as Unicode text, element 0 the program

QStringList windowsCommandLine()
{
#ifdef Q_OS_WIN
    int count = 0;
    LPWSTR *words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!words)
        return {};
    QStringList arguments;
    for (int i = 0; i < count; ++i)
        arguments.append(QString::fromWCharArray(words[i]));
    LocalFree(words);
    return arguments;
#else
    return QCoreApplication::arguments();
#endif
}

// traceback: message handler of the script call

/* traceback(message) [-0, +1, m] */
int traceback(lua_State *L)
{
    const char *message = lua_tostring(L, 1);
    if (!message) {
        lua_pushliteral(L, "Lua error (non-text value)");
        return 1;
    }
    luaL_traceback(L, L, message, 1);
    return 1;
}

// value bridge: Lua values to JSON and back

const char *const messageStack = "Could not expand the Lua API stack.";
const char *const messageDepth = "API tables are nested too deeply or contain a cycle.";
const char *const messageFinite = "API numbers must be finite.";
const char *const messageUtf8 = "API text must be UTF-8; use Screen:SendBytes for binary data.";
const char *const messageKeys = "API tables need string keys or dense one-based array indexes.";
const char *const messageType = "The API accepts strings, numbers, booleans, nil and tables.";
const char *const messageRequestSize = "API request exceeds 4 MB.";

// Strict UTF-8: a byte-order mark is kept as text and a sequence cut off at
// the end counts as invalid, so no byte of the string is silently dropped.
bool decodeUtf8(const char *bytes, size_t length, QString &text)
{
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    text = decoder.decode(QByteArrayView(bytes, qsizetype(length)));
    return !decoder.hasError();
}

// Classifies a table: an array when its keys are exactly the integers 1..n.
bool isArrayTable(lua_State *L, int index)
{
    const lua_Unsigned length = lua_rawlen(L, index);
    if (length == 0)
        return false;
    lua_Unsigned count = 0;
    bool candidate = true;
    lua_pushnil(L);
    while (lua_next(L, index)) {
        ++count;
        if (candidate) {
            const lua_Integer key = lua_isinteger(L, -2) ? lua_tointeger(L, -2) : 0;
            candidate = key >= 1 && lua_Unsigned(key) <= length;
        }
        lua_pop(L, 1);
    }
    return candidate && count == length;
}

bool jsonArray(lua_State *L, int index, QJsonValue &value, QString &error, int level, qint64 *converted)
{
    const lua_Unsigned length = lua_rawlen(L, index);
    QJsonArray array;
    for (lua_Unsigned i = 1; i <= length; ++i) {
        lua_rawgeti(L, index, lua_Integer(i));
        QJsonValue element;
        const bool ok = jsonValue(L, -1, element, error, level + 1, converted);
        lua_pop(L, 1);
        if (!ok)
            return false;
        array.append(element);
    }
    value = array;
    return true;
}

bool jsonObject(lua_State *L, int index, QJsonValue &value, QString &error, int level, qint64 *converted)
{
    QJsonObject object;
    lua_pushnil(L);
    while (lua_next(L, index)) {
        if (lua_type(L, -2) != LUA_TSTRING) {
            lua_pop(L, 2);
            error = QString::fromLatin1(messageKeys);
            return false;
        }
        QJsonValue key, member;
        const bool ok = jsonValue(L, -2, key, error, level + 1, converted)
            && jsonValue(L, -1, member, error, level + 1, converted);
        if (!ok) {
            lua_pop(L, 2);
            return false;
        }
        lua_pop(L, 1);
        object.insert(key.toString(), member);
    }
    value = object;
    return true;
}

/* jsonValue: the Lua value at index as JSON; the stack is left as found */
bool jsonValue(lua_State *L, int index, QJsonValue &value, QString &error, int level, qint64 *converted)
{
    qint64 count = 0;
    if (!converted)
        converted = &count;
    if (!lua_checkstack(L, 8)) {
        error = QString::fromLatin1(messageStack);
        return false;
    }
    if (level == luaToJsonLevels) {
        error = QString::fromLatin1(messageDepth);
        return false;
    }
    // Shared subtables are written once per path; bound the work by what a
    // request line could hold at all.
    if (++*converted > requestValueLimit) {
        error = QString::fromLatin1(messageRequestSize);
        return false;
    }
    index = lua_absindex(L, index);
    switch (lua_type(L, index)) {
    case LUA_TNIL:
        value = QJsonValue(QJsonValue::Null);
        return true;
    case LUA_TBOOLEAN:
        value = QJsonValue(bool(lua_toboolean(L, index)));
        return true;
    case LUA_TNUMBER: {
        const double number = double(lua_tonumberx(L, index, nullptr));
        if (!(std::fabs(number) <= DBL_MAX)) {
            error = QString::fromLatin1(messageFinite);
            return false;
        }
        value = QJsonValue(number);
        return true;
    }
    case LUA_TSTRING: {
        size_t length = 0;
        const char *bytes = lua_tolstring(L, index, &length);
        QString text;
        if (!decodeUtf8(bytes, length, text)) {
            error = QString::fromLatin1(messageUtf8);
            return false;
        }
        value = QJsonValue(text);
        return true;
    }
    case LUA_TTABLE:
        return isArrayTable(L, index) ? jsonArray(L, index, value, error, level, converted)
                                      : jsonObject(L, index, value, error, level, converted);
    default:
        error = QString::fromLatin1(messageType);
        return false;
    }
}

/* pushValue: one Lua value for a JSON value; false at the level limit */
bool pushValue(lua_State *L, const QJsonValue &value, int level)
{
    if (level == jsonToLuaLevels || !lua_checkstack(L, 8))
        return false;
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        lua_pushnil(L);
        return true;
    case QJsonValue::Bool:
        lua_pushboolean(L, value.toBool());
        return true;
    case QJsonValue::Double:
        lua_pushnumber(L, lua_Number(value.toDouble()));
        return true;
    case QJsonValue::String: {
        const QByteArray bytes = value.toString().toUtf8();
        lua_pushlstring(L, bytes.constData(), size_t(bytes.size()));
        return true;
    }
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        lua_createtable(L, int(array.size()), 0);
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (!pushValue(L, array.at(i), level + 1))
                return false;
            lua_rawseti(L, -2, lua_Integer(i + 1));
        }
        return true;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        lua_createtable(L, 0, int(object.size()));
        for (auto member = object.constBegin(); member != object.constEnd(); ++member) {
            const QByteArray key = member.key().toUtf8();
            lua_pushlstring(L, key.constData(), size_t(key.size()));
            if (!pushValue(L, member.value(), level + 1))
                return false;
            lua_rawset(L, -3);
        }
        return true;
    }
    }
    return false;
}

// failure: the nil, message pair of every native that can fail

int failure(lua_State *L, const QString &message)
{
    const QByteArray bytes = message.toUtf8();
    lua_pushnil(L);
    lua_pushlstring(L, bytes.constData(), size_t(bytes.size()));
    return 2;
}

// rpc: one request line out, one reply line back, one connection per request

int timeLeft(const QElapsedTimer &budget)
{
    return int(qMax<qint64>(0, requestBudgetMs - budget.elapsed()));
}

/* rpc(request) [-0, +2, m] */
int rpc(lua_State *L)
{
    QJsonValue request;
    QString error;
    if (!jsonValue(L, 1, request, error, 0))
        return failure(L, error);
    if (!request.isObject())
        return failure(L, QStringLiteral("API request must be a table with string keys."));
    const QString server = qEnvironmentVariable("MORVANE_SOCKET");
    const QString token = qEnvironmentVariable("MORVANE_TOKEN");
    if (server.isEmpty() || token.isEmpty())
        return failure(L, QStringLiteral("Run scripts from Morvane Terminal's Script menu."));
    QJsonObject object = request.toObject();
    object.insert(QStringLiteral("token"), token);
    QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
    line.append('\n');
    if (line.size() > requestLimit)
        return failure(L, QString::fromLatin1(messageRequestSize));
    const bool dialog = object.value(QStringLiteral("op")).toString().startsWith(QLatin1String("dialog."));

    QElapsedTimer budget;
    budget.start();
    QLocalSocket socket;
    socket.connectToServer(server, QIODevice::ReadWrite);
    if (!socket.waitForConnected(timeLeft(budget)))
        return failure(L, QStringLiteral("Application API: ") + socket.errorString());
    if (socket.write(line) != line.size())
        return failure(L, QStringLiteral("Could not send the application request."));
    while (socket.bytesToWrite() > 0 && budget.elapsed() < requestBudgetMs) {
        if (!socket.waitForBytesWritten(timeLeft(budget)))
            return failure(L, QStringLiteral("Application API write timed out."));
    }

    QByteArray reply;
    qsizetype lineEnd = -1;
    for (;;) {
        const qsizetype searched = reply.size();
        reply.append(socket.readAll());
        lineEnd = reply.indexOf('\n', searched);
        if (lineEnd >= 0)
            break;
        if (reply.size() > replyLimit)
            return failure(L, QStringLiteral("Application API reply exceeds 16 MB."));
        bool waited = false;
        if (dialog)
            waited = socket.waitForReadyRead(-1);
        else if (budget.elapsed() < requestBudgetMs)
            waited = socket.waitForReadyRead(timeLeft(budget));
        if (!waited) {
            const qsizetype before = reply.size();
            reply.append(socket.readAll());
            lineEnd = reply.indexOf('\n', before);
            if (lineEnd < 0)
                return failure(L, QStringLiteral("Application API closed or timed out before replying."));
            break;
        }
    }
    reply.truncate(lineEnd);

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(reply, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return failure(L, QStringLiteral("Invalid application API reply."));
    const QJsonObject answer = document.object();
    const QJsonValue ok = answer.value(QStringLiteral("ok"));
    if (ok.isBool() && ok.toBool()) {
        const int top = lua_gettop(L);
        if (!pushValue(L, answer.value(QStringLiteral("result")), 0)) {
            lua_settop(L, top);
            return failure(L, QStringLiteral("Application reply is nested too deeply for Lua."));
        }
        lua_pushnil(L);
        return 2;
    }
    const QJsonValue message = answer.value(QStringLiteral("error"));
    return failure(L, message.isString() ? message.toString() : QStringLiteral("Application request failed."));
}

// find and strip: prompt matching in UTF-16 units and escape removal

/* find(text, pattern [, insensitive]) [-0, +3|2, m] */
int findText(lua_State *L)
{
    if (lua_type(L, 1) != LUA_TSTRING || lua_type(L, 2) != LUA_TSTRING)
        return failure(L, QStringLiteral("Prompt matching requires UTF-8 strings."));
    size_t textLength = 0, patternLength = 0;
    const char *textBytes = lua_tolstring(L, 1, &textLength);
    const char *patternBytes = lua_tolstring(L, 2, &patternLength);
    const QString text = QString::fromUtf8(textBytes, qsizetype(textLength));
    const QString pattern = QString::fromUtf8(patternBytes, qsizetype(patternLength));
    const Qt::CaseSensitivity sensitivity = lua_toboolean(L, 3) ? Qt::CaseInsensitive : Qt::CaseSensitive;
    const qsizetype position = text.indexOf(pattern, 0, sensitivity);
    lua_pushinteger(L, lua_Integer(position));
    if (position < 0) {
        lua_pushinteger(L, -1);
        lua_pushliteral(L, "");
        return 3;
    }
    lua_pushinteger(L, lua_Integer(position + pattern.size()));
    const QByteArray before = QStringView(text).left(position).toUtf8();
    lua_pushlstring(L, before.constData(), size_t(before.size()));
    return 3;
}

/* strip(text) [-0, +1|2, m] */
int stripEscapes(lua_State *L)
{
    if (lua_type(L, 1) != LUA_TSTRING)
        return failure(L, QStringLiteral("Capture must be text."));
    size_t length = 0;
    const char *bytes = lua_tolstring(L, 1, &length);
    const QString text = QString::fromUtf8(bytes, qsizetype(length));
    // CSI, or OSC up to the first BEL or ESC "\" after its ESC "]".
    const QRegularExpression escapes(
        QStringLiteral("\\x1b\\[[0-?]*[ -/]*[@-~]|\\x1b\\][^\\x07\\x1b]*+(?:\\x1b(?!\\\\)[^\\x07\\x1b]*+)*+(?:\\x07|\\x1b\\\\)"),
        QRegularExpression::NoPatternOption);
    const QRegularExpression csiOnly(QStringLiteral("\\x1b\\[[0-?]*[ -/]*[@-~]"), QRegularExpression::NoPatternOption);
    // No OSC sequence can end after the last terminator, and trying one there
    // scans to the end of the text from every ESC "]": quadratic time on
    // hostile output. Past that point only CSI sequences are looked for; no
    // match crosses it, since CSI holds no BEL or ESC.
    const qsizetype lastBel = text.lastIndexOf(QChar(0x07));
    const qsizetype lastSt = text.lastIndexOf(QLatin1String("\x1b\\"));
    const qsizetype split = qMax(lastBel + 1, lastSt < 0 ? 0 : lastSt + 2);
    QString head = text.left(split);
    QString tail = text.mid(split);
    head.replace(escapes, QString());
    tail.replace(csiOnly, QString());
    const QByteArray stripped = (head + tail).toUtf8();
    lua_pushlstring(L, stripped.constData(), size_t(stripped.size()));
    return 1;
}

// regex_find: byte-wise regular expressions with a compiled-pattern cache

/* regex_find(subject, pattern [, init]) [-0, +(2+n)|1, e] */
int regexFind(lua_State *L)
{
    size_t subjectLength = 0, patternLength = 0;
    const char *subjectBytes = luaL_checklstring(L, 1, &subjectLength);
    const char *patternBytes = luaL_checklstring(L, 2, &patternLength);
    const lua_Integer init = luaL_optinteger(L, 3, 1);

    static QHash<QByteArray, QRegularExpression> cache;
    const QByteArray key(patternBytes, qsizetype(patternLength));
    auto found = cache.constFind(key);
    if (found == cache.constEnd()) {
        if (cache.size() > patternCacheLimit)
            cache.clear();
        QRegularExpression expression(QString::fromLatin1(key), QRegularExpression::NoPatternOption);
        if (!expression.isValid()) {
            const QByteArray reason = expression.errorString().toLocal8Bit();
            return luaL_error(L, "bad regex %s: %s", patternBytes, reason.constData());
        }
        expression.optimize();
        found = cache.insert(key, expression);
    }
    const QRegularExpression &expression = found.value();

    const QString subject = QString::fromLatin1(subjectBytes, qsizetype(subjectLength));
    const lua_Integer length = lua_Integer(subject.size());
    lua_Integer offset = init >= 1 ? init - 1 : length + init;
    if (offset < 0)
        offset = 0;
    if (offset > length) {
        lua_pushnil(L);
        return 1;
    }
    const QRegularExpressionMatch match = expression.match(subject, qsizetype(offset));
    // A match that PCRE2 gave up on (match or depth limit) is not "no match".
    if (!match.isValid())
        return luaL_error(L, "regex match failed: %s", patternBytes);
    if (!match.hasMatch()) {
        lua_pushnil(L);
        return 1;
    }
    lua_pushinteger(L, lua_Integer(match.capturedStart(0)) + 1);
    lua_pushinteger(L, lua_Integer(match.capturedEnd(0)));
    const int groups = expression.captureCount();
    luaL_checkstack(L, groups, "too many regex captures");
    for (int i = 1; i <= groups; ++i) {
        if (match.capturedStart(i) >= 0) {
            const QByteArray captured = match.captured(i).toLatin1();
            lua_pushlstring(L, captured.constData(), size_t(captured.size()));
        } else {
            lua_pushboolean(L, 0);
        }
    }
    return groups + 2;
}

// read_file, write_file, sleep, now, base64

// A path argument: UTF-8 text without zero bytes (the file layer would stop
// at the first one and open a different file).
bool pathArgument(lua_State *L, QString &path)
{
    QJsonValue value;
    QString error;
    if (!jsonValue(L, 1, value, error, 0) || !value.isString())
        return false;
    path = value.toString();
    return !path.contains(QChar(0));
}

/* read_file(path) [-0, +1|2, m] */
int readFile(lua_State *L)
{
    QString path;
    if (!pathArgument(L, path))
        return failure(L, QStringLiteral("File path must be UTF-8 text."));
    QFile file(path);
    if (!file.open(QIODeviceBase::ReadOnly))
        return failure(L, file.errorString());
    QByteArray bytes;
    switch (readBounded(file, bytes)) {
    case ReadOutcome::TooLarge:
        return failure(L, QStringLiteral("Lua file helpers are limited to 16 MB."));
    case ReadOutcome::Failed:
        return failure(L, file.errorString());
    case ReadOutcome::Complete:
        break;
    }
    lua_pushlstring(L, bytes.constData(), size_t(bytes.size()));
    return 1;
}

/* write_file(path, bytes) [-0, +1|2, m] */
int writeFile(lua_State *L)
{
    QString path;
    if (!pathArgument(L, path) || lua_type(L, 2) != LUA_TSTRING)
        return failure(L, QStringLiteral("write_file requires a UTF-8 path and a byte string."));
    size_t length = 0;
    const char *bytes = lua_tolstring(L, 2, &length);
    if (length > size_t(fileLimit))
        return failure(L, QStringLiteral("Lua file helpers are limited to 16 MB."));
    // Unbuffered, every write reaches the system at once and a full disk is
    // seen with its own reason; a buffered tail would only fail inside
    // commit, too late to keep the temporary file from replacing the target.
    QSaveFile file(path);
    if (!file.open(QIODeviceBase::WriteOnly | QIODeviceBase::Unbuffered))
        return failure(L, file.errorString());
    // A short write carries no reason; the next one fails with it.
    qint64 remaining = qint64(length);
    while (remaining > 0) {
        const qint64 written = file.write(bytes + (qint64(length) - remaining), remaining);
        if (written <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return failure(L, reason);
        }
        remaining -= written;
    }
    if (!file.commit())
        return failure(L, file.errorString());
    lua_pushboolean(L, 1);
    return 1;
}

/* sleep(milliseconds) [-0, +1|2, m] */
int sleepMilliseconds(lua_State *L)
{
    int isNumber = 0;
    const lua_Number milliseconds = lua_tonumberx(L, 1, &isNumber);
    if (!isNumber || !(milliseconds >= 0 && milliseconds <= 2147483647.0))
        return failure(L, QStringLiteral("Sleep requires milliseconds between 0 and 2147483647."));
    QThread::msleep(static_cast<unsigned long>(std::ceil(milliseconds)));
    lua_pushboolean(L, 1);
    return 1;
}

/* now() [-0, +1, -] */
int now(lua_State *L)
{
    lua_pushnumber(L, lua_Number(clockStarted.nsecsElapsed()) / 1e9);
    return 1;
}

/* base64(bytes) [-0, +1|2, m] */
int base64(lua_State *L)
{
    if (lua_type(L, 1) != LUA_TSTRING)
        return failure(L, QStringLiteral("Binary data must be a Lua string."));
    size_t length = 0;
    const char *bytes = lua_tolstring(L, 1, &length);
    const QByteArray encoded = QByteArray::fromRawData(bytes, qsizetype(length)).toBase64();
    lua_pushlstring(L, encoded.constData(), size_t(encoded.size()));
    return 1;
}

// registration: the native table, the embedded modules and the lazy loader

const luaL_Reg natives[] = {
    {"read_file", readFile},
    {"write_file", writeFile},
    {"rpc", rpc},
    {"sleep", sleepMilliseconds},
    {"now", now},
    {"base64", base64},
    {"find", findText},
    {"strip", stripEscapes},
    {"regex_find", regexFind},
    {nullptr, nullptr},
};

// Leaves `package` on top on success, the error message on failure.
bool registerNatives(lua_State *L)
{
    luaL_checkversion(L);
    lua_createtable(L, 0, 9);
    luaL_setfuncs(L, natives, 0);
    lua_setglobal(L, "__morvane_native");

    // The embedded texts were compiled at build time by the same Lua library,
    // debug information kept: each chunk carries its own chunk name and line
    // numbers ("@morvane.lua", "@vantorix.lua", "=morvane-vantorix"), so
    // functions, messages and tracebacks are those of the source text. The
    // name given here is used only for a message if a chunk will not load.
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "preload");
    if (luaL_loadbufferx(L, morvaneLuaModule, sizeof morvaneLuaModule - 1, "@morvane.lua", "b") != LUA_OK)
        return false;
    lua_setfield(L, -2, "morvane");
    if (luaL_loadbufferx(L, vantorixLuaModule, sizeof vantorixLuaModule - 1, "@vantorix.lua", "b") != LUA_OK)
        return false;
    lua_setfield(L, -2, "vantorix");
    lua_pop(L, 1);

    static const char *const lazy = lazyLoaderText;
    if (luaL_loadbufferx(L, lazy, sizeof lazyLoaderText - 1, "=morvane-vantorix", "b") != LUA_OK)
        return false;
    return lua_pcallk(L, 0, 0, 0, 0, nullptr) == LUA_OK;
}

} // namespace

// The request path: Lua values built from the fuzzer's bytes by a small
// stack program, converted by the value bridge. The stack must come back
// balanced, no metamethod may run, a refusal must be one of the API rules, and a
// value that converts must survive the trip to JSON text and back unchanged.
#include "natives.h"

#include <lauxlib.h>
#include <lua.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int tablesIndex = 1;     // every table built, for references
constexpr int rootIndex = 2;       // the value that gets converted
constexpr int stackLimit = 200;
constexpr int referenceLimit = 24; // keeps shared-table expansion small

bool metamethodRan = false;

int trap(lua_State *L)
{
    metamethodRan = true;
    return luaL_error(L, "metamethod called");
}

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    template <typename T> T raw()
    {
        T value{};
        uint8_t bytes[sizeof(T)] = {};
        for (uint8_t &b : bytes)
            b = byte();
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }
};

void setTrapMetatable(lua_State *L)
{
    static const char *const events[] = {"__index", "__newindex", "__len", "__pairs", "__call",
                                         "__eq", "__tostring", "__concat", "__close", "__name"};
    lua_createtable(L, 0, 10);
    for (const char *event : events) {
        lua_pushcfunction(L, trap);
        lua_setfield(L, -2, event);
    }
    lua_setmetatable(L, -2);
}

bool tableAt(lua_State *L, int index)
{
    return lua_gettop(L) >= index && index > rootIndex - 1 && lua_type(L, index) == LUA_TTABLE;
}

// Runs the stack program; the values it leaves from rootIndex up are its result.
void build(lua_State *L, Reader &in)
{
    int references = 0;
    while (!in.done()) {
        const uint8_t op = in.byte();
        const bool room = lua_gettop(L) < stackLimit;
        switch (op % 18) {
        case 0: if (room) lua_pushnil(L); break;
        case 1: if (room) lua_pushboolean(L, in.byte() & 1); break;
        case 2: if (room) lua_pushinteger(L, lua_Integer(int8_t(in.byte()))); break;
        case 3: if (room) lua_pushinteger(L, in.raw<lua_Integer>()); break;
        case 4: if (room) lua_pushnumber(L, in.raw<double>()); break;
        case 5: if (room) lua_pushnumber(L, double(int8_t(in.byte())) / 2); break;
        case 6: {
            const size_t length = qMin<size_t>(in.byte() % 32, in.size - in.at);
            if (room)
                lua_pushlstring(L, reinterpret_cast<const char *>(in.data + in.at), length);
            in.at += length;
            break;
        }
        case 7:
            if (room) {
                lua_newtable(L);
                lua_pushvalue(L, -1);
                lua_rawseti(L, tablesIndex, lua_Integer(lua_rawlen(L, tablesIndex) + 1));
            }
            break;
        case 8: { // [T K V] -> [T], T[K] = V
            if (!tableAt(L, lua_gettop(L) - 2))
                break;
            const bool usableKey = !lua_isnil(L, -2) && !(lua_type(L, -2) == LUA_TNUMBER && std::isnan(lua_tonumber(L, -2)));
            if (usableKey)
                lua_rawset(L, -3);
            else
                lua_pop(L, 2);
            break;
        }
        case 9: // [T V] -> [T], T[#T + 1] = V
            if (tableAt(L, lua_gettop(L) - 1))
                lua_rawseti(L, -2, lua_Integer(lua_rawlen(L, -2) + 1));
            break;
        case 10: {
            const lua_Unsigned count = lua_rawlen(L, tablesIndex);
            const uint8_t which = in.byte();
            if (room && count > 0 && references < referenceLimit) {
                ++references;
                lua_rawgeti(L, tablesIndex, lua_Integer(which % count) + 1);
            }
            break;
        }
        case 11: if (room) lua_pushcfunction(L, trap); break;
        case 12:
            if (room) {
                lua_newuserdatauv(L, 8, 0);
                setTrapMetatable(L);
            }
            break;
        case 13: if (room) lua_newthread(L); break;
        case 14:
            if (tableAt(L, lua_gettop(L)))
                setTrapMetatable(L);
            break;
        case 15:
            if (lua_gettop(L) > rootIndex)
                lua_pop(L, 1);
            break;
        case 16: if (room) lua_pushlightuserdata(L, &metamethodRan); break;
        case 17: if (room) lua_pushliteral(L, "key"); break;
        }
    }
}

// Converts the root and checks everything about the outcome. Runs inside
// lua_pcall so that a raising metamethod surfaces as an error, not a crash.
int convert(lua_State *L)
{
    const int top = lua_gettop(L);
    QJsonValue value(QJsonValue::Undefined); // must stay so on failure
    QString error;
    const bool ok = fuzz::toJson(L, rootIndex, value, error);
    if (lua_gettop(L) != top || metamethodRan)
        std::abort();
    if (!ok) {
        if (!error.contains(QLatin1String("API")) || !value.isUndefined())
            std::abort();
        return 0;
    }
    // JSON text and back: the same value (a top-level nil stays null).
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    QJsonParseError parseError;
    const QJsonValue parsed = QJsonDocument::fromJson(text, &parseError).array().at(0);
    if (parseError.error != QJsonParseError::NoError || !fuzz::sameJson(parsed, value))
        std::abort();
    if (!fuzz::pushJson(L, parsed))
        std::abort();
    QJsonValue again;
    if (!fuzz::toJson(L, -1, again, error) || !fuzz::sameJson(again, value))
        std::abort();
    lua_settop(L, top);
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    metamethodRan = false;
    lua_State *L = fuzz::newState();
    if (!lua_checkstack(L, stackLimit + 8))
        std::abort();
    lua_newtable(L);
    Reader in{data, size};
    build(L, in);
    if (lua_gettop(L) < rootIndex)
        lua_pushnil(L);
    lua_settop(L, rootIndex);
    lua_pushcfunction(L, convert);
    lua_insert(L, 1);
    if (lua_pcall(L, rootIndex, 0, 0) != LUA_OK)
        std::abort();
    lua_close(L);
    return 0;
}

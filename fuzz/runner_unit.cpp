// The whole runner compiled as one unit with its main renamed, so that its
// file-local natives can be reached without changing how they are declared.
#define main morvane_runner_main
#include "../src/lua_runner.cpp"
#undef main

#include "natives.h"

namespace fuzz {

int find(lua_State *L) { return findText(L); }
int strip(lua_State *L) { return stripEscapes(L); }
int regexFind(lua_State *L) { return ::regexFind(L); }
int rpc(lua_State *L) { return ::rpc(L); }

bool toJson(lua_State *L, int index, QJsonValue &value, QString &error)
{
    return jsonValue(L, index, value, error, 0);
}

bool pushJson(lua_State *L, const QJsonValue &value)
{
    return pushValue(L, value, 0);
}

lua_State *newState()
{
    lua_State *L = luaL_newstate();
    if (!L)
        std::abort();
    luaL_openlibs(L);
    return L;
}

int call(lua_State *L, int (*native)(lua_State *), int count)
{
    lua_pushcfunction(L, native);
    lua_insert(L, -count - 1);
    return lua_pcall(L, count, LUA_MULTRET, 0);
}

bool sameJson(const QJsonValue &a, const QJsonValue &b)
{
    if (a.type() != b.type())
        return false;
    switch (a.type()) {
    case QJsonValue::Double:
        return a.toDouble() == b.toDouble();
    case QJsonValue::Array: {
        const QJsonArray left = a.toArray(), right = b.toArray();
        if (left.size() != right.size())
            return false;
        for (qsizetype i = 0; i < left.size(); ++i) {
            if (!sameJson(left.at(i), right.at(i)))
                return false;
        }
        return true;
    }
    case QJsonValue::Object: {
        const QJsonObject left = a.toObject(), right = b.toObject();
        if (left.size() != right.size())
            return false;
        for (auto member = left.begin(); member != left.end(); ++member) {
            if (!right.contains(member.key()) || !sameJson(member.value(), right.value(member.key())))
                return false;
        }
        return true;
    }
    default:
        return a == b;
    }
}

} // namespace fuzz

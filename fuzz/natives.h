// The runner's file-local natives and value bridge, reachable from fuzz
// targets. runner_unit.cpp compiles the runner itself with its main renamed
// and defines these as thin forwarders.
#pragma once

#include <QJsonValue>
#include <QString>

struct lua_State;

namespace fuzz {

int find(lua_State *L);        // __morvane_native.find
int strip(lua_State *L);       // __morvane_native.strip
int regexFind(lua_State *L);   // __morvane_native.regex_find
int rpc(lua_State *L);         // __morvane_native.rpc

// The value bridge at level 0, as rpc calls it.
bool toJson(lua_State *L, int index, QJsonValue &value, QString &error);
bool pushJson(lua_State *L, const QJsonValue &value);

// A fresh Lua state with the standard libraries open.
lua_State *newState();

// Calls `native` in protected mode with the `count` values on top of the
// stack; leaves its results (or the error message) in their place.
int call(lua_State *L, int (*native)(lua_State *), int count);

// Equal JSON values, numbers compared as doubles: Qt keeps a parsed
// integral number as an integer and a converted one as a double, and its
// container comparison tells the two apart.
bool sameJson(const QJsonValue &a, const QJsonValue &b);

} // namespace fuzz

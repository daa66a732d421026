// regex_find with an arbitrary subject, pattern and start position. Every
// outcome must be a match inside the subject, nil, or one of the two regex
// errors: never a crash, a stray value or an unbalanced stack.
#include "natives.h"

#include <lauxlib.h>
#include <lua.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void checkError(lua_State *L)
{
    const char *message = lua_tostring(L, -1);
    // "bad regex ...", "regex match failed: ..." or "too many regex captures".
    if (!message || !std::strstr(message, "regex "))
        std::abort();
}

void checkMatch(lua_State *L, size_t subjectLength, int results)
{
    if (results == 1) {
        if (!lua_isnil(L, 1))
            std::abort();
        return;
    }
    if (results < 2 || !lua_isinteger(L, 1) || !lua_isinteger(L, 2))
        std::abort();
    const lua_Integer start = lua_tointeger(L, 1);
    const lua_Integer end = lua_tointeger(L, 2);
    if (start < 1 || end < start - 1 || end > lua_Integer(subjectLength))
        std::abort();
    for (int i = 3; i <= results; ++i) {
        if (lua_type(L, i) == LUA_TBOOLEAN && !lua_toboolean(L, i))
            continue;
        if (lua_type(L, i) != LUA_TSTRING || lua_rawlen(L, i) > subjectLength)
            std::abort();
    }
}

} // namespace

// Input: init as a signed 16-bit number, one pattern length byte, the
// pattern, then the subject.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const lua_Integer init = int16_t(uint16_t(data[0]) | uint16_t(data[1]) << 8);
    const size_t patternLength = qMin<size_t>(data[2] % 64, size - 3);
    const char *pattern = reinterpret_cast<const char *>(data + 3);
    const char *subject = pattern + patternLength;
    const size_t subjectLength = size - 3 - patternLength;

    lua_State *L = fuzz::newState();
    lua_pushlstring(L, subject, subjectLength);
    lua_pushlstring(L, pattern, patternLength);
    lua_pushinteger(L, init);
    if (fuzz::call(L, fuzz::regexFind, 3) != LUA_OK) {
        if (lua_gettop(L) != 1)
            std::abort();
        checkError(L);
    } else {
        checkMatch(L, subjectLength, lua_gettop(L));
    }
    lua_close(L);
    return 0;
}

// Build-time tool: compiles one embedded Lua text into a precompiled chunk, so
// that the runner loads its modules without compiling them at every start.
//
//   morvane-compile-lua SOURCE CHUNKNAME OUTPUT
//
// Linked with the same Lua library as the runner, so that the chunk's format
// is the one the runner accepts. Debug information is kept (no stripping):
// the loaded functions carry the same chunk name, line numbers and local
// names as the source compiled at run time, so error positions, tracebacks
// and debug.getinfo read exactly as before.
#include <lauxlib.h>
#include <lua.h>

#include <cstdio>
#include <string>

namespace {

/* writer for lua_dump: appends to the std::string in `data` */
int appendChunk(lua_State *, const void *bytes, size_t size, void *data)
{
    static_cast<std::string *>(data)->append(static_cast<const char *>(bytes), size);
    return 0;
}

bool readWhole(const char *path, std::string &text)
{
    FILE *file = std::fopen(path, "rb");
    if (!file)
        return false;
    char buffer[65536];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, count);
    const bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

bool writeWhole(const char *path, const std::string &bytes)
{
    FILE *file = std::fopen(path, "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SOURCE CHUNKNAME OUTPUT\n", argv[0]);
        return 2;
    }
    std::string source;
    if (!readWhole(argv[1], source)) {
        std::perror(argv[1]);
        return 1;
    }
    lua_State *L = luaL_newstate();
    if (!L) {
        std::fprintf(stderr, "%s: cannot create a Lua state\n", argv[0]);
        return 1;
    }
    std::string chunk;
    int status = luaL_loadbufferx(L, source.data(), source.size(), argv[2], "t");
    if (status == LUA_OK)
        status = lua_dump(L, appendChunk, &chunk, 0);
    if (status != LUA_OK) {
        std::fprintf(stderr, "%s: %s\n", argv[1], lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "cannot dump the chunk");
        lua_close(L);
        return 1;
    }
    lua_close(L);
    if (!writeWhole(argv[3], chunk)) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}

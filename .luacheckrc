-- luacheck over the embedded modules and the examples (tools/test runs it):
-- Lua 5.4 and the names morvane-lua gives scripts.
stds.morvane = dofile('types/morvane_std.lua')
std = 'lua54+morvane'

-- The compatibility module is what defines those globals and replaces print.
files['src/lua/vantorix.lua'] = {
  globals = { 'before', 'matched', 'bbs', 'script_path', 'print' },
  -- `not (seconds > 0)` is meant: it also turns NaN into 0.
  ignore = { '581' },
}

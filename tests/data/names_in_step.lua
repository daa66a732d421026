-- Prints, one a line and sorted, every difference between the public names
-- the embedded modules define and those docs/reference.md, the
-- lua-language-server files under types/ and the luacheck standard
-- types/morvane_std.lua give. Names read Qualifier.Name (object-model
-- members, the module table, the native table, the regex table) or bare
-- (globals). Run by tst_docs from the source directory with MORVANE_TAB set
-- and no terminal: making tab objects sends nothing, and the compatibility
-- module loads through a stand-in request function.
local defined = {}

local function add(set, qualifier, names)
  for key, value in pairs(names) do
    local name = type(key) == 'number' and value or key
    set[qualifier and qualifier .. '.' .. name or name] = true
  end
end

-- The tables the upvalues of f named in `wanted` hold.
local function upvalues(f, wanted)
  local found = {}
  for i = 1, math.huge do
    local name, value = debug.getupvalue(f, i)
    if name == nil then
      return found
    end
    found[#found + 1] = wanted[name] and value or nil
  end
end

local before_load = {}
for key, value in pairs(_G) do
  before_load[key] = value
end
-- The lazy loader's list: the globals the compatibility module defines,
-- including those it leaves nil until a match (before, matched).
add(defined, nil, upvalues(getmetatable(_G).__index, { names = true })[1])

local morvane = require('morvane')
add(defined, 'morvane', morvane)
add(defined, '__morvane_native', __morvane_native)
-- A proxy object's names are the keys of the getter, setter and method
-- tables its metamethods close over.
local app = morvane.app
local tab = app:GetScriptTab()
local proxies = { App = app, Tab = tab, Screen = tab.Screen, Session = tab.Session, Config = tab.Session.Config,
  Arguments = app.Arguments, Clipboard = app.Clipboard }
for qualifier, object in pairs(proxies) do
  for _, metamethod in ipairs({ getmetatable(object).__index, getmetatable(object).__newindex }) do
    for _, members in ipairs(upvalues(metamethod, { getters = true, setters = true, methods = true })) do
      add(defined, qualifier, members)
    end
  end
end
add(defined, 'Dialog', app.Dialog)

-- Every request answers with an empty result.
morvane.rpc = function() return {} end
require('vantorix')
for key, value in pairs(_G) do
  if before_load[key] ~= value then
    defined[key] = true
  end
end
add(defined, 'regex', regex)

-- Entry headings: a level-3 or level-4 heading that opens with a code span
-- holding `Qualifier.Name`, `Qualifier:Name(...)` or `global(...)`.
local reference = {}
for line in io.lines('docs/reference.md') do
  local name, member = line:match('^####? `([%a_][%w_]*)[.:]?([%a_]?[%w_]*)')
  if name then
    reference[member ~= '' and name .. '.' .. member or name] = true
  end
end

-- Fields of "---@class morvane.X" (qualifier X) or "---@class morvane",
-- functions "function Q.name(" and "function Q:name(", global functions and
-- global assignments.
local typed = {}
for file in io.popen('ls types/*.lua | grep -v morvane_std'):lines() do
  local class = ''
  for line in io.lines(file) do
    class = (line:match('^%-%-%-@class ([%a_.]+)') or class):gsub('^morvane%.', '')
    local field = line:match('^%-%-%-@field ([%a_][%w_]*)')
    local name, member = line:match('^function ([%a_][%w_]*)[.:]?([%a_]?[%w_]*)%(')
    name = name or line:match('^([%a_][%w_]*) *=')
    if field then
      typed[class .. '.' .. field] = true
    elseif name then
      typed[member and member ~= '' and name .. '.' .. member or name] = true
    end
  end
end

-- The luacheck standard: array entries are globals, keyed entries are
-- tables whose `fields` are listed too; `print` is already Lua's own.
local standard = { print = true }
local std = dofile('types/morvane_std.lua')
for _, kind in ipairs({ 'read_globals', 'globals' }) do
  add(standard, nil, std[kind] or {})
  for key, value in pairs(std[kind] or {}) do
    add(standard, key, type(key) == 'string' and value.fields or {})
  end
end

-- A file answers for the names whose qualifiers it covers. Globals the
-- definitions may name although no module defines them: the table scripts
-- fill with pre-set dialog answers, and the native table itself.
local elsewhere = { vantorix_answers = true, __morvane_native = true }
local function qualifier(name)
  return name:match('^(.*)%.') or ''
end
local every = {}
for name in pairs(defined) do
  every[qualifier(name)] = true
end
local differences = {}
local function compare(source, named, qualifiers)
  for name in pairs(defined) do
    differences[#differences + 1] = qualifiers[qualifier(name)] and not named[name] and source .. ' lacks ' .. name or nil
  end
  for name in pairs(named) do
    local stale = qualifiers[qualifier(name)] and not defined[name] and not elsewhere[name]
    differences[#differences + 1] = stale and source .. ' names what no module defines: ' .. name or nil
  end
end
compare('docs/reference.md', reference, every)
compare('types/*.lua', typed, every)
compare('types/morvane_std.lua', standard, { [''] = true, regex = true, __morvane_native = true })
table.sort(differences)
io.write(table.concat(differences, '\n'))

-- Prints the public names of the embedded modules, one a line, as
-- Qualifier.Name (object-model members, the module table, the native table,
-- the regex table) or a bare name (compatibility globals). Run by tst_docs
-- with MORVANE_TAB set and no terminal: making tab objects sends nothing,
-- and the compatibility module loads through a stand-in request function.
local names = {}

local function add(name)
  names[#names + 1] = name
end

local function keys(qualifier, table_)
  if type(table_) == 'table' then
    for key in pairs(table_) do
      add(qualifier .. '.' .. key)
    end
  end
end

-- A proxy object's names are the keys of the getter, setter and method
-- tables its metamethods close over.
local function proxy_names(qualifier, object)
  local meta = getmetatable(object)
  for _, metamethod in ipairs({ meta.__index, meta.__newindex }) do
    for i = 1, math.huge do
      local name, value = debug.getupvalue(metamethod, i)
      if name == nil then
        break
      end
      if name == 'getters' or name == 'setters' or name == 'methods' then
        keys(qualifier, value)
      end
    end
  end
end

local before_load = {}
for key, value in pairs(_G) do
  before_load[key] = value
end

-- The lazy loader's list: the globals the compatibility module defines,
-- including those it leaves nil until a match (before, matched).
local lazy_index = getmetatable(_G).__index
for i = 1, math.huge do
  local name, value = debug.getupvalue(lazy_index, i)
  if name == nil then
    break
  end
  if name == 'names' then
    for key in pairs(value) do
      add(key)
    end
  end
end

local morvane = require('morvane')
keys('morvane', morvane)
keys('__morvane_native', __morvane_native)

local app = morvane.app
local tab = app:GetScriptTab()
local session = tab.Session
proxy_names('App', app)
proxy_names('Tab', tab)
proxy_names('Screen', tab.Screen)
proxy_names('Session', session)
proxy_names('Config', session.Config)
proxy_names('Arguments', app.Arguments)
proxy_names('Clipboard', app.Clipboard)
keys('Dialog', app.Dialog)

-- Every request answers with an empty result.
morvane.rpc = function() return {} end
require('vantorix')
for key, value in pairs(_G) do
  if before_load[key] ~= value then
    add(key)
  end
end
keys('regex', regex)

table.sort(names)
local previous
for _, name in ipairs(names) do
  if name ~= previous then
    io.write(name, '\n')
  end
  previous = name
end

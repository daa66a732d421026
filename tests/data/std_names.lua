-- Prints the names the luacheck standard types/morvane_std.lua declares,
-- one a line: its globals, and Table.field for each field of a table.
local std = dofile('types/morvane_std.lua')
for _, kind in ipairs({ 'read_globals', 'globals' }) do
  for key, value in pairs(std[kind] or {}) do
    if type(key) == 'number' then
      print(value)
    else
      print(key)
      for _, field in ipairs(value.fields or {}) do
        print(key .. '.' .. field)
      end
    end
  end
end

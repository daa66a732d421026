-- Prints values in one line, so that tests can compare exact results:
-- strings quoted with escapes for control and non-ASCII bytes, numbers by
-- their Lua form (3 and 3.0 differ), tables as "table".
function show(...)
  local shown = table.pack(...)
  for i = 1, shown.n do
    local value = shown[i]
    if type(value) == 'string' then
      shown[i] = '"' .. value:gsub('[%c"\\\128-\255]', function(byte) return '\\' .. byte:byte() end) .. '"'
    else
      shown[i] = type(value) == 'table' and 'table' or tostring(value)
    end
  end
  io.write(table.concat(shown, ', ', 1, shown.n), '\n')
end

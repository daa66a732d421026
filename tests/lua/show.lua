-- Prints values in one line, so that tests can compare exact results:
-- strings quoted with escapes for control and non-ASCII bytes, numbers by
-- their Lua form (3 and 3.0 differ), tables as "table".
local function quote(text)
  return '"' .. text:gsub('[%c"\\\128-\255]', function(byte)
    return string.format('\\%d', byte:byte())
  end) .. '"'
end

function show(...)
  local shown = {}
  for i = 1, select('#', ...) do
    local value = select(i, ...)
    if type(value) == 'string' then
      shown[#shown + 1] = quote(value)
    elseif type(value) == 'table' then
      shown[#shown + 1] = 'table'
    else
      shown[#shown + 1] = tostring(value)
    end
  end
  io.write(table.concat(shown, ', '), '\n')
end

-- Automation object model: the application, its tabs, their screens and
-- sessions, the script's arguments, the clipboard and dialogs, all over the
-- terminal application's request channel.
local native = assert(__morvane_native, "Use Morvane Terminal's bundled Lua runner")

local error = error

-- Sends one request and returns the reply's result; a failed request ends
-- in an error that names the caller's line.
local function rpc(op, tab, values)
  values = values or {}
  values.op = op
  values.tab = tab
  local result, message = native.rpc(values)
  if message ~= nil then
    error('MorvaneError: ' .. message, 2)
  end
  return result
end

local function read_file(path)
  local data, message = native.read_file(path)
  if message ~= nil then
    error('MorvaneError: ' .. message, 2)
  end
  return data
end

local function write_file(path, bytes)
  local done, message = native.write_file(path, bytes)
  if message ~= nil then
    error('MorvaneError: ' .. message, 2)
  end
  return done
end

return {
  rpc = rpc,
  read_file = read_file,
  write_file = write_file,
}

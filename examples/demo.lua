-- A short tour of morvane-lua under morvane-host: drives the shell of the
-- first tab, waits for each command to finish, and reads what the commands
-- left on the screen.
--   morvane-host examples/demo.lua
local m = require('morvane')

local screen = m.app.Screen
screen.IgnoreEscape = true  -- captured text comes without escape sequences

-- Runs a command between two markers and returns its output. The quotes keep
-- the markers out of the shell's echo of the command line, so the waits see
-- only what the command printed, whatever the shell and its prompt.
local function output(command)
  screen:Send("echo '@@'BEGIN; " .. command .. "; echo '@@'END\r")
  assert(screen:WaitForString('@@BEGIN\r\n', 10), 'the shell did not answer')
  local text = screen:ReadString('@@END', 10)
  return (text:gsub('\r', ''):gsub('\n$', ''))
end

print('Shell:        ' .. output('echo $0'))
print('Working dir:  ' .. output('pwd'))
print('Entries here: ' .. output('ls -1 | wc -l | tr -d " "'))
print('Kernel:       ' .. output('uname -sr'))

output("clear; printf 'morvane\\n  demo\\n'")
print(string.format('Screen:       %dx%d, cursor at row %d, column %d',
  screen.Columns, screen.Rows, screen.CurrentRow, screen.CurrentColumn))
for row = 1, 2 do
  print(string.format('Row %d:        %s', row, (screen:Get(row, 1, row, screen.Columns):gsub('%s+$', ''))))
end
print('Host:         ' .. m.app.Version)

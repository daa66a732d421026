-- Logs in on the script's tab, runs one command and saves what it printed.
--
--   login.lua USER [COMMAND [FILE]]
--
-- COMMAND defaults to "uname -a", FILE to "output.txt". The password is asked
-- for in a dialog and never stored.
local morvane = require('morvane')

local app = morvane.app
local screen = app.Screen
local arguments = app.Arguments

local TIMEOUT = 30  -- seconds for each prompt
local SHELL_PROMPTS = { '$ ', '# ', '> ' }

local function argument(index, default)
  if arguments.Count > index then
    return arguments:GetArg(index)
  end
  return default
end

local function expect(prompt, what)
  if not screen:WaitForString(prompt, TIMEOUT) then
    error('No ' .. what .. ' within ' .. TIMEOUT .. ' seconds', 0)
  end
end

local user = argument(0, nil) or error('usage: login.lua USER [COMMAND [FILE]]', 0)
local command = argument(1, 'uname -a')
local path = argument(2, 'output.txt')

-- True when the cursor's row shows `text` (any case).
local function on_cursor_row(text)
  local row = screen.CurrentRow
  local shown = screen:Get(row, 1, row, screen.Columns)
  return shown:lower():find(text, 1, true) ~= nil
end

-- Prompts differ in case between systems ("Password:", "password:").
screen.IgnoreCase = true

-- Waits read only what arrives after their first look. A login prompt shown
-- before the script started is on the screen instead: so fix where the waits
-- read first (a short wait does), then look at the screen, then wait.
if not (screen:WaitForString('login:', 0.01) or on_cursor_row('login:')) then
  expect('login:', 'login prompt')
end
screen:Send(user .. '\r')

expect('password:', 'password prompt')
local password, cancelled = app.Dialog:Prompt('Password for ' .. user, 'Log in', '', true)
if cancelled then
  screen:SendKeys('{ENTER}')
  error('Login cancelled', 0)
end
screen:Send(password .. '\r')

local prompts = { table.unpack(SHELL_PROMPTS) }
prompts[#prompts + 1] = 'Login incorrect'
local answer = screen:WaitForStrings(prompts, TIMEOUT)
if answer == 0 then
  error('No shell prompt within ' .. TIMEOUT .. ' seconds', 0)
elseif answer == #prompts then
  error('Login incorrect for ' .. user, 0)
end

screen:Send(command .. '\r')
expect('\n', 'echo of the command')  -- the terminal echoes the command line first

-- What the command printed ends where the next prompt's line begins.
screen.IgnoreEscape = true
local captured = screen:ReadString(SHELL_PROMPTS, TIMEOUT)
local output = (captured:match('^(.*\n)') or ''):gsub('\r\n', '\n')

morvane.write_file(path, output)
print(('Saved the output of "%s" (%d bytes) to %s'):format(command, #output, path))

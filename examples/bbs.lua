-- Logs in to a bulletin-board system and prints its main menu.
--
-- Start it from the Script menu of a tab that is connected to the board. The
-- user name comes from the tab's settings (asked for when there is none);
-- the password is always asked for, since the terminal stores none.

set_timeout(20)

-- Boards stop at "Press any key" between pages of news. Answer every pause
-- as it comes, whatever the script is waiting for at the time.
local pauses = 0
on('Press any key', function()
  pauses = pauses + 1
  send(' ')
end)

local user = bbs.user or input('User name for ' .. tostring(bbs.name), '')
if not user or user == '' then
  return
end

must_expect('Login:', 'Name:')
sendln(user)
must_expect('Password:')

local password = input('Password for ' .. user, '', true)
if not password then
  disconnect()
  return
end
sendln(password)

local outcome = expect('Main Menu', 'Invalid', 'denied')
if outcome ~= 1 then
  log('Login failed:', outcome and matched or 'no answer from the board')
  disconnect()
  return
end

-- Let the menu finish drawing, then read it off the screen.
quiet(0.5)
local _, rows = screen_size()
for row = 1, rows do
  local line = screen(row)
  if line and line ~= '' then
    print(line)
  end
end
log(('(%d pause%s answered)'):format(pauses, pauses == 1 and '' or 's'))

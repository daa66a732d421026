-- Compatibility globals: the Vantorix scripting dialect (send, expect, screen,
-- on, bbs and the rest) on top of the terminal application's request channel.
--
-- Received text is fetched from the script tab, cleaned of escape sequences
-- and stray control characters (unless raw mode is on), converted to CP437
-- bytes when the tab uses that encoding, and appended to a pending buffer that
-- expect and readline use up. Triggers set with `on` are scanned on every
-- fetch, so they run while the script waits or sleeps.
--
-- Two choices of our own:
-- * A trigger match that is empty never fires: the search for that trigger
--   goes on from the next byte, looking for a match that uses up text. A
--   pattern that can match nothing (an empty text, "x*", "^") can therefore
--   not hang the script by firing on the same spot for ever.
-- * sleep(NaN) is taken as sleep(0): one fetch, then it returns.

local morvane = require('morvane')
local native = assert(__morvane_native, "Use Morvane Terminal's bundled Lua runner")

local assert, error, ipairs, pairs, rawget, tonumber, tostring, type =
  assert, error, ipairs, pairs, rawget, tonumber, tostring, type
local char, find, gsub, sub = string.char, string.find, string.gsub, string.sub
local concat, pack, remove, unpack = table.concat, table.pack, table.remove, table.unpack
local tointeger = math.tointeger
local utf8char = utf8.char
local io_write, io_flush, os_exit, getenv = io.write, io.flush, os.exit, os.getenv

local rpc = morvane.rpc
local now = native.now

local POLL_SECONDS = 0.03
local IDLE_POLL_SECONDS = 0.05
local HOLD_LIMIT = 64            -- an unfinished tail this long or longer is passed on
local PENDING_CAP = 1000000      -- past this, pending is cut ...
local PENDING_KEEP = 500000      -- ... to its last this many bytes
local SCAN_WINDOW = 4096         -- bytes of recent text the triggers look at
local CLOSED_MESSAGE = 'Connection closed - script stopped.\n'

-- The script tab ----------------------------------------------------------

local TAB = getenv('MORVANE_TAB')
if TAB == nil then
  TAB = rpc('info', 'active').id
end

local function option(key)
  local reply = rpc('config.get', TAB, { key = key })
  return reply and reply.value
end

local cp437 = option('encoding') == 'CP437'

-- Code page 437, bytes 0x80 to 0xFF, as Unicode code points.
local HIGH = {
  0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, -- 80
  0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, -- 88
  0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, -- 90
  0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, -- 98
  0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, -- A0
  0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, -- A8
  0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, -- B0
  0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, -- B8
  0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, -- C0
  0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, -- C8
  0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, -- D0
  0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, -- D8
  0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, -- E0
  0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, -- E8
  0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, -- F0
  0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0, -- F8
}

-- From code point to CP437 byte, and from a character's UTF-8 bytes to it.
local TO437 = {}
local UTF8_TO437 = {}
for place, code in ipairs(HIGH) do
  TO437[code] = char(0x7F + place)
  UTF8_TO437[utf8char(code)] = TO437[code]
end

-- One character of 128 or above in UTF-8 (or a run of bytes that is no
-- character): its CP437 byte, or "?" when code page 437 has none.
local function high_to437(sequence)
  return UTF8_TO437[sequence] or '?'
end

-- Received UTF-8 text as CP437 bytes, when the tab uses that encoding.
local function bytes(text)
  if not cp437 or not find(text, '[\128-\255]') then
    return text
  end
  return (gsub(text, '[\128-\255][\128-\191]*', high_to437))
end

-- Escape sequences and control characters -----------------------------------

local function strip(text)
  text = native.strip(text)
  text = gsub(text, '\27[%(%)][%w]', '')       -- character-set designations
  text = gsub(text, '\27[%w=><78]', '')        -- short escapes such as ESC 7
  text = gsub(text, '[%z\1-\7\11\12\14-\31]', '') -- all controls but BS, TAB, LF, CR
  return text
end

-- Start of an operating-system command at or after `from` that has neither a
-- BEL nor an ESC "\" after it, or nil.
local function unended_command(text, from)
  local start = find(text, '\27]', from, true)
  while start do
    if not find(text, '\7', start, true) and not find(text, '\27\\', start, true) then
      return start
    end
    start = find(text, '\27]', start + 2, true)
  end
  return nil
end

local function unfinished_escape(tail)
  return tail == '\27' or tail == '\27(' or tail == '\27)'
    or find(tail, '^\27%[[0-?]*[ -/]*$') ~= nil
    or (sub(tail, 1, 2) == '\27]' and not find(tail, '\7', 1, true))
end

-- Where the escape sequence that is still unfinished at the end of `text`
-- starts, or nil. Only a tail shorter than HOLD_LIMIT bytes is held back.
local function held_back_start(text)
  local from = #text - HOLD_LIMIT + 2
  if from < 1 then
    from = 1
  end
  local command = unended_command(text, from)
  if command then
    return command
  end
  local last = find(text, '\27[^\27]*$', from)
  if last and unfinished_escape(sub(text, last)) then
    return last
  end
  return nil
end

-- Length of UTF-8 text in UTF-16 units: one per character, two for those
-- beyond the Basic Multilingual Plane (four-byte sequences).
local function utf16_length(text)
  local _, characters = gsub(text, '[^\128-\191]', '')
  local _, astral = gsub(text, '[\240-\247]', '')
  return characters + astral
end

-- Received-text state -------------------------------------------------------

local S = {
  position = tonumber(getenv('MORVANE_STREAM_START') or ''),
  pending = '',
  used = 0,        -- bytes at the front of `pending` already used up
  raw = false,
  timeout = 30,
  triggers = {},
  next_id = 1,
  scan = '',
  rx_seq = 0,
  gone = false,
}
if S.position == nil then
  S.position = rpc('info', TAB).streamEnd
end

-- The text not used up yet, with the used part dropped.
local function pending_text()
  if S.used > 0 then
    S.pending = sub(S.pending, S.used + 1)
    S.used = 0
  end
  return S.pending
end

local function append_pending(text)
  local pending = pending_text() .. text
  if #pending > PENDING_CAP then
    pending = sub(pending, -PENDING_KEEP)
  end
  S.pending = pending
end

-- Triggers ------------------------------------------------------------------

local function search_trigger(trigger, window, init)
  local mode = trigger.mode
  if mode == 'regex' then
    return native.regex_find(window, trigger.text, init)
  elseif mode == 'lua' then
    return find(window, trigger.text, init)
  end
  return find(window, trigger.text, init, true)
end

-- The first match of a trigger in the window that uses up at least one byte,
-- as the search results (start, end, captures), or nil.
local function trigger_match(trigger, window)
  local mode = trigger.mode
  if trigger.text == '' and mode ~= 'regex' and mode ~= 'lua' then
    return nil  -- empty plain text: every match would be empty
  end
  local anchored = mode == 'lua' and sub(trigger.text, 1, 1) == '^'
  local init = 1
  while true do
    local found = pack(search_trigger(trigger, window, init))
    local start, last = found[1], found[2]
    if start == nil then
      return nil
    end
    if last >= start then
      return found
    end
    -- An empty match fires nothing; look further on. A Lua pattern anchored
    -- with "^" can match only at the window's start.
    if anchored then
      return nil
    end
    init = start + 1
  end
end

local function run_triggers(new)
  if #S.triggers == 0 then
    return
  end
  local window = #new >= SCAN_WINDOW and new or S.scan .. new
  if #window > SCAN_WINDOW then
    window = sub(window, -SCAN_WINDOW)
  end
  S.scan = window
  ::rescan::
  for _, trigger in ipairs(S.triggers) do
    local found = trigger_match(trigger, S.scan)
    if found then
      local text = sub(S.scan, found[1], found[2])
      S.scan = sub(S.scan, found[2] + 1)
      trigger.fn(text, unpack(found, 3, found.n))
      goto rescan
    end
  end
end

-- Fetching ------------------------------------------------------------------

-- Fetches what the tab received since the last fetch; true when it brought
-- text into pending.
local function pull()
  local reply = rpc('stream', TAB, { position = S.position })
  local text = reply and reply.text
  if type(text) ~= 'string' or text == '' then
    return false
  end
  local held = ''
  if not S.raw then
    local start = held_back_start(text)
    if start then
      held = sub(text, start)
      text = sub(text, 1, start - 1)
    end
  end
  local finish = reply['end']
  if type(finish) ~= 'number' then
    finish = S.position + utf16_length(text) + utf16_length(held)
  end
  local position = finish - utf16_length(held)
  S.position = tointeger(position) or position
  if text == '' then
    return false
  end
  if not S.raw then
    text = strip(text)
  end
  text = bytes(text)
  append_pending(text)
  S.rx_seq = S.rx_seq + 1
  run_triggers(text)
  return true
end

-- Connection, pauses and waits ---------------------------------------------

local function is_connected()
  local info = rpc('info', TAB)
  if info ~= nil and info.active then
    return true
  end
  if S.gone then
    io_write(CLOSED_MESSAGE)
    io_flush()
    os_exit(0)
  end
  S.gone = true
  return false
end

local function pause(seconds)
  if not (seconds > 0) then
    seconds = 0
  end
  local done, message = native.sleep(seconds * 1000)
  if not done then
    error(message, 0)
  end
end

local function wait_until(check, timeout)
  if timeout == nil then
    timeout = S.timeout
  end
  if timeout == false then
    timeout = 0
  end
  local deadline = timeout > 0 and now() + timeout or nil
  while true do
    pull()
    local result = pack(check())
    if result[1] ~= nil then
      return unpack(result, 1, result.n)
    end
    if not is_connected() then
      pull()
      result = pack(check())
      if result[1] ~= nil then
        return unpack(result, 1, result.n)
      end
      return nil, 'disconnected'
    end
    if deadline and now() >= deadline then
      return nil, 'timeout'
    end
    pause(POLL_SECONDS)
  end
end

-- Expect family -------------------------------------------------------------

-- The list of strings to look for and the time-out, from expect's
-- arguments. The list is a sequence: a trailing nil (a time-out variable that
-- holds nothing) adds no string to it.
local function expect_arguments(...)
  local args = pack(...)
  local count = args.n
  local timeout
  local last = args[count]
  if count > 0 and (type(last) == 'number' or last == false) then
    timeout = last
    count = count - 1
  end
  local list
  if count == 1 and type(args[1]) == 'table' then
    list = args[1]
  else
    list = { unpack(args, 1, count) }
  end
  assert(#list > 0, 'expect needs at least one string')
  return list, timeout
end

local function search_plain(text, wanted, init)
  return find(text, wanted, init, true)
end

-- A Lua pattern sees the pending text as if the used part were gone. With
-- `init` that holds for "^" and for the match itself, but position captures
-- count from the start of `text`, and a frontier (%f) at `init` looks at the
-- used byte before it instead of the start of the text: a pattern with a
-- frontier searches a copy of the unused part.
local function search_pattern(text, wanted, init)
  if init > 1 and type(wanted) == 'string' and find(wanted, '%f', 1, true) then
    local found = pack(find(sub(text, init), wanted))
    if found[1] ~= nil then
      found[1], found[2] = found[1] + init - 1, found[2] + init - 1
    end
    return unpack(found, 1, found.n)
  end
  local found = pack(find(text, wanted, init))
  if found[1] == nil or init == 1 then
    return unpack(found, 1, found.n)
  end
  for i = 3, found.n do
    if type(found[i]) == 'number' then
      found[i] = found[i] - init + 1
    end
  end
  return unpack(found, 1, found.n)
end

local function search_regex(text, wanted)
  return native.regex_find(text, wanted)
end

-- An expect function over one kind of search. A regular expression must see
-- pending from its start ("^", look-behind), so the used part is dropped
-- before it searches; the other two searches start at the first unused byte.
local function make_expect(search, from_start)
  return function(...)
    local list, timeout = expect_arguments(...)
    local function check()
      if from_start then
        pending_text()
      end
      local text, first = S.pending, S.used + 1
      local best, best_index
      for index = 1, #list do
        local found = pack(search(text, list[index], first))
        if found[1] ~= nil and (best == nil or found[1] < best[1]) then
          best, best_index = found, index
        end
      end
      if best == nil then
        return nil
      end
      local found_text = sub(text, best[1], best[2])
      before = sub(text, first, best[1] - 1)
      matched = found_text
      S.used = best[2]
      return best_index, found_text, unpack(best, 3, best.n)
    end
    return wait_until(check, timeout)
  end
end

local expect = make_expect(search_plain, false)
local expect_pattern = make_expect(search_pattern, false)
local expect_regex = make_expect(search_regex, true)

local function must_expect(...)
  local result = pack(_ENV.expect(...))
  if result[1] == nil then
    error('must_expect: ' .. tostring(result[2]), 2)
  end
  return unpack(result, 1, result.n)
end

local function readline(timeout)
  return wait_until(function()
    local newline = find(S.pending, '\n', S.used + 1, true)
    if newline == nil then
      return nil
    end
    local line = gsub(sub(S.pending, S.used + 1, newline - 1), '\r', '')
    S.used = newline
    return line
  end, timeout)
end

local function quiet(seconds, timeout)
  if seconds == nil then
    seconds = 1
  end
  local noted_time, noted_seq = now(), S.rx_seq
  return wait_until(function()
    if S.rx_seq ~= noted_seq then
      noted_time, noted_seq = now(), S.rx_seq
    end
    if now() - noted_time >= seconds then
      return true
    end
    return nil
  end, timeout)
end

-- Sleeping and idling -------------------------------------------------------

local function sleep(seconds)
  if seconds == nil or seconds ~= seconds then
    seconds = 0
  end
  local finish = now() + seconds
  repeat
    pull()
    if S.gone then
      is_connected()
    end
    local left = finish - now()
    pause(left < POLL_SECONDS and left or POLL_SECONDS)
  until now() >= finish
end

local function idle()
  while is_connected() do
    pull()
    pause(IDLE_POLL_SECONDS)
  end
  pull()
end

local function set_timeout(seconds)
  if seconds == nil then
    seconds = 0
  end
  S.timeout = seconds
end

-- Triggers ------------------------------------------------------------------

local function on(pattern, fn, mode)
  local id = S.next_id
  S.next_id = id + 1
  S.triggers[#S.triggers + 1] = { id = id, text = pattern, fn = fn, mode = mode or 'plain' }
  return id
end

local function off(id)
  for index, trigger in ipairs(S.triggers) do
    if trigger.id == id then
      remove(S.triggers, index)
      return true
    end
  end
  return false
end

-- Sending, screen and session ------------------------------------------------

local function send(...)
  local data = concat({ ... })
  if data == '' then
    return
  end
  rpc('send.bytes', TAB, { base64 = native.base64(data) })
end

-- Through the global send, so that a script's own send sees every line; its
-- results are not passed on.
local function sendln(...)
  _ENV.send(concat({ ... }) .. '\r')
end

local function integer(value)
  return tointeger(value) or value
end

local function screen(row)
  local info = rpc('info', TAB)
  -- "not (in range)" also turns away NaN.
  if type(row) ~= 'number' or not (row >= 1 and row <= info.rows) then
    return nil
  end
  local region = rpc('screen.region', TAB, { top = row, bottom = row, left = 1, right = info.columns })
  local text = region and region.text or ''
  return bytes((gsub(text, '%s+$', '')))
end

local function screen_size()
  local info = rpc('info', TAB)
  return integer(info.columns), integer(info.rows)
end

local function cursor()
  local info = rpc('info', TAB)
  return integer(info.column), integer(info.row)
end

local function buffer()
  pull()
  return pending_text()
end

-- Throws away what was fetched but not used; what the application holds and
-- was not fetched yet stays there for the next fetch.
local function clear()
  S.pending = ''
  S.used = 0
end

local function raw(flag)
  S.raw = flag ~= nil and flag ~= false
end

local function disconnect()
  rpc('disconnect', TAB)
end

local function quit()
  rpc('disconnect', TAB)
  os_exit(0)
end

-- Dialogs and output --------------------------------------------------------

local answers  -- the pre-set answers table, set once the functions exist

-- Takes the first queued pre-set answer of a kind: true and the answer, or
-- false when none is queued.
local function preset(kind)
  local list = answers[kind]
  if type(list) ~= 'table' or #list == 0 then
    return false
  end
  return true, remove(list, 1)
end

local function message(text)
  if preset('message') then
    return
  end
  rpc('dialog.message', nil, { message = tostring(text), title = 'Script' })
end

local function input(title, default, hidden)
  local queued, answer = preset('input')
  if queued then
    if answer == false then
      return nil
    elseif answer == '' then
      if default == nil then
        return ''
      end
      return default
    end
    return answer
  end
  local reply = rpc('dialog.prompt', nil, {
    message = tostring(title),
    title = 'Script',
    default = default or '',
    password = hidden ~= nil and hidden ~= false,
  }) or {}
  if reply.cancelled == true then
    return nil
  end
  return reply.text
end

local function confirm(question)
  local queued, answer = preset('confirm')
  if queued then
    return answer ~= nil and answer ~= false
  end
  local reply = rpc('dialog.confirm', nil, { message = tostring(question), title = 'Script' }) or {}
  return reply.yes
end

local function log(...)
  local values = pack(...)
  local parts = {}
  for i = 1, values.n do
    parts[i] = tostring(values[i])
  end
  io_write(concat(parts, ' '), '\n')
  io_flush()
end

local regex = {
  find = function(s, re, init)
    return native.regex_find(s, re, init)
  end,
  match = function(s, re, init)
    local found = pack(native.regex_find(s, re, init))
    if found[1] == nil then
      return nil
    end
    if found.n == 2 then
      return sub(s, found[1], found[2])
    end
    return unpack(found, 3, found.n)
  end,
}

-- The globals ---------------------------------------------------------------

local globals = {
  expect = expect,
  expect_pattern = expect_pattern,
  expect_regex = expect_regex,
  waitfor = expect,
  must_expect = must_expect,
  readline = readline,
  quiet = quiet,
  sleep = sleep,
  idle = idle,
  set_timeout = set_timeout,
  on = on,
  off = off,
  send = send,
  sendln = sendln,
  screen = screen,
  screen_size = screen_size,
  cursor = cursor,
  buffer = buffer,
  clear = clear,
  raw = raw,
  connected = is_connected,
  disconnect = disconnect,
  quit = quit,
  now = now,
  message = message,
  input = input,
  confirm = confirm,
  log = log,
  regex = regex,
}
for name, value in pairs(globals) do
  _ENV[name] = value
end

-- Held by reference: answers added to this table later still count.
local preset_answers = rawget(_ENV, 'vantorix_answers')
answers = type(preset_answers) == 'table' and preset_answers or {}

local name = option('name')
local address = option('host')
local port = option('port')
local user = option('username')
local conn_type = option('protocol')
bbs = {
  name = name,
  address = address,
  port = integer(port),
  user = user,
  password = nil,   -- the application stores no passwords
  syspass = nil,
  conn_type = conn_type,
}

local arguments = rawget(_ENV, 'arg')
script_path = type(arguments) == 'table' and arguments[0] or nil
print = log
before = nil
matched = nil

return { loaded = true }

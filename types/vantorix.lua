---@meta
-- Editor definitions for the compatibility globals (the Vantorix dialect),
-- which load by themselves the first time a script reads one of them.
-- Waits return their results on success, nil and "timeout" or nil and
-- "disconnected" otherwise; time-outs are seconds (default 30, 0 or false:
-- forever). docs/reference.md has the details.

---Waits for one of the strings (plain text) in the received text: the
---index of the one found first and the matched text. A last number is the
---time-out in seconds; false waits forever.
---@param ... string|string[]|number|false
---@return integer|nil index
---@return string text Or "timeout" / "disconnected".
function expect(...) end

---Like expect, with Lua patterns; the captures follow the matched text.
---@param ... string|string[]|number|false
---@return integer|nil index
---@return string text
---@return any ... Captures.
function expect_pattern(...) end

---Like expect, with Perl-compatible regular expressions over bytes.
---@param ... string|string[]|number|false
---@return integer|nil index
---@return string text
---@return (string|false) ... Captures.
function expect_regex(...) end

---The same function as expect.
---@param ... string|string[]|number|false
---@return integer|nil index
---@return string text
function waitfor(...) end

---Like expect, but raises "must_expect: timeout" or "must_expect: disconnected".
---@param ... string|string[]|number|false
---@return integer index
---@return string text
---@return any ... Captures.
function must_expect(...) end

---The next received line, without CR and LF.
---@param timeout? number|false Seconds.
---@return string|nil line
---@return string? reason
function readline(timeout) end

---True once no text has arrived for `seconds` (default 1).
---@param seconds? number
---@param timeout? number|false Seconds.
---@return true|nil quiet
---@return string? reason
function quiet(seconds, timeout) end

---Sleeps `seconds` (not milliseconds), running triggers.
---@param seconds? number
function sleep(seconds) end

---Runs triggers until the connection closes.
function idle() end

---Sets the waits' default time-out in seconds; nil or 0: no limit.
---@param seconds? number
function set_timeout(seconds) end

---Calls `fn(text, captures...)` whenever `pattern` arrives; returns the trigger's id.
---@param pattern string
---@param fn fun(text: string, ...: any)
---@param mode? "plain"|"lua"|"regex" Default "plain".
---@return integer id
function on(pattern, fn, mode) end

---Removes a trigger; true when there was one.
---@param id integer
---@return boolean
function off(id) end

---Sends the values concatenated, byte for byte.
---@param ... string|number
function send(...) end

---Sends the values concatenated and a CR.
---@param ... string|number
function sendln(...) end

---Screen row `row` (from 1) without trailing white space, or nil.
---@param row integer
---@return string?
function screen(row) end

---Columns and rows.
---@return integer columns
---@return integer rows
function screen_size() end

---The cursor's column and row, from 1.
---@return integer column
---@return integer row
function cursor() end

---Fetches, then returns the pending text without using it up.
---@return string
function buffer() end

---Throws away the pending text.
function clear() end

---Raw mode: keep escape sequences and control characters in fetched text.
---@param flag boolean
function raw(flag) end

---True while the session runs; the second finding of a closed session ends the script.
---@return boolean
function connected() end

---Ends the session.
function disconnect() end

---Ends the session and the script with status 0.
function quit() end

---Seconds since the runner started, a float.
---@return number
function now() end

---Shows a message.
---@param text any
function message(text) end

---Asks for text; nil when cancelled.
---@param title any
---@param default? string
---@param hidden? boolean
---@return string?
function input(title, default, hidden) end

---Asks a yes/no question.
---@param question any
---@return boolean
function confirm(question) end

---Writes the values separated by a space, then a line feed, to standard output.
---@param ... any
function log(...) end

---The same as log once the globals are loaded.
---@param ... any
function print(...) end

---Regular expressions over bytes.
regex = {}

---Start, end (from 1, inclusive) and captures, or nil.
---@param s string
---@param re string
---@param init? integer
---@return integer? start
---@return integer? finish
---@return (string|false) ...
function regex.find(s, re, init) end

---The matched text when `re` has no groups, else the captures; nil without a match.
---@param s string
---@param re string
---@param init? integer
---@return string|false|nil ...
function regex.match(s, re, init) end

---The script tab's connection, read when the globals load.
---@class vantorix.Bbs
---@field name string?
---@field address string? Option "host".
---@field port integer|string|nil
---@field user string?
---@field password nil Never stored.
---@field syspass nil Never stored.
---@field conn_type string? Option "protocol".

---@type vantorix.Bbs
bbs = {}

---The script's absolute path.
---@type string
script_path = ''

---Text before the last expect match.
---@type string?
before = nil

---Text of the last expect match.
---@type string?
matched = nil

---Pre-set dialog answers, set by the script before the globals load.
---@type {message: any[]?, input: (string|false)[]?, confirm: any[]?}?
vantorix_answers = nil

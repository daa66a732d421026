---@meta
-- Editor definitions for __morvane_native, the runner's native functions.
-- They return nil and a message on failure instead of raising (regex_find
-- raises on a bad pattern). docs/reference.md has the exact messages.

---The runner's native functions.
---@class morvane.native
__morvane_native = {}

---A whole file's bytes (at most 16 MiB).
---@param path string UTF-8 path, relative to the current directory.
---@return string|nil bytes
---@return string? message
function __morvane_native.read_file(path) end

---Replaces a file atomically with `bytes` (at most 16 MiB).
---@param path string
---@param bytes string
---@return true|nil done
---@return string? message
function __morvane_native.write_file(path, bytes) end

---One request to the terminal: the result and nil, or nil and the message.
---@param request table `op`, `tab` and the operation's fields.
---@return any result
---@return string? message
function __morvane_native.rpc(request) end

---Sleeps, rounded up to a whole millisecond.
---@param milliseconds number 0 to 2147483647.
---@return true|nil done
---@return string? message
function __morvane_native.sleep(milliseconds) end

---Seconds since the runner started (sub-millisecond resolution, monotonic).
---@return number
function __morvane_native.now() end

---Standard Base64 of a byte string.
---@param bytes string
---@return string|nil text
---@return string? message
function __morvane_native.base64(bytes) end

---Finds a literal pattern; positions in UTF-16 units from 0, end exclusive; -1, -1, "" when absent.
---@param text string
---@param pattern string
---@param insensitive? boolean
---@return integer|nil start
---@return integer|string finish Or the message on failure.
---@return string? before
function __morvane_native.find(text, pattern, insensitive) end

---`text` without CSI and OSC escape sequences.
---@param text string
---@return string|nil text
---@return string? message
function __morvane_native.strip(text) end

---Perl-compatible search over bytes: start, end (from 1, inclusive) and captures, or nil.
---@param subject string
---@param pattern string
---@param init? integer Start byte (default 1; negative counts from the end).
---@return integer? start
---@return integer? finish
---@return (string|false) ... Captures; false for a group that took no part.
function __morvane_native.regex_find(subject, pattern, init) end

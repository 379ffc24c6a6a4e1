-- Helpers the busted files share (require "testlib"; the tests' LUA_PATH holds this
-- folder, on Linux and under Wine).
local assert = require "luassert"

local M = {}

-- Asserts that `call(...)` raises `message`. Lua puts the chunk and line in front of
-- a raise from Lua code; a Windows chunk name carries a drive letter, so that prefix
-- ends at the first ":<line>: ", not the first colon.
function M.raises(message, call, ...)
  local ok, err = pcall(call, ...)
  assert.is_false(ok)
  assert.are.equal(message, (tostring(err):gsub("^.-:%d+: ", "")))
end

-- The counters of the table `stats()` returns that `fn` moved, by how much.
function M.delta(stats, fn)
  local before = stats()
  fn()
  local after, d = stats(), {}
  for k, v in pairs(after) do
    if v ~= before[k] then d[k] = v - before[k] end
  end
  return d
end

-- This process's pid, as the kernel knows it (Linux only).
function M.own_pid()
  local f = assert(io.open("/proc/self/stat"))
  local pid = tonumber(f:read("*l"):match("^(%d+)"))
  f:close()
  return pid
end

-- The highest descriptor of this process whose link target satisfies `match`, a
-- function, or contains it, a string (Linux only).
function M.find_fd(match)
  if type(match) == "string" then
    local name = match
    match = function(target) return target:find(name, 1, true) ~= nil end
  end
  local ls = assert(io.popen("ls -l /proc/" .. M.own_pid() .. "/fd"))
  local found
  for line in ls:lines() do
    local fd, target = line:match("(%d+) %-> (.*)$")
    if fd and match(target) then found = tonumber(fd) end
  end
  ls:close()
  return found
end

return M

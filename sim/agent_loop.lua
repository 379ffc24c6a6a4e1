-- A minimal host for the driver simulator: loads acdc, registers as a worker and
-- answers every event that reaches Lua with REPLY_ALLOW (unless the library has
-- answered it already, as it has when the table carries bind_action), until the
-- driver closes its port.
--
--   lua5.2 sim/agent_loop.lua [--events FILE] [--deadline-ms N]
--
--   --events FILE     write one CSV line per event that reached Lua:
--                     MessageId,id,type,dirty,name,oldname,bind_action,reply
--   --deadline-ms N   give up when the port has not closed after N ms (default 120000)
--
-- Exit status: 0 when the port closed (the driver's way of saying it is done), 1 on
-- any other failure, 2 at the deadline.

-- Without LUA_CPATH the library of the build beside this script is used.
if not os.getenv("LUA_CPATH") then
  local script_dir = debug.getinfo(1, "S").source:match("^@(.*)[/\\]") or "."
  package.cpath = script_dir .. "/../build/lua/?.so;" .. package.cpath
end

local acdc = require "acdc"

local ERROR_BROKEN_PIPE = 109
local WAIT_MS = 500

local function fail(status, message)
  io.stderr:write("agent_loop: ", message, "\n")
  os.exit(status)
end

local opts = { deadline_ms = 120000 }
local i = 1
while i <= #arg do
  local name, value = arg[i], arg[i + 1]
  if name == "--events" and value then opts.events = value
  elseif name == "--deadline-ms" and value and value:find("^%d+$") then opts.deadline_ms = tonumber(value)
  else fail(1, "usage: agent_loop.lua [--events FILE] [--deadline-ms N]") end
  i = i + 2
end

local function field(value)
  if value == nil then return "" end
  value = tostring(value)
  if value:find('[,"\r\n]') then return '"' .. value:gsub('"', '""') .. '"' end
  return value
end

local ok, code, message = acdc.load()
if not ok then fail(1, message) end
local h
h, code, message = acdc.open_worker()
if not h then fail(1, message) end
local out
if opts.events then
  out = io.open(opts.events, "wb") or fail(1, "cannot write " .. opts.events)
  out:write("MessageId,id,type,dirty,name,oldname,bind_action,reply\r\n")
end

local seen, answered = 0, 0
local deadline = os.time() + math.ceil(opts.deadline_ms / 1000)
while true do
  local ev
  ev, code, message = h:get(WAIT_MS, 1, 0, 0, "", 0, 0)
  if ev then
    seen = seen + 1
    local reply = ev.bind_action
    if reply == nil then
      reply = acdc.REPLY_ALLOW
      ok, code, message = h:reply(ev, reply)
      if not ok then fail(1, message) end
      answered = answered + 1
    end
    if out then
      out:write(table.concat({ field(ev.MessageId), field(ev.id), field(ev.type), field(ev.dirty), field(ev.name),
        field(ev.oldname), field(ev.bind_action), field(reply) }, ","), "\r\n")
    end
  elseif acdc.istimeout(code) then
    if os.time() > deadline then fail(2, "the driver did not close its port within the deadline") end
  elseif bit32.band(code, 0xFFFF) == ERROR_BROKEN_PIPE then
    break
  else
    fail(1, message)
  end
end

if out then out:close() end
h:close()
-- The driver has gone with its port, so unloading can only report that.
acdc.unload()
print(string.format("agent_loop: %d events reached Lua, %d answered here", seen, answered))

-- The host side of the conformance test: the library against tests/conformance/
-- driver.py. Fails (non-zero exit) on the first thing that is not as expected.
local acdc = require "acdc"

local function check(ok, ...)
  if not ok then
    io.stderr:write("host: ", table.concat({ tostring(select(1, ...)), tostring(select(2, ...)) }, " "), "\n")
    os.exit(1)
  end
  return ok, ...
end

check(acdc.load())
local h = check(acdc.open_worker())

-- The driver streams natively decided events once asked; each restarts the wait, and
-- get returns only when they are all consumed and the stream has gone quiet.
check(h:command('"stream"').sent == true, "stream")
local ev, code, msg = h:get(500, 1, 0, 0, "", 0, 0)
check(ev == nil and acdc.istimeout(code), "get after the stream", msg)

-- One event the host answers itself: its ids come in a JSON reply.
local next_event = h:command('"next"')
check(next_event.id == 77 and next_event.names[2] == "b", "next")
local seen = {}
check(h:gettest(2000, seen) == seen, "gettest")
check(h:reply({ id = next_event.id, MessageId = next_event.MessageId }, acdc.REPLY_ALLOW) == true, "reply")

local echoed = h:command("hello")
check(echoed.echo == "hello", "echo")
check(acdc.unload() == true, "unload")
h:close()

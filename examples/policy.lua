-- The reference agent's policy: its answers to the events the library hands to
-- Lua, and the verdicts it keeps in the library's execution cache.
--
-- A file the library could not decide gets a verdict by its place, as a rule set
-- would give one, stored with AddToCache so that the library answers the next
-- execution itself. A path that is created, written, renamed or deleted loses its
-- verdict, for its content may have changed.

local policy = {}

local Policy = {}
Policy.__index = Policy

-- A verdict and its rule set for a file not seen before, by its lower-cased path:
-- 1 approved (the system's and installed programs' folders), 3 block (a program in a
-- temporary folder), 2 unrecognized (anything else).
local BLOCK_RULESET = "ruleset-1-0-0-7"
function policy.verdict(lower)
  if lower:find("^c:\\windows\\") or lower:find("^c:\\program files") then return 1 end
  if lower:find("\\temp\\", 1, true) and lower:find("%.exe$") then return 3, BLOCK_RULESET end
  return 2
end

function policy.new(acdc)
  local changes = {
    [acdc.EVENT_CREATE_POST] = true, [acdc.EVENT_CLEANUP_PRE] = true, [acdc.EVENT_RENAME_POST] = true,
    [acdc.EVENT_UNLINK_POST] = true, [acdc.EVENT_UNLINKAT_POST] = true,
  }
  local decided = { [acdc.EVENT_EXEC_PRE] = true, [acdc.EVENT_CREATE_PRE] = true }
  return setmetatable({
    add = acdc.AddToCache, remove = acdc.RemoveFromCache,
    changes = changes, decided = decided, cleanup = acdc.EVENT_CLEANUP_PRE,
    allow = acdc.REPLY_ALLOW, block = acdc.REPLY_BLOCK, ignore = acdc.REPLY_IGNORE,
    stored = 0, removed = 0,
  }, Policy)
end

-- The reply to an event the library left to Lua (dispatch result 0). Executions and
-- script opens get a verdict, which is stored; the other events are changes that
-- have happened, acknowledged with REPLY_IGNORE.
function Policy:decide(event_type, path)
  if not (self.decided[event_type] and path) then return self.ignore end
  local lower = path:lower()
  local verdict, ruleset = policy.verdict(lower)
  self.add(lower, verdict, ruleset)
  self.stored = self.stored + 1
  return verdict == 3 and self.block or self.allow
end

-- A change to a path drops its verdict: a file created, written (a dirty close),
-- renamed (both names) or deleted. The agent feeds every event itself, deletions
-- included, which the library answers natively: it tells the policy of them too.
function Policy:observe(event_type, dirty, path, oldpath)
  if not self.changes[event_type] or (event_type == self.cleanup and dirty ~= 1) then return end
  for _, p in ipairs { path or "", oldpath or "" } do
    if p ~= "" and self.remove(p:lower()) then self.removed = self.removed + 1 end
  end
end

return policy

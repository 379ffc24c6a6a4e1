-- ac.AddToFilterSet and ac.IsLikelyInSet per call from Lua, against a call of the
-- module's own no-op, ac.WriteEventLocally, with the same argument. Inserts set
-- fresh positions (the set is cleared between rounds, untimed); lookups query a set
-- of every other value, bypass off, half present and half absent. CPU time
-- (os.clock), rounds alternating, the best of each kept. A C function that only
-- reads a number and returns a boolean (bench/number_probe_module.cpp) shows what
-- a call of IsLikelyInSet's shape costs before it does anything.
local ac = require "ac"
local probe = require "number_probe"

local n = 200000

local function per_call(fn)
  local t0 = os.clock()
  for i = 1, n do fn(i) end
  return (os.clock() - t0) / n * 1e9
end

local function race(fn, rounds, before_round)
  local best, best_noop = math.huge, math.huge
  for _ = 1, rounds do
    if before_round then before_round() end
    best = math.min(best, per_call(fn))
    best_noop = math.min(best_noop, per_call(ac.WriteEventLocally))
  end
  return best, best_noop
end

local function figure(name, value, baseline, goal)
  print(("FIGURE %s\t%.1f ns\t%.1f ns\t%.2fx\tlower is better%s")
    :format(name, value, baseline, value / baseline, goal and (" (goal <= %.1fx)"):format(goal) or ""))
end

race(ac.AddToFilterSet, 2, ac.ClearFilterSet) -- warm up
local add, noop = race(ac.AddToFilterSet, 7, ac.ClearFilterSet)
assert(ac.GetfilledPositionsCount() == n, "inserts went missing")
figure("AddToFilterSet per Lua call vs WriteEventLocally", add, noop, 1.5)

ac.ClearFilterSet()
for i = 1, n, 2 do ac.AddToFilterSet(i) end
ac.SetBypassFilterState(false)
local hits = 0
for i = 1, n do if ac.IsLikelyInSet(i) then hits = hits + 1 end end
assert(hits == n / 2, "lookups went wrong")
local lookup
lookup, noop = race(ac.IsLikelyInSet, 7)
figure("IsLikelyInSet per Lua call vs WriteEventLocally", lookup, noop, 1.5)
local floor
floor, noop = race(probe, 7)
figure("reading a number and returning a boolean, per Lua call vs WriteEventLocally", floor, noop)

-- The statistics registry of module ac: designators by number and by name, the
-- values and set flags of the 128 counters, and the fixed error texts.
local ac = require "ac"
local testlib = require "testlib"
local raises = testlib.raises

local function pack(...) return { n = select("#", ...), ... } end

local registry = debug.getregistry()

-- The four functions that take a designator, each called from Lua code so that
-- its error names it.
local with_designator = {
  GetStatsVar = function(d) ac.GetStatsVar(d) end,
  SetStatsVar = function(d) ac.SetStatsVar(d, 1) end,
  IncStatsVar = function(d) ac.IncStatsVar(d, 1) end,
  ClearStatsVar = function(d) ac.ClearStatsVar(d) end,
}

-- The counters are process-wide and outlive each test: start from all absent and
-- from a state that has stored no names.
before_each(function()
  for i = 0, 127 do ac.ClearStatsVar(i) end
  registry["qrt.ac.stats.index"] = nil
end)

describe("designators", function()
  -- Numbers are taken as signed 32-bit integers (truncated, then their low 32 bits)
  -- and must lie in 0 to 127 once read as unsigned.
  it("name the slot of their truncated low 32 bits", function()
    local cases = {
      { -0.5, 0 }, { 3.9, 3 }, { 127, 127 }, { 127.99, 127 }, { 0 / 0, 0 }, { "5", 5 }, { " 0x10 ", 16 },
      { 2 ^ 32 + 5, 5 }, { 2 ^ 63, 0 }, { -2 ^ 32 + 7, 7 },
    }
    for _, c in ipairs(cases) do
      for i = 0, 127 do ac.ClearStatsVar(i) end
      ac.SetStatsVar(c[1], 42)
      assert.are.same({ [c[2]] = 42 }, ac.GetStatsAll(), tostring(c[1]))
    end
  end)

  it("raise 'Index out of range' outside 0 to 127", function()
    for _, d in ipairs { 128, -1, -0.99 - 1, 2 ^ 31, 2 ^ 64, 1 / 0, "-3" } do
      for f, call in pairs(with_designator) do
        raises("bad argument #1 to '" .. f .. "' (Index out of range)", function() call(d) end)
      end
    end
    assert.are.same({}, ac.GetStatsAll())
  end)

  it("look names up in the stored index, by reference", function()
    local names = { events = 3, blocked = 3.9, approved = "7", far = 200, negative = -1, text = "x" }
    assert.are.same({ n = 0 }, pack(ac.InitStats(names)))
    ac.SetStatsVar("events", 10)
    ac.IncStatsVar("blocked")
    ac.SetStatsVar("approved", 1.5)
    assert.are.same({ [3] = 11, [7] = 1.5 }, ac.GetStatsAll())
    raises("bad argument #1 to 'GetStatsVar' (Index out of range)", function() ac.GetStatsVar("far") end)
    raises("bad argument #1 to 'SetStatsVar' (Index out of range)", function() ac.SetStatsVar("negative", 1) end)
    raises("bad argument #1 to 'IncStatsVar' (Unknown stat)", function() ac.IncStatsVar("text") end)
    raises("bad argument #1 to 'ClearStatsVar' (Unknown stat)", function() ac.ClearStatsVar("missing") end)
    raises("bad argument #1 to 'GetStatsVar' (Unknown stat)", function() ac.GetStatsVar() end)
    raises("bad argument #1 to 'GetStatsVar' (Unknown stat)", function() ac.GetStatsVar(true) end)
    names.later = 100
    ac.SetStatsVar("later", 2)
    assert.are.equal(2, ac.GetStatsVar(100))
    -- A table as key, looked up raw: the index's own metatable plays no part.
    local key = {}
    names[key] = 1
    setmetatable(names, { __index = function() return 2 end })
    ac.SetStatsVar(key, 8)
    assert.are.equal(8, ac.GetStatsVar(1))
    raises("bad argument #1 to 'GetStatsVar' (Unknown stat)", function() ac.GetStatsVar("viaindex") end)
  end)

  it("raise 'Stats not set' for a name when no index is stored", function()
    for f, call in pairs(with_designator) do
      raises("bad argument #1 to '" .. f .. "' (Stats not set)", function() call("events") end)
    end
    ac.SetStatsVar(4, 1)
    assert.are.equal(1, ac.GetStatsVar(4))
  end)
end)

describe("InitStats and StatNames", function()
  it("StatNames gives a new empty table until InitStats stores a table, then that table", function()
    local a, b = ac.StatNames(), ac.StatNames()
    assert.are.same({}, a)
    assert.are_not.equal(a, b)
    for _, v in ipairs { "names", 5, true } do
      raises("bad argument #1 to 'InitStats' (Expected list of stats)", function() ac.InitStats(v) end)
    end
    raises("bad argument #1 to 'InitStats' (Expected list of stats)", function() ac.InitStats() end)
    assert.is_nil(registry["qrt.ac.stats.index"])
    local names, other = { x = 1 }, {}
    ac.InitStats(names)
    assert.are.equal(names, ac.StatNames())
    ac.InitStats(other)
    assert.are.equal(other, ac.StatNames())
  end)
end)

describe("values", function()
  it("a slot never written is absent; one set to 0 is present until cleared", function()
    assert.are.same({ n = 1, nil }, pack(ac.GetStatsVar(9)))
    assert.are.same({ n = 0 }, pack(ac.SetStatsVar(9, 0)))
    assert.are.same({ [9] = 0 }, ac.GetStatsAll())
    assert.are.same({ n = 0 }, pack(ac.ClearStatsVar(9)))
    assert.are.same({}, ac.GetStatsAll())
  end)

  it("IncStatsVar adds 1 for a missing, zero or unconvertible increment, else the increment", function()
    local cases = { { {}, 1 }, { { 0 }, 1 }, { { -0.0 }, 1 }, { { "x" }, 1 }, { { {} }, 1 }, { { -2.5 }, -2.5 },
      { { "2" }, 2 }, { { 0.25 }, 0.25 } }
    for _, c in ipairs(cases) do
      ac.ClearStatsVar(0)
      assert.are.same({ n = 0 }, pack(ac.IncStatsVar(0, table.unpack(c[1]))))
      assert.are.equal(c[2], ac.GetStatsVar(0), tostring(c[1][1]))
    end
    ac.SetStatsVar(0, 10)
    ac.IncStatsVar(0, 5)
    ac.IncStatsVar(0)
    assert.are.equal(16, ac.GetStatsVar(0))
  end)

  it("SetStatsVar requires a number, and a failed call changes nothing", function()
    ac.SetStatsVar(1, 5)
    raises("bad argument #2 to 'SetStatsVar' (number expected, got string)", function() ac.SetStatsVar(1, "x") end)
    raises("bad argument #2 to 'SetStatsVar' (number expected, got no value)", function() ac.SetStatsVar(1) end)
    raises("bad argument #1 to 'SetStatsVar' (Index out of range)", function() ac.SetStatsVar(128, "x") end)
    ac.SetStatsVar(2, "2.5")
    assert.are.same({ [1] = 5, [2] = 2.5 }, ac.GetStatsAll())
  end)

  it("GetStatsAll gives every set slot, 0 and 127 included, as a new table", function()
    ac.SetStatsVar(0, 1)
    ac.SetStatsVar(127, -1)
    ac.IncStatsVar(64, 0.5)
    local all = ac.GetStatsAll()
    assert.are.same({ [0] = 1, [64] = 0.5, [127] = -1 }, all)
    all[0] = 99
    assert.are.equal(1, ac.GetStatsVar(0))
    assert.are_not.equal(all, ac.GetStatsAll())
  end)
end)

describe("StatsEvent", function()
  it("always raises", function()
    for _, args in ipairs { {}, { "x", {} } } do
      assert.are.same({ false, "StatsEvent uninitialized" }, { pcall(ac.StatsEvent, table.unpack(args)) })
    end
  end)
end)

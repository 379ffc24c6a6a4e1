-- The filter set's functions of module ac: numbers as they arrive from Lua (the
-- bounds' low 32 bits among them), the argument errors, the statistics table and the
-- archive entry of FilterSetDump.
local ac = require "ac"
local testlib = require "testlib"
local raises = testlib.raises

local function pack(...) return { n = select("#", ...), ... } end

-- The counters moved by `fn`; the bounds, count and bypass as they are after it.
local function delta(fn)
  local before = ac.FilterSetStats()
  fn()
  local after = ac.FilterSetStats()
  for _, k in ipairs { "add", "bypassed", "clear", "hit", "miss", "oorange" } do after[k] = after[k] - before[k] end
  return after
end

before_each(function() ac.ClearFilterSet() end)

describe("AddToFilterSet and IsLikelyInSet", function()
  -- Each value added alone: the bounds' low 32 bits, and the queries that tell the
  -- converted value from its neighbours (2^63 is no 0, 3.9 is 3 and not 4).
  it("convert numbers by truncation, wrapping negatives and saturating past 2^64", function()
    local cases = {
      { arg = -1, low32 = 4294967295, yes = { -1, 2 ^ 64 }, no = { 0, 2 ^ 63 } },
      { arg = 3.9, low32 = 3, yes = { 3, 3.5 }, no = { 2, 4 } },
      { arg = -0.5, low32 = 0, yes = { 0, 0.9 }, no = { 1 } },
      { arg = 2 ^ 63, low32 = 0, yes = { 2 ^ 63 }, no = { 0, 2 ^ 62 } },
      { arg = 2 ^ 64, low32 = 4294967295, yes = { -1, 2 ^ 65 }, no = { 0, 2 ^ 63 } },
      { arg = 0 / 0, low32 = 0, yes = { 0 }, no = { 1 } },
      { arg = "5", low32 = 5, yes = { 5, "5" }, no = { 4, 6 } },
      { arg = 2 ^ 32 + 5, low32 = 5, yes = { 2 ^ 32 + 5 }, no = { 5 } },
    }
    for _, c in ipairs(cases) do
      ac.ClearFilterSet()
      ac.AddToFilterSet(c.arg)
      ac.SetBypassFilterState(false)
      local s = ac.FilterSetStats()
      assert.are.same({ tostring(c.arg), c.low32, c.low32, 1 }, { tostring(c.arg), s.minSize, s.maxSize, s.count })
      for _, v in ipairs(c.yes) do assert.is_true(ac.IsLikelyInSet(v), tostring(c.arg) .. " ? " .. tostring(v)) end
      for _, v in ipairs(c.no) do assert.is_false(ac.IsLikelyInSet(v), tostring(c.arg) .. " ? " .. tostring(v)) end
    end
  end)

  it("query anything that is no number as 0", function()
    ac.AddToFilterSet(0)
    ac.AddToFilterSet(10)
    ac.SetBypassFilterState(false)
    for _, v in ipairs { "x", {}, true, print } do assert.is_true(ac.IsLikelyInSet(v), tostring(v)) end
    assert.is_true(ac.IsLikelyInSet())
    assert.is_true(ac.IsLikelyInSet(nil))
    ac.ClearFilterSet()
    ac.AddToFilterSet(1)
    ac.SetBypassFilterState(false)
    local d = delta(function()
      for _, v in ipairs { "x", {}, true } do assert.is_false(ac.IsLikelyInSet(v), tostring(v)) end
    end)
    assert.are.same({ 0, 3 }, { d.hit, d.oorange })
  end)

  it("raise for a value that is no number", function()
    raises("bad argument #1 to 'AddToFilterSet' (number expected, got string)", function() ac.AddToFilterSet("5x") end)
    raises("bad argument #1 to 'AddToFilterSet' (number expected, got no value)", function() ac.AddToFilterSet() end)
    assert.are.same({ n = 1, 0 }, pack(ac.GetfilledPositionsCount()))
  end)
end)

describe("ClearFilterSet and SetBypassFilterState", function()
  it("clear empties the set, turns the bypass back on and keeps the other counters", function()
    ac.AddToFilterSet(7)
    ac.SetBypassFilterState(false)
    ac.IsLikelyInSet(7)
    assert.are.same({ minSize = 4294967295, maxSize = 0, count = 0, bypassEnabled = 1, add = 0, bypassed = 1,
      clear = 1, hit = 0, miss = 0, oorange = 0 }, delta(function()
      assert.are.same({ n = 0 }, pack(ac.ClearFilterSet()))
      assert.is_true(ac.IsLikelyInSet(7))
    end))
  end)

  it("takes only a boolean", function()
    for _, v in ipairs { 0, "true" } do
      raises("bad argument #1 to 'SetBypassFilterState' (boolean expected)", function() ac.SetBypassFilterState(v) end)
    end
    raises("bad argument #1 to 'SetBypassFilterState' (boolean expected)", function() ac.SetBypassFilterState() end)
    assert.are.equal(1, ac.FilterSetStats().bypassEnabled)
    assert.are.same({ n = 0 }, pack(ac.SetBypassFilterState(false)))
    assert.are.same({ n = 1, false }, pack(ac.IsLikelyInSet(0)))
  end)
end)

describe("FilterSetDump #linux", function()
  local corelib
  local folder

  setup(function()
    corelib = require "corelib"
    folder = os.tmpname()
    os.remove(folder)
    assert(os.execute("mkdir -m 700 " .. folder))
  end)

  teardown(function() os.execute("rm -rf " .. folder) end)

  -- The archive's entries as Python's zipfile reads them (zip_entries.py); the
  -- sanitizer runtimes preloaded for the module are no concern of Python's.
  local function entries(path)
    local python = assert(os.getenv("PYTHON3"), "PYTHON3 is not set")
    local p = assert(io.popen(("env -u LD_PRELOAD %s tests/lua/zip_entries.py %s"):format(python, path)))
    local out = {}
    for line in p:lines() do
      local name, method, size, bits = line:match("^(.-)\t(%d+)\t(%d+)\t(.*)$")
      out[#out + 1] = { name = name, method = tonumber(method), size = tonumber(size), bits = bits }
    end
    assert.is_true(p:close())
    return out
  end

  it("writes the bitmap as the deflated entry ac/filterSet", function()
    for _, v in ipairs { 0, 9, 524287, 524288 + 3, 2 ^ 63 + 4096, 1000 } do ac.AddToFilterSet(v) end
    local path = folder .. "/dump.zip"
    local stream = assert(corelib.zip(path))
    assert.are.same({ n = 0 }, pack(ac.FilterSetDump(stream)))
    assert.is_true(stream:close())
    assert.are.same({ { name = "ac/filterSet", method = 8, size = 65536, bits = "0,3,9,1000,4096,524287" } },
      entries(path))
  end)

  it("ignores anything but an open zip output stream", function()
    ac.AddToFilterSet(1)
    local path = folder .. "/ignored.zip"
    local stream = assert(corelib.zip(path))
    for _, v in ipairs { corelib.dom(folder), "stream", 5 } do
      assert.are.same({ n = 0 }, pack(ac.FilterSetDump(v)))
    end
    assert.are.same({ n = 0 }, pack(ac.FilterSetDump()))
    assert.is_true(stream:close())
    assert.are.same({ n = 0 }, pack(ac.FilterSetDump(stream)))  -- closed by now
    assert.are.same({}, entries(path))
  end)
end)

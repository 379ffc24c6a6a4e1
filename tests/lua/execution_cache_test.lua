-- The execution cache's functions of module acdc: what the binding converts and
-- returns (the cache's own rules are tested natively). The cases that make files
-- under the test build's drive C (ACDC_DRIVE_C) are Linux-only.
local acdc = require "acdc"
local testlib = require "testlib"

local drive_c = os.getenv("ACDC_DRIVE_C")

local function pack(...) return { n = select("#", ...), ... } end

local function delta(fn) return testlib.delta(acdc.CacheStats, fn) end

-- A file of `size` bytes at C:\isc\<name>; a large one is sparse.
local function make_file(name, size)
  assert(drive_c, "ACDC_DRIVE_C is not set")
  os.execute("mkdir -p '" .. drive_c .. "/isc'")
  local f = assert(io.open(drive_c .. "/isc/" .. name, "wb"))
  if size > 0 then
    f:seek("set", size - 1)
    f:write("x")
  end
  f:close()
  return "C:\\isc\\" .. name
end

describe("the execution cache's functions", function()
  before_each(function() acdc.ClearCache() end)

  it("return a verdict alone and a block's rule set as a second value", function()
    assert.are.same({ n = 1, true }, pack(acdc.AddToCache("c:\\a.exe", 1)))
    acdc.AddToCache("c:\\b.exe", 3, "ruleset-12-0-7-65535")
    acdc.AddToCache("c:\\none.exe")
    assert.are.same({ n = 1, 1 }, pack(acdc.IsCached("c:\\a.exe")))
    assert.are.same({ n = 2, 3, "ruleset-12-0-7--1" }, pack(acdc.IsCached("c:\\b.exe")))
    assert.are.same({ n = 1, 1 }, pack(acdc.IsCached("c:\\none.exe")))
    assert.are.same({ removehit = 1, removemiss = 1 }, delta(function()
      assert.is_true(acdc.RemoveFromCache("c:\\a.exe"))
      assert.is_false(acdc.RemoveFromCache("c:\\a.exe"))
    end))
  end)

  it("take a type that is no whole 64-bit number as approved, and 2^32 + 2 as itself", function()
    for _, t in ipairs { "2", {}, 0 / 0, 2 ^ 64, 2 ^ 32 + 2, 2.9 } do
      acdc.AddToCache("c:\\t.exe", t)
      assert.are.equal(t == 2.9 and 2 or 1, (acdc.IsCached("c:\\t.exe")))
    end
  end)

  it("fill the result table of a miss from the file and ignore a second argument that is no table #linux", function()
    local ten, big = make_file("ten.bin", 10), make_file("big.bin", 200 * 2 ^ 20)
    local t = {}
    assert.are.same({ miss = 1 }, delta(function() assert.are.same({ n = 1, 0 }, pack(acdc.IsCached(ten, t))) end))
    assert.are.same({ size = 10, isexec = true }, t)
    t = { size = "old" }
    assert.are.same({ miss = 1, stat_too_big = 1 }, delta(function() acdc.IsCached(big, t) end))
    assert.are.same({ size = 0, isexec = false }, t)
    assert.are.same({ miss = 1, stat_not_file = 1 }, delta(function() acdc.IsCached("C:\\isc", {}) end))
    -- The lower-cased spelling of the file is found too.
    t = {}
    acdc.IsCached(ten:lower(), t)
    assert.are.same({ size = 10, isexec = true }, t)
    for _, second in ipairs { 5, "x", true } do
      assert.are.same({ n = 1, 0 }, pack(acdc.IsCached(ten, second)))
    end
    -- A hit leaves the table alone.
    acdc.AddToCache(ten, 1)
    t = {}
    assert.are.equal(1, acdc.IsCached(ten, t))
    assert.are.same({}, t)
  end)

  it("key on the text up to its first NUL", function()
    acdc.AddToCache("c:\\nul.exe\0tail", 3)
    assert.are.equal(3, (acdc.IsCached("c:\\nul.exe")))
  end)

  it("raise for a path that is not a string", function()
    for name, fn in pairs { AddToCache = function() acdc.AddToCache(nil, 1) end,
      IsCached = function() acdc.IsCached({}) end, RemoveFromCache = function() acdc.RemoveFromCache() end } do
      local ok, err = pcall(fn)
      assert.is_false(ok)
      assert.matches("bad argument #1 to '" .. name .. "' %(string expected, got [%a ]+%)$", err)
    end
  end)

  it("report fifteen counters and count a clear", function()
    local keys = {}
    for k in pairs(acdc.CacheStats()) do keys[#keys + 1] = k end
    table.sort(keys)
    assert.are.same({ "add_approved", "add_block", "add_unrecognized", "clear", "hit_approved", "hit_block",
      "hit_unrecognized", "miss", "removefail", "removehit", "removemiss", "stat_fail", "stat_not_file",
      "stat_size_zero", "stat_too_big" }, keys)
    assert.are.same({ clear = 1 }, delta(acdc.ClearCache))
  end)
end)

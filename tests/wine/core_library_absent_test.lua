-- Windows only: the agent's core library is bound when first needed, and Wine has
-- none. The DLL loads without it, and the functions that would use it answer as if it
-- had nothing to give.
local ac = require "ac"

describe("without the core library", function()
  it("ProfilerBindings gives two null hooks", function()
    local results = table.pack(ac.ProfilerBindings())
    assert.are.equal(2, results.n)
    assert.are.equal("userdata", type(results[1]))
    assert.are.equal(results[1], results[2])
  end)

  it("a dump to a non-object does nothing", function()
    assert.are.equal(0, select("#", ac.FilterSetDump({})))
    assert.are.equal(0, select("#", ac.CacheDump({})))
    assert.are.equal(0, select("#", ac.CacheDump(io.stdout)))
  end)
end)

describe("drives and devices", function()
  it("lists drive C by its lower-cased root, and fails an unknown device with 2", function()
    local drives = ac.GetLogicalDriveStrings()
    assert.is_string(drives["c:\\"])
    local value, code, text = ac.QueryDosDevice("NoSuchDevice")
    assert.is_nil(value)
    assert.are.equal(2, code)
    assert.is_string(text)
    assert.is_string(ac.QueryDosDevice("C:"))
  end)
end)

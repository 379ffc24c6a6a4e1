-- Module acdc: both names, the handle metatable, the constant tables.
local acdc = require "acdc"

describe("require", function()
  it("gives a new module table per open, sharing one library and one metatable", function()
    local lacdc = require "lacdc"
    assert.are_not.equal(acdc, lacdc)
    local mt = debug.getregistry()["acdc.handle"]
    assert.is_table(mt)
    assert.are.equal(mt, mt.__index)
    local again = package.loadlib(package.searchpath("acdc", package.cpath), "luaopen_acdc")()
    assert.are_not.equal(acdc, again)
    assert.are.equal(mt, debug.getregistry()["acdc.handle"])
    -- One library under three names: the counters move together.
    local before = lacdc.EventAbstractionStats().event_not_handled
    acdc.AbstractEvent { type = 13 }
    assert.are.equal(before + 1, lacdc.EventAbstractionStats().event_not_handled)
  end)

  it("opens module ac", function()
    assert.is_table(require "ac")
  end)

  it("exports only the three openers #linux", function()
    local path = package.searchpath("acdc", package.cpath)
    local nm = io.popen("nm -D --defined-only " .. path)
    local exported = {}
    for line in nm:lines() do
      local kind, name = line:match("^%x+ (%a) (%S+)$")
      if kind == "T" then exported[#exported + 1] = name end
    end
    nm:close()
    table.sort(exported)
    assert.are.same({ "luaopen_ac", "luaopen_acdc", "luaopen_lacdc" }, exported)
  end)
end)

describe("constant tables", function()
  it("map both ways and set the upper-case module fields", function()
    assert.are.equal("allow", acdc.reply[2])
    assert.are.equal(2, acdc.reply.allow)
    assert.are.equal(2, acdc.REPLY_ALLOW)
    assert.are.equal(18, acdc.EVENT_EXEC_PRE)
    assert.are.equal(5, acdc.reply.trackfile)
    assert.are.equal("process", acdc.entity[4])
  end)

  it("keep short names lower-case, so action and reply differ on error", function()
    assert.is_nil(acdc.action.ERROR)
    assert.are.equal(3, acdc.action.error)
    assert.are.equal(1, acdc.reply.error)
    assert.are.equal(3, acdc.ERROR)
    assert.are.equal(1, acdc.REPLY_ERROR)
  end)

  it("share the event table as type, named from null to mmap_post", function()
    assert.are.equal(acdc.event, acdc.type)
    assert.are.equal(18, acdc.type.exec_pre)
    assert.are.equal("null", acdc.event[0])
    assert.are.equal("setsecurity_post", acdc.event[17])
    assert.are.equal("mmap_post", acdc.event[49])
    assert.are.equal("proc_start", acdc.event[1])
    for v = 0, 49 do assert.are.equal(v, acdc.event[acdc.event[v]]) end
    assert.is_nil(acdc.event[50])
  end)

  it("let the later of two equal short names win in CreationDisposition", function()
    local cd = acdc.CreationDisposition
    assert.are.equal(4, cd.always)
    assert.are.equal(5, cd.existing)
    assert.are.same({ "new", "always", "existing", "always", "existing" }, { cd[1], cd[2], cd[3], cd[4], cd[5] })
    assert.are.equal(2, acdc.CREATE_ALWAYS)
  end)
end)

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

  it("exports the three openers and no other symbol #linux", function()
    local path = package.searchpath("acdc", package.cpath)
    local nm = io.popen("nm -D --defined-only " .. path)
    local exported = {}
    for line in nm:lines() do
      local kind, name = line:match("^%x* *(%a) (%S+)$")
      assert.are.equal("T", kind, line)
      exported[#exported + 1] = name
    end
    nm:close()
    table.sort(exported)
    assert.are.same({ "luaopen_ac", "luaopen_acdc", "luaopen_lacdc" }, exported)
  end)
end)

describe("constant tables", function()
  it("map both ways, set the upper-case module fields and keep short names lower-case", function()
    assert.are.same({ "allow", 2, 2, 5, "process" },
      { acdc.reply[2], acdc.reply.allow, acdc.REPLY_ALLOW, acdc.reply.trackfile, acdc.entity[4] })
    -- Action and reply differ on error.
    assert.are.same({ nil, 3, 1, 3, 1 },
      { acdc.action.ERROR, acdc.action.error, acdc.reply.error, acdc.ERROR, acdc.REPLY_ERROR })
  end)

  it("share the event table as type, named from null to mmap_post", function()
    assert.are.equal(acdc.event, acdc.type)
    assert.are.same({ 18, 18, "null", "proc_start", "setsecurity_post", "mmap_post" },
      { acdc.EVENT_EXEC_PRE, acdc.type.exec_pre, acdc.event[0], acdc.event[1], acdc.event[17], acdc.event[49] })
    for v = 0, 49 do assert.are.equal(v, acdc.event[acdc.event[v]]) end
    assert.is_nil(acdc.event[50])
  end)

  it("let the later of two equal short names win in CreationDisposition", function()
    local cd = acdc.CreationDisposition
    assert.are.same({ 4, 5, 2 }, { cd.always, cd.existing, acdc.CREATE_ALWAYS })
    assert.are.same({ "new", "always", "existing", "always", "existing" }, { cd[1], cd[2], cd[3], cd[4], cd[5] })
  end)
end)

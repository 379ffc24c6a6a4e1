-- ShouldUpdateSchema and UpdatedSchema with documents of the core-library stand-in
-- (left out of the Windows run by name: the DLL binds the agent's own core library,
-- which Wine has not). This file is a process of its own, so its first grant is the
-- process's first.
local ac = require "ac"

local function raises_arg(call)
  local ok, err = pcall(call)
  assert.is_false(ok)
  assert.are.equal("bad argument #1 to 'ShouldUpdateSchema' (Dom object expected)", (err:gsub("^.-:%d+: ", "")))
end

describe("the schema check", function()
  local corelib, root, db
  setup(function()
    corelib = require "corelib"
    root = assert(os.getenv("ACDC_TEST_OUT"), "ACDC_TEST_OUT is not set") .. "/schema"
    assert(os.execute("rm -rf '" .. root .. "' && mkdir -p '" .. root .. "/ac'"))
    db = root .. "/ac/ac.db"
  end)

  -- Other values, and the lock left untaken, are tried in schema_glue_test.
  it("refuses anything but a writable document", function()
    raises_arg(function() ac.ShouldUpdateSchema("dom") end)
    raises_arg(function() ac.ShouldUpdateSchema(corelib.dom(root, true)) end)
    raises_arg(function() ac.ShouldUpdateSchema(corelib.zip(root .. "/x.zip")) end)
  end)

  it("asks the document for ac.db of the plug-in ac: yes first, then by the file's presence", function()
    local dom = corelib.dom(root)
    assert.are.equal(db, dom:plugin_file("ac", "ac.db"))
    assert(io.open(db, "w")):close()
    assert.is_true(ac.ShouldUpdateSchema(dom))
    assert.are.equal(0, select("#", ac.UpdatedSchema()))
    assert.is_false(ac.ShouldUpdateSchema(dom))
    os.remove(db)
    assert.is_true(ac.ShouldUpdateSchema(dom))
    -- The owner asking again gets no and keeps its window.
    assert.is_false(ac.ShouldUpdateSchema(dom))
    ac.UpdatedSchema()
    assert.is_true(ac.ShouldUpdateSchema(corelib.dom(root .. "/elsewhere")))
    ac.UpdatedSchema()
  end)
end)

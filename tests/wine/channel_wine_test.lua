-- The channel's Windows side under Wine, as far as Wine's fltlib.dll goes: it has
-- FilterLoad (which refuses, there being no Filter Manager) and FilterUnload, while
-- FilterGetMessage, FilterSendMessage and FilterReplyMessage are stubs that abort the
-- process, so waits, commands and replies are tested on Linux only.
local acdc = require "acdc"

local function pack(...) return { n = select("#", ...), ... } end

describe("the channel under Wine", function()
  it("reports the refused load as an error triple from the real call", function()
    assert.are.same({ n = 3, nil, -2147024846, 'FilterLoad("acdc"): Request not supported. (-2147024846)' },
      pack(acdc.load()))
  end)

  it("unloads through the real call", function()
    assert.are.same({ n = 1, true }, pack(acdc.unload()))
  end)

  it("opens, prints and closes handles without a driver", function()
    local h = acdc.open()
    assert.matches("^acdc%.handle: %x+$", tostring(h))
    assert.is_false(h:isdone())
    assert.are.equal(true, h:close())
    assert.are.same({ n = 3, nil, 0, "Double close" }, pack(h:close()))
    assert.is_true(acdc.istimeout(-2147024638))
  end)
end)

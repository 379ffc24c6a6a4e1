-- Windows only: lacdc.dll and ac.dll hold no code of their own. Required first in a
-- fresh process, each has Windows load acdc.dll by name from the host's folder, and
-- every name then reaches that one library.
describe("forwarders", function()
  it("load acdc.dll when required before acdc and share its counters", function()
    local lacdc = require "lacdc"
    assert.is_nil(package.loaded.acdc)
    assert.are.equal(2, lacdc.REPLY_ALLOW)
    assert.is_table(require "ac")
    local acdc = require "acdc"
    assert.are_not.equal(acdc, lacdc)
    local before = acdc.EventAbstractionStats().total_events
    lacdc.AbstractEvent { type = 13 }
    assert.are.equal(before + 1, acdc.EventAbstractionStats().total_events)
    assert.are.equal(before + 1, lacdc.EventAbstractionStats().total_events)
  end)
end)

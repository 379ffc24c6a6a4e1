-- The channel end to end: load and unload, handles, get, gettest, reply, exit
-- channels and a driver that goes away, against the in-process driver (simdriver).
local acdc = require "acdc"
local simdriver = require "simdriver"
local testlib = require "testlib"

-- Status codes as the library returns them: signed 32-bit.
local function hr(code) return code >= 0x80000000 and code - 0x100000000 or code end
local NOT_FOUND, INVALID_HANDLE = hr(0x80070002), hr(0x80070006)
local BROKEN, TIMEOUT, STOP = hr(0x8007006D), hr(0x80070102), hr(0x80070281)
local TIMED_OUT = "poll(): The wait operation timed out. (-2147024638)"

local function same_triple(expected_code, expected_message, ...)
  assert.are.same({ n = 3, nil, expected_code, expected_message }, { n = select("#", ...), ... })
end

local function get(h, timeout)
  return h:get(timeout, 1, 0, 0, "", 0, 0)
end

local d

local function start_driver(options)
  d = assert(simdriver.new(options or { hold_ms = 1000 }))
end

local function stop_driver()
  acdc.unload()
  if d then d:close() end
  d = nil
end

local function loaded_driver()
  start_driver()
  assert(acdc.load())
end

describe("load", function()
  after_each(stop_driver)

  it("reports a driver that is not there, or its refusal", function()
    same_triple(NOT_FOUND, 'FilterLoad("acdc"): The system cannot find the file specified. (-2147024894)', acdc.load())
    start_driver { load_result = 0x80070005 }
    same_triple(hr(0x80070005), 'FilterLoad("acdc"): Access is denied. (-2147024891)', acdc.load())
    assert.is_false(d:loaded())
  end)

  it("connects an event and a control port once, and unloads once", function()
    start_driver()
    assert.are.equal(true, acdc.load())
    assert.is_true(d:wait_connections(1, 1))
    assert.are.same({ 1, 1 }, { d:connections() })
    same_triple(hr(0x80070420),
      'FilterLoad("acdc"): An instance of the service is already running. (-2147023840)', acdc.load())
    assert.are.equal(true, acdc.unload())
    assert.is_false(d:loaded())
    -- The driver's "not loaded" reads by its low 16 bits, as Windows would look it up.
    same_triple(hr(0x801F0013), 'FilterUnload(L"acdc"): The media is write protected. (-2145452013)', acdc.unload())
  end)
end)

describe("open", function()
  it("makes handles that print as acdc.handle", function()
    local h = acdc.open()
    assert.matches("^acdc%.handle: 0x%x+$", tostring(h))
    assert.are_not.equal(tostring(h), tostring(acdc.open()))
    assert.is_false(h:isdone())
  end)

  it("refuses a null exit channel and one that is neither an eventfd nor a pipe", function()
    same_triple(-1, "ShouldExitChannel not setup:  (-1)", acdc.open(simdriver.handle(0)))
    same_triple(INVALID_HANDLE, "ShouldExitChannel not setup: The handle is invalid. (-2147024890)",
      acdc.open(simdriver.handle(987)))
    assert.has_error(function() acdc.open("x") end, "bad argument #1 to 'open' (light userdata expected, got string)")
  end)

  it("closes once; a closed handle still works", function()
    loaded_driver()
    local h = acdc.open()
    assert.are.equal(true, h:close())
    same_triple(0, "Double close", h:close())
    d:send({ type = 13, id = 3 }, 30)
    same_triple(TIMEOUT, TIMED_OUT, get(h, 100))
    assert.are.equal(1, d:wait_reply(30).replies)
    stop_driver()
  end)
end)

describe("get", function()
  before_each(loaded_driver)
  after_each(stop_driver)

  it("answers natively decided events once each, with their full ids, and keeps waiting", function()
    local h = acdc.open()
    local big = 2 ^ 40 + 2 ^ 33 + 7
    local sent = { -- event, message id, the reply's code
      { { type = 13, id = 11, pid = 1 }, 110, 1 },                   -- no handler: REPLY_ERROR
      { { type = 13, id = 12, pid = simdriver.getpid() }, 120, 4 },  -- the host's own: REPLY_IGNORE
      { { type = 13, id = 5, pid = 1 }, big, 1 },
      { { type = 13, id = 9, pid = 1 }, 90, 1 },                     -- one id twice: nothing deduplicated
      { { type = 13, id = 9, pid = 1 }, 90, 1 },
      { { type = 0, id = 21 }, 210, 1 },                             -- outside 1 to 49: counted nowhere
      { { type = 50, id = 22 }, 220, 1 },
      { { type = 0xFFFFFFFF, id = 23 }, 230, 1 },
    }
    local counted = testlib.delta(acdc.EventAbstractionStats, function()
      for _, s in ipairs(sent) do d:send(s[1], s[2]) end
      same_triple(TIMEOUT, TIMED_OUT, get(h, 300))
      assert.is_true(d:wait_idle())
    end)
    local records = d:records()
    assert.are.equal(#sent, #records)
    for i, r in ipairs(records) do
      assert.are.same({ 1, sent[i][3], sent[i][1].id, sent[i][2] }, { r.replies, r.code, r.id, r.reply_message_id })
    end
    -- Only the five of type 13 count; the host's own is ignored before the total.
    assert.are.same({ total_events = 4, event_not_handled = 4, ac_error = 4, ac_ignore = 1 }, counted)
    local s = d:stats()
    assert.are.same({ 0, 0 }, { s.duplicates, s.unknown })
    assert.is_true(acdc.istimeout(select(2, get(h, 0))))
  end)

  it("decides executions end to end: natively from the cache, or with Lua", function()
    local pid = assert(simdriver.spawn("/bin/sleep", "30"))
    acdc.ClearCache()
    acdc.AddToCache("c:\\apps\\cached.exe", 1)
    acdc.AddToCache("c:\\apps\\blocked.exe", 3, "ruleset-4-3-2-1")
    local h = acdc.open()
    d:send({ type = acdc.EVENT_EXEC_PRE, id = 81, pid = pid, name = "C:\\Apps\\Cached.EXE" }, 810)
    d:send({ type = acdc.EVENT_EXEC_PRE, id = 82, pid = pid, name = "C:\\Apps\\Blocked.exe" }, 820)
    local ev = get(h, 2000)
    simdriver.kill(pid)
    assert.are.same({ 82, acdc.REPLY_BLOCK, 3, "ruleset-4-3-2-1", 1, "Z:\\usr\\bin\\sleep" },
      { ev.id, ev.bind_action, ev.cache_type, ev.ruleset, ev.action_type, ev.processName })
    assert.are.same({ 1, acdc.REPLY_ALLOW }, { d:wait_reply(810).replies, d:wait_reply(810).code })
    assert.are.same({ 1, acdc.REPLY_BLOCK }, { d:wait_reply(820).replies, d:wait_reply(820).code })
    assert.are.equal(0, d:stats().duplicates)
  end)

  it("drops packets without a message id and answers misshapen ones REPLY_ERROR", function()
    local h = acdc.open()
    d:send_raw(string.rep("\7", 15), 300, true)                                       -- no id to answer
    d:send_raw(simdriver.message({ type = 13, id = 32 }, 320):sub(1, 20), 320, true)  -- no event id
    d:send_raw(simdriver.message({ type = 13, id = 31 }, 310):sub(1, 3175), 310, true)
    d:send_raw(simdriver.message({ type = 13, id = 33 }, 330) .. "\0", 330, true)
    get(h, 300)
    for _, m in ipairs { { 320, 0 }, { 310, 31 }, { 330, 33 } } do
      local r = d:wait_reply(m[1])
      assert.are.same({ 1, 1, m[2] }, { r.replies, r.code, r.id })
    end
    local r = d:wait_reply(300, 1500)
    assert.are.same({ true, 0 }, { r.timed_out, r.replies })
    local s = d:stats()
    assert.are.same({ 0, 0, 0 }, { s.duplicates, s.mismatched, s.unknown })
  end)

  -- How n signals spread over n waiting handles is checked natively
  -- (filter_port_test.cpp, channel_stress_test.cpp).
  it("stops the handle on an exit signal, for good", function()
    local exit = simdriver.eventfd()
    local h = acdc.open(exit)
    simdriver.signal(exit, 1)
    same_triple(STOP, "poll(): The system is in the process of shutting down. (-2147024255)", get(h, 1000))
    assert.is_true(h:isdone())
    same_triple(-1, "Already stopped:  (-1)", get(h, 0))
    same_triple(-1, "Already stopped:  (-1)", h:gettest(0))
    simdriver.closefd(exit)
  end)

  it("reports a driver that went away as a broken port, and works again after unload and load", function()
    local exit = simdriver.eventfd()
    local h = acdc.open(exit)
    d:crash()
    same_triple(BROKEN, "poll(): The pipe has been ended. (-2147024787)", get(h, 5000))
    assert.are.equal(BROKEN, select(2, get(h, 5000)))
    same_triple(NOT_FOUND, 'FilterUnload(L"acdc"): The system cannot find the file specified. (-2147024894)',
      acdc.unload())
    assert(d:listen())
    assert.are.equal(true, acdc.load())
    d:send({ type = 13, id = 41, pid = 1 }, 410)
    get(h, 200)
    assert.are.equal(1, d:wait_reply(410).replies)
    -- Its exit channel is bound to the new port.
    simdriver.signal(exit, 1)
    assert.are.equal(STOP, select(2, get(h, 1000)))
    simdriver.closefd(exit)
  end)

  it("after unload refuses the missing port, in get and in reply", function()
    local h = acdc.open()
    assert.are.equal(true, acdc.unload())
    same_triple(INVALID_HANDLE, "poll(): The handle is invalid. (-2147024890)", get(h, 0))
    same_triple(INVALID_HANDLE, "reply(): The handle is invalid. (-2147024890)",
      h:reply({ id = 1, MessageId = 1 }, acdc.REPLY_ALLOW))
  end)

  it("checks its arguments", function()
    local h = acdc.open()
    assert.has_error(function() h:get(0, 1, 0, 0, {}, 0, 0) end,
      "bad argument #5 to 'get' (string expected, got table)")
    assert.has_error(function() h:get(0, 1, 0, 0, "", 0) end,
      "bad argument #7 to 'get' (number expected, got no value)")
    assert.has_error(function() acdc.open().get({}) end,
      "bad argument #1 to 'get' (acdc.handle expected, got table)")
  end)
end)

describe("gettest and reply", function()
  before_each(loaded_driver)
  after_each(stop_driver)

  it("gettest waits without answering; reply answers from Lua", function()
    local h = acdc.open()
    local t = {}
    d:send({ type = 18, id = 51, pid = 1 }, 510)
    assert.are.equal(t, h:gettest(1000, t))
    assert.is_nil(d:wait_reply(510, 200))
    assert.are.equal(true, h:reply({ id = 51, MessageId = 510 }, acdc.REPLY_ALLOW))
    local r = d:wait_reply(510)
    assert.are.same({ 1, 2, 51, 0, 0 }, { r.replies, r.code, r.id, r.eta, r.error })
    d:send({ type = 18, id = 52 }, 520)
    assert.has_error(function() h:gettest(1000) end, "get() failed to push table (number)")
  end)

  it("sends eta and error from the options, and the low 32 bits of MessageId", function()
    local h = acdc.open()
    for _, id in ipairs { 61, 62, 63, 71 } do
      d:send({ type = 18, id = id }, id * 10)
      h:gettest(1000, {})
    end
    assert.are.equal(true, h:reply({ id = 61, MessageId = 610 }, 0x82, { eta = 30 }))
    assert.are.equal(true, h:reply({ id = 62, MessageId = 620 }, 0x83, {}))
    assert.are.equal(true, h:reply({ id = 63, MessageId = 630 }, acdc.REPLY_ERROR, { error = 5 }))
    assert.are.equal(true, h:reply({ id = 71, MessageId = 2 ^ 32 + 710 }, acdc.REPLY_BLOCK))
    for id, want in pairs { [61] = { 0x82, 30, 0 }, [62] = { 0x83, 0, 0 }, [63] = { 1, 0, 5 }, [71] = { 3, 0, 0 } } do
      local r = d:wait_reply(id * 10)
      assert.are.same({ 1, id, want[1], want[2], want[3] }, { r.replies, r.id, r.code, r.eta, r.error })
    end
    -- A reply to an id never sent is the driver's business: counted, not matched.
    assert.are.equal(true, h:reply({ id = 64, MessageId = 640 }, acdc.REPLY_ALLOW))
    assert.are.equal(true, d:wait_idle())
    local s = d:stats()
    assert.are.same({ 4, 0 }, { s.answered, s.duplicates })
  end)

  it("raises on misuse", function()
    local h = acdc.open()
    assert.has_error(function() h:reply("x", 2) end, "bad argument #1 to 'reply' (Expected event)")
    assert.has_error(function() h:reply({ MessageId = 1 }, 2) end, "bad argument #1 to 'reply' (Expected event (no id))")
    assert.has_error(function() h:reply({ id = 1 }, 2) end, "bad argument #1 to 'reply' (Expected event (no MessageId))")
    assert.has_error(function() h:reply({ id = 1, MessageId = 1 }, 1) end, "expected reply options, for 'error'")
    assert.has_error(function() h:reply({ id = 1, MessageId = 1 }, 0x82) end, "expected reply options, for 'eta'")
    assert.are.equal(0, d:stats().unknown)
  end)
end)

describe("profiler and istimeout", function()
  after_each(function()
    acdc.profiler()
    stop_driver()
  end)

  it("calls the hooks around each wait, reply and command", function()
    loaded_driver()
    local h = acdc.open()
    acdc.profiler(simdriver.hooks())
    local b0, a0 = simdriver.hook_counts()
    get(h, 0)
    h:reply({ id = 1, MessageId = 1 }, acdc.REPLY_ALLOW)
    h:command('"beworker"')
    local b1, a1 = simdriver.hook_counts()
    assert.are.same({ 3, 3 }, { b1 - b0, a1 - a0 })
    acdc.profiler()
    get(h, 0)
    assert.are.same({ b1, a1 }, { simdriver.hook_counts() })
    assert.has_error(function() acdc.profiler({}) end, "bad argument #1 to 'profiler' (light userdata expected)")
  end)

  it("tells the wait time-out by its low 16 bits", function()
    assert.are.same({ true, true, false, false },
      { acdc.istimeout(TIMEOUT), acdc.istimeout(258), acdc.istimeout(STOP), acdc.istimeout(0) })
    assert.has_error(function() acdc.istimeout("x") end, "bad argument #1 to 'istimeout' (number expected, got string)")
  end)
end)

-- Commands to the driver: JSON and typed replies, the jerror excerpt, open_worker
-- and program, against the in-process driver (simdriver).
local acdc = require "acdc"
local simdriver = require "simdriver"

local function hr(code) return code >= 0x80000000 and code - 0x100000000 or code end
local function pack(...) return { n = select("#", ...), ... } end

local floor = math.floor
local function u32(v) return string.char(v % 256, floor(v / 256) % 256, floor(v / 65536) % 256, floor(v / 16777216) % 256) end
local function i32(v) return u32(v < 0 and v + 0x100000000 or v) end
local function u64(v) return u32(v % 0x100000000) .. u32(floor(v / 0x100000000)) end

-- A typed reply: the 16-byte header ("!", the type NUL-padded to 7 bytes, A, B) and
-- the payload.
local function typed(type_name, a, b, payload)
  return "!" .. type_name .. string.rep("\0", 7 - #type_name) .. i32(a) .. i32(b) .. (payload or "")
end

local d, h

before_each(function()
  d = assert(simdriver.new { hold_ms = 1000 })
  assert(acdc.load())
  h = acdc.open()
end)

after_each(function()
  acdc.unload()
  d:close()
end)

describe("command", function()
  it("sends the text with its NUL and decodes a JSON reply", function()
    d:queue_answer(0, '{"ok":[1,2,3]}')
    assert.are.same({ n = 1, { ok = { 1, 2, 3 } } }, pack(h:command("hello")))
    local c = d:commands()[1]
    assert.are.same({ "hello\0", 4096 }, { c.input, c.out_size })
  end)

  it("returns the decoder's error and the raw text for a reply that is not JSON", function()
    d:queue_answer(0, "nope")
    assert.are.same({ n = 5, nil, "1:2:Expected value", 1, 2, "nope" }, pack(h:command("x")))
  end)

  it("checks the buffer size and what the driver returns", function()
    assert.has_error(function() h:command("x", nil, 15) end, "Return buffer too small")
    d:queue_answer(0, string.rep("x", 16))
    assert.has_error(function() h:command("x", nil, 16) end, "Truncated by one")
    d:queue_answer(0, string.rep("x", 40))
    assert.has_error(function() h:command("x", nil, 16) end, "Invalid command() return length 40")
    for _, case in ipairs {
      { 0, true, 0x8007000D, "The data is invalid. (-2147024883)" }, -- a malformed answer
      { 0x80070032, false, 0x80070032, "The request is not supported. (-2147024846)" },
    } do
      d:queue_answer(case[1], "", case[2])
      assert.are.same({ n = 3, nil, hr(case[3]), "command(): " .. case[4] }, pack(h:command("x")))
    end
  end)

  it("reads typed replies by the caller's type or the header's", function()
    d:queue_answer(0, typed("array", 7, -8, u64(1) .. u64(2 ^ 40) .. u64(3)))
    assert.are.same({ n = 3, { 1, 2 ^ 40, 3 }, 7, -8 }, pack(h:command("x")))
    local raw = typed("raw", 1, 2, "abc")
    d:queue_answer(0, raw)
    assert.are.same({ n = 3, raw, 1, 2 }, pack(h:command("x")))
    d:queue_answer(0, "short")
    assert.are.same({ n = 1, "short" }, pack(h:command("x", "string")))
    d:queue_answer(0, "plain text, no header")
    assert.are.same({ n = 1, "plain text, no header" }, pack(h:command("x", "raw")))
    d:queue_answer(0, "!x")
    assert.are.same({ n = 3, "!x", 0, 0 }, pack(h:command("x", "raw")))
    d:queue_answer(0, typed("other", 1, 2, "zz"))
    assert.are.same({ n = 1, typed("other", 1, 2, "zz") }, pack(h:command("x")))
  end)

  it("lets error replies override the caller's type, except raw", function()
    local reply = typed("error", 3, 4, "it failed")
    d:queue_answer(0, reply)
    assert.are.same({ n = 2, nil, "it failed" }, pack(h:command("x", "array")))
    d:queue_answer(0, reply)
    assert.are.same({ n = 3, reply, 3, 4 }, pack(h:command("x", "raw")))
  end)

  it("shows a jerror's place in an excerpt of the command, its marker inside 80 columns", function()
    local long = {}
    for i = 0, 199 do long[#long + 1] = string.char(65 + i % 26) end
    long = table.concat(long)
    local short = "0123456789abcdefghij"
    for _, case in ipairs {
      { short, 5, 9, "bad token\n" .. short:sub(6) .. "\n^~~~" .. string.rep(" ", 76) },
      -- A long command is centred on the place.
      { long, 100, 110, "bad token\n" .. long:sub(66, 145) .. "\n" .. string.rep(" ", 35) .. "^" ..
        string.rep("~", 9) .. string.rep(" ", 35) },
      { "abcdefgh", -10, 5, "bad token\nabcdefgh\n~~~~~" .. string.rep(" ", 75) },
      { "abcdefgh", 50, 2, "bad token\n\n^" .. string.rep(" ", 79) },
    } do
      d:queue_answer(0, typed("jerror", case[2], case[3], "bad token"))
      assert.are.same({ n = 2, nil, case[4] }, pack(h:command(case[1])))
    end
  end)

  it("answers getfilefilter with the maps' sizes", function()
    local reply, a, b = h:command('"getfilefilter"')
    assert.are.same({ 20, 32, 32 }, { #reply, a, b })
    assert.are.equal(u32(0x12345678), reply:sub(17, 20))
  end)

  it("fails without a control port", function()
    assert.are.equal(true, acdc.unload())
    assert.are.same({ n = 3, nil, hr(0x80070006), "command(): The handle is invalid. (-2147024890)" },
      pack(h:command("x")))
  end)
end)

describe("open_worker", function()
  it("registers the process as a worker", function()
    assert.matches("^acdc%.handle", tostring(acdc.open_worker()))
    assert.are.same({ simdriver.getpid() }, d:workers())
    local c = d:commands()[1]
    assert.are.same({ '"beworker"\0', 4096 }, { c.input, c.out_size })
  end)

  it("fails when open refuses or the driver says no", function()
    assert.are.same({ n = 3, nil, -1, "ShouldExitChannel not setup:  (-1)" },
      pack(acdc.open_worker(simdriver.handle(0))))
    assert.are.equal(0, #d:commands())
    for _, answer in ipairs { { "false" }, { "", true } } do
      d:queue_answer(0, answer[1], answer[2])
      assert.are.same({ n = 3, nil, -1, "Failed to become worker:  (-1)" }, pack(acdc.open_worker()))
    end
  end)
end)

describe("program", function()
  it("sends the whole signed image and returns the driver's answer", function()
    local c = acdc.compiler
    c.clear()
    c.default()
    c.sign()
    local image = c.tostring()
    assert.are.equal(true, h:program())
    assert.are.equal(image, d:program())
    assert.are.equal(4096, d:commands()[1].out_size)
  end)
end)

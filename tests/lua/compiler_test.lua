-- The compiler table of module acdc: its Lua surface, error texts and output shapes.
-- The byte layout itself is checked field by field in tests/native/compiler_test.cpp.
local acdc = require "acdc"
local c = acdc.compiler

-- The error text of a refused call, without the caller's position.
local function failure(f)
  local ok, err = pcall(f)
  assert.is_false(ok)
  return (err:gsub("^[^\n]-:%d+: ", ""))
end

local function u32(s, offset)
  local a, b, c3, d = s:byte(offset + 1, offset + 4)
  return a + b * 0x100 + c3 * 0x10000 + d * 0x1000000
end

local function fresh()
  c.clear()
  c.default()
end

-- Runs first: the file gets a process of its own, so nothing has opened a procedure.
describe("body words before any procedure", function()
  it("are refused against a budget of 0", function()
    for _, f in ipairs { function() c.newreturn(0) end, function() c.newjump(0) end,
                         function() c.newcode(0, 0, 0, false, 0) end } do
      assert.are.equal("Max instructions for procedure: 0", failure(f))
    end
  end)
end)

-- One text per status: each limit, and the image left alone, is checked natively.
describe("refusals", function()
  it("raise the fixed texts", function()
    local cases = {
      { "Max instructions for procedure: 2", function() c.procedure(2); c.newreturn(5); c.newreturn(5); c.newjump(0) end },
      { "jump out of range: -1", function() c.procedure(1); c.newjump(-1) end },
      { "invalid action: 6", function() c.procedure(1); c.newreturn(0); c.newreturn(6) end },
      { "Max code words: 1020", function() for _ = 2, 1020 do c.procedure(0) end end },
      { "Max constants", function() for v = 1, 249 do c.constant(v) end end },
      { "Suffix list too large", function() c.suffixlist(("x"):rep(1025)) end },
      { "Max suffix_lists", function() for _, s in ipairs { "a", "b", "c", "d" } do c.suffixlist(s) end end },
      { "Sieve too large", function() c.newsieve(("x"):rep(517)) end },
      { "Max sieve", function() for _, s in ipairs { "a", "b", "c" } do c.newsieve(s) end end },
      { "bad argument #1 to 'link' (event unsupported)", function() c.link(50, 0) end },
      { "bad argument #2 to 'link' (event unsupported)", function() c.link(0, 2) end },
      { "bad argument #1 to 'psieve' (Expected table)", function() c.psieve("ab") end },
      { "bad argument #5 to 'newcode' (number expected, got no value)", function() c.newcode(1, 2, 3, true) end },
    }
    for _, case in ipairs(cases) do
      fresh()
      assert.are.equal(case[1], failure(case[2]))
    end
  end)
end)

describe("building", function()
  before_each(fresh)

  it("returns indexes and takes integers by their low 32 bits", function()
    assert.are.equal(2, c.procedure(1))
    c.newreturn(0)
    assert.are.equal(8, c.constant(7))
    assert.are.equal(8, c.constant(7 + 2 ^ 32))
    assert.are.equal(9, c.constant(-1))
    assert.are.equal(0, c.suffixlist(".exe.com"))
    assert.are.equal(1, c.suffixlist(".bat"))
    assert.are.equal(0, c.newsieve(c.psieve { "ab" }))
    c.link(acdc.EVENT_MMAP_POST, 2)
    local image = c.tostring()
    assert.are.equal(0xFFFFFFFF, u32(image, 0x30 + 4 * 9))
    assert.are.equal(2, u32(image, 0x1438 + 4 * 49))
  end)

  it("builds sieves from the strings of a table", function()
    assert.are.equal("\0\0\0\0", c.psieve({}, 3))
    assert.are.equal(c.psieve { "ab" }, c.psieve { "AB", 5, {}, true })
    assert.are.equal(c.psieve({ "abc" }, 2), c.psieve { "ab" })
    assert.are.equal(516, #c.psieve({ ("a"):rep(70) }, "wide"))
    assert.are.equal(516, #c.ssieve({ ("a"):rep(70) }, 65))
  end)
end)

describe("output", function()
  before_each(fresh)

  it("tostring is the whole image and guid its stamp", function()
    assert.are.equal(("\0"):rep(16), c.guid())
    c.sign()
    local guid, image = c.guid(), c.tostring()
    assert.are.equal(9472, #image)
    assert.are.equal('"program"', image:sub(1, 9))
    assert.are.equal(0xAC, guid:byte(1))
    assert.are.equal(guid, image:sub(17, 32))
    assert.are.equal(guid, image:sub(9457, 9472))
  end)

  it("dump writes the image's 9472 bytes to standard output, none added", function()
    -- A child interpreter dumps into a file through the shell, read back byte for
    -- byte: on Windows a text-mode stream would turn each 0x0A into two bytes.
    local lua = os.getenv("ACDC_TEST_LUA") or "lua5.2"
    local out = package.config:sub(1, 1) == "\\" and os.getenv("TEMP") .. "\\acdc-dump.bin" or os.tmpname()
    local script = "local c = require('acdc').compiler c.clear() c.default() c.constant(10) c.sign() c.dump()"
    assert.is_true(os.execute(lua .. ' -e "' .. script .. '" > ' .. out))
    local f = assert(io.open(out, "rb"))
    local dumped = f:read("*a")
    f:close()
    os.remove(out)
    c.constant(10)
    c.sign()
    assert.are.equal(c.tostring(), dumped)
  end)
end)

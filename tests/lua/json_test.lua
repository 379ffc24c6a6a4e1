-- acdc.decode: values, positioned errors, the depth limit and number conversion.
local acdc = require "acdc"

local function pack(...) return { n = select("#", ...), ... } end

-- Test names stay on one line whatever bytes the text holds.
local function name(text)
  return (text:gsub("[%c\128-\255]", function(ch) return string.format("\\%d", ch:byte()) end))
end

-- Bit-exact: tells -0 from 0 and shows the rounding of the last bit.
local function bits(x) return string.format("%a", x) end

describe("decode builds", function()
  local cases = {
    { "null", nil },
    { " true ", true },
    { "false", false },
    { "-12", -12 },
    { '"plain"', "plain" },
    { "[]", {} },
    { "{}", {} },
    { "[1,[2,3],4]", { 1, { 2, 3 }, 4 } },
    { "[[1,2],[3],[]]", { { 1, 2 }, { 3 }, {} } }, -- same() also refuses a stray index 0
    { "[1,{\"a\":[2,[3]],\"b\":4},5]", { 1, { a = { 2, { 3 } }, b = 4 }, 5 } },
    { "[null,2]", { [2] = 2 } },
    { "[1,null,null]", { 1 } },
    { '{"a":1,"a":2}', { a = 2 } },
    { '{"a":1,"a":null,"b":null}', {} },
    { '{"":0}', { [""] = 0 } },
    { ' \t\r\n[ 1 , { "k" : "v" } ]', { 1, { k = "v" } } },
    { '"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t' },
    { '"caf\195\169 \226\130\172 \240\159\152\128"', "caf\195\169 \226\130\172 \240\159\152\128" },
    { '"raw\1\9\10\127\255"', "raw\1\9\10\127\255" },
    { '{"C:\\\\Windows\\\\System32":true}', { ["C:\\Windows\\System32"] = true } },
  }
  for _, c in ipairs(cases) do
    it(name(c[1]), function()
      local r = pack(acdc.decode(c[1]))
      assert.equal(1, r.n)
      assert.same(c[2], r[1])
    end)
  end

  -- A container keeps 128 slots on the stack before it makes its table: sizes
  -- around that, nulls and repeated keys on both sides of it.
  it("wide containers", function()
    for _, n in ipairs({ 63, 64, 65, 127, 128, 129, 300 }) do
      local items, array = {}, {}
      for i = 1, n do
        items[i] = i % 7 == 0 and "null" or tostring(i)
        if i % 7 ~= 0 then array[i] = i end
      end
      assert.same(array, acdc.decode("[" .. table.concat(items, ",") .. "]"))
      local members, object = {}, {}
      for i = 1, n do
        members[i] = string.format('"k%d":%d', i, i)
        object["k" .. i] = i
      end
      members[n + 1], members[n + 2], members[n + 3] = '"k1":"last"', '"k2":null', '"k3":null'
      object.k1, object.k2, object.k3 = "last", nil, nil
      assert.same(object, acdc.decode("{" .. table.concat(members, ",") .. "}"))
    end
  end)

  it("wide containers inside wide containers", function()
    local row, rows = {}, {}
    for i = 1, 150 do row[i] = tostring(i) end
    row = "[" .. table.concat(row, ",") .. "]"
    for i = 1, 150 do rows[i] = i % 2 == 0 and row or '{"row":' .. row .. "}" end
    local t = acdc.decode("[" .. table.concat(rows, ",") .. ",7]")
    assert.same({ 151, 7 }, { #t, t[151] })
    for i = 1, 150 do
      local r = i % 2 == 0 and t[i] or t[i].row
      assert.same({ 150, 150 }, { #r, r[150] })
    end
  end)

  -- The string scanner reads eight bytes at a time: quotes, escapes and the end of
  -- the text must be found at every offset of a word.
  it("finds quotes and escapes at every offset", function()
    for len = 0, 24 do
      local plain = string.rep("x", len)
      assert.equal(plain, acdc.decode('"' .. plain .. '"'))
      for at = 0, len do
        local before, after = plain:sub(1, at), plain:sub(at + 1)
        assert.equal(before .. '"' .. after, acdc.decode('"' .. before .. '\\"' .. after .. '"'))
        assert.equal(before .. "\n" .. after, acdc.decode('["' .. before .. '\\n' .. after .. '"]')[1])
        local r = pack(acdc.decode('"' .. before))
        assert.equal(string.format("1:%d:Truncated string", at + 2), r[2])
      end
    end
  end)

  it("stops after the top-level value or at the first NUL", function()
    assert.same({ n = 1 }, pack(acdc.decode("nullx")))
    assert.same({ 1 }, acdc.decode("[1]]"))
    assert.equal(1, acdc.decode("1 2"))
    assert.equal(1, acdc.decode("1\0garbage"))
    assert.same({ nil, "1:6:Truncated string", 1, 6, n = 4 }, pack(acdc.decode('"abcd\0"')))
  end)

  it("refuses a non-string argument", function()
    assert.has_error(function() acdc.decode() end, "bad argument #1 to 'decode' (string expected, got no value)")
    assert.has_error(function() acdc.decode({}) end, "bad argument #1 to 'decode' (string expected, got table)")
  end)
end)

describe("decode reports", function()
  -- Token start is the last token read, current the byte where reading stopped.
  local cases = {
    { "", 1, 1, "Expected a value" },
    { "   ", 1, 4, "Expected a value" },
    { "]", 1, 2, "Expected a value" },
    { "[1,]", 4, 5, "Expected array value" },
    { "[,", 2, 3, "Expected value or ']'" },
    { "[1 2]", 4, 5, "Expected ',' or ']'" },
    { "[1", 2, 3, "Expected ',' or ']'" },
    { "{1:2}", 2, 3, "Expected key or '}'" },
    { '{"a":1,}', 8, 9, "Expected key" },
    { '{"a" 1}', 6, 7, "Expected ':'" },
    { '{"a":}', 6, 7, "Expected object value" },
    { '{"a":1]', 7, 8, "Expected ',' or '}'" },
    { "[1, x]", 3, 5, "Expected value" },
    { "[tru]", 1, 5, "Expected value" },
    { "nul", 1, 4, "Expected value" },
    { "[\1]", 1, 2, "Expected value" },
    { '"abc', 1, 5, "Truncated string" },
    { '"abc\\', 1, 6, "Truncated string" },
    { "[-]", 1, 3, "Negative without number" },
    { "012", 1, 2, "Leading zero" },
    { "[-012]", 1, 4, "Leading zero" },
    { '[1,"a\\u0041"]', 4, 13, "Unicode unsupported" },
    { '{"\\q":1}', 2, 6, "Unsupported escape" },
  }
  for _, c in ipairs(cases) do
    local text, ts, cur, message = c[1], c[2], c[3], c[4]
    it(message .. " for " .. name(text), function()
      assert.same({ nil, string.format("%d:%d:%s", ts, cur, message), ts, cur, n = 4 }, pack(acdc.decode(text)))
    end)
  end
end)

describe("decode nesting", function()
  local function arrays(n) return string.rep("[", n) .. string.rep("]", n) end
  local function objects(n) return string.rep('{"k":', n - 1) .. "{}" .. string.rep("}", n - 1) end

  it("takes 64 levels of arrays and of objects", function()
    local t = acdc.decode(arrays(64))
    for _ = 1, 63 do t = t[1] end
    assert.same({}, t)
    t = acdc.decode(objects(64))
    for _ = 1, 63 do t = t.k end
    assert.same({}, t)
  end)

  it("refuses the 65th level where it opens", function()
    assert.same({ nil, "65:66:Max structure depth reached", 65, 66, n = 4 }, pack(acdc.decode(arrays(65))))
    local deep = objects(65)
    local at = #string.rep('{"k":', 64) + 1
    assert.same({ nil, string.format("%d:%d:Max structure depth reached", at, at + 1), at, at + 1, n = 4 },
      pack(acdc.decode(deep)))
  end)

  it("keeps array counts apart at every level", function()
    local text = "[" .. string.rep("1,[", 63) .. "2" .. string.rep("],3", 63) .. "]"
    local t = acdc.decode(text)
    for _ = 1, 63 do
      assert.same({ 3, 1, 3 }, { #t, t[1], t[3] })
      t = t[2]
    end
    assert.same({ 2 }, t)
  end)
end)

describe("decode numbers", function()
  local cases = {
    { "0", 0 }, { "-0", -0.0 }, { "-0.0e5", -0.0 }, { "1.", 1 }, { "1.e2", 100 },
    { "1e", 0 }, { "1e+", 0 }, { "1-2", 0 }, { "1.2.3", 0 }, { "2e3e4", 0 },
    { "0.1", 0.1 }, { "123.456e-7", 123.456e-7 }, { "9007199254740993", 9007199254740993 },
    { "12345678901234567890123", 1.2345678901234568e22 }, { "1e400", math.huge },
    { "-1e400", -math.huge }, { "5e-324", 5e-324 }, { "1e-400", 0 },
    { "1.7976931348623157e308", 1.7976931348623157e308 }, { "0.000000000000000000001", 1e-21 },
  }
  for _, c in ipairs(cases) do
    it(c[1], function() assert.equal(bits(c[2]), bits(acdc.decode(c[1]))) end)
  end

  -- The fast path must agree with the host's own conversion, and a token the host
  -- cannot read must give 0.
  it("agree with tonumber on generated tokens", function()
    math.randomseed(1234)
    local function digits(n, first)
      local t = { first and tostring(math.random(1, 9)) or "" }
      for i = #t[1] + 1, n do t[i] = tostring(math.random(0, 9)) end
      return table.concat(t)
    end
    local pieces = { ".", "e", "E", "+", "-", "e-", "e+" }
    for _ = 1, 20000 do
      local tok = (math.random(2) == 1 and "-" or "") .. digits(math.random(1, 22), true)
      if math.random(3) == 1 then tok = tok .. "." .. digits(math.random(0, 20)) end
      if math.random(3) == 1 then tok = tok .. "e" .. ({ "", "-", "+" })[math.random(3)] .. math.random(0, 330) end
      if math.random(20) == 1 then tok = tok .. pieces[math.random(#pieces)] .. digits(math.random(0, 3)) end
      assert.equal(bits(tonumber(tok) or 0), bits(acdc.decode(tok)), tok)
    end
  end)
end)

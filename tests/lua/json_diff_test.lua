-- acdc.decode against lua-cjson on generated documents. The generator writes its own
-- text: it must stay inside what both decoders accept (no \u, no leading zeros, at
-- most 64 levels), and it gives raw UTF-8, escapes, long strings, numbers at the ends
-- of the double range, wide containers and nesting near the limit.
local acdc = require "acdc"
local cjson = require "cjson"

local random = math.random

local function pick(list) return list[random(#list)] end

local function space()
  return random(4) == 1 and pick({ " ", "\n", "\t", "\r\n  " }) or ""
end

local function digits(n)
  local t = {}
  for i = 1, n do t[i] = random(0, 9) end
  return table.concat(t)
end

local function number()
  local int = random(5) == 1 and "0" or random(1, 9) .. digits(random(0, pick({ 3, 8, 17, 25 })))
  local text = (random(3) == 1 and "-" or "") .. int
  if random(2) == 1 then text = text .. "." .. digits(random(1, pick({ 2, 6, 20 }))) end
  local form = random(6)
  if form == 1 then
    text = text .. pick({ "e", "E" }) .. pick({ "", "+", "-" }) .. random(0, 30)
  elseif form == 2 then  -- near overflow, underflow and the subnormals
    text = text .. pick({ "e", "E" }) .. pick({ "", "-" }) .. random(280, 330)
  end
  return text
end

local utf8 = { "\195\169", "\206\187", "\226\130\172", "\230\151\165", "\240\159\152\128", "\240\144\141\136" }
local escapes = { '\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t" }

local function string_token()
  local n = random(40) == 1 and random(100, 5000) or random(0, 16)
  local t = { '"' }
  for i = 2, n + 1 do
    local r = random(20)
    if r == 1 then
      t[i] = pick(escapes)
    elseif r <= 3 then
      t[i] = pick(utf8)
    else
      local c = random(32, 126)
      t[i] = (c == 34 or c == 92) and "x" or string.char(c)
    end
  end
  t[#t + 1] = '"'
  return table.concat(t)
end

local scalars = {
  function() return "null" end,
  function() return "true" end,
  function() return "false" end,
  number, number, string_token, string_token,
}

local function value(depth, limit)
  local r = random(10)
  if depth >= limit or r <= 4 then return pick(scalars)() end
  local items = {}
  -- Wide ones cross the 128 stack slots at which a container makes its table.
  local n = depth == 1 and random(60) == 1 and random(60, 200) or depth < 2 and random(0, 8) or random(0, 3)
  if r <= 7 then
    for i = 1, n do items[i] = space() .. value(depth + 1, limit) .. space() end
    return "[" .. table.concat(items, ",") .. "]"
  end
  for i = 1, n do
    items[i] = space() .. string_token() .. space() .. ":" .. space() .. value(depth + 1, limit) .. space()
  end
  return "{" .. table.concat(items, ",") .. "}"
end

-- A chain of containers down to the limit, with a document hanging off the bottom.
local function deep(levels)
  local open, close = {}, {}
  for i = 1, levels do
    if random(2) == 1 then
      open[i], close[levels + 1 - i] = "[" .. number() .. ",", "]"
    else
      open[i], close[levels + 1 - i] = "{" .. string_token() .. ":", "}"
    end
  end
  return table.concat(open) .. value(levels, 64) .. table.concat(close)
end

-- cjson keeps null as cjson.null; acdc leaves it out.
local function same(a, b, path)
  if b == cjson.null then b = nil end
  if type(a) ~= type(b) then return false, path .. ": " .. type(a) .. " vs " .. type(b) end
  if type(a) == "number" then
    local x, y = string.format("%a", a), string.format("%a", b)
    return x == y, path .. ": " .. x .. " vs " .. y
  end
  if type(a) ~= "table" then return a == b, path end
  for k, v in pairs(a) do
    local ok, where = same(v, b[k], path .. "." .. tostring(k))
    if not ok then return false, where end
  end
  for k, v in pairs(b) do
    if v ~= cjson.null and a[k] == nil then return false, path .. "." .. tostring(k) .. " missing" end
  end
  return true
end

describe("decode agrees with cjson", function()
  it("on 3000 generated documents", function()
    math.randomseed(20240607)
    for i = 1, 3000 do
      local text = i % 10 == 0 and deep(random(56, 63)) or space() .. value(0, random(1, 12)) .. space()
      local mine = { acdc.decode(text) }
      assert.is_nil(mine[2], mine[2])
      local ok, where = same(mine[1], cjson.decode(text), "$")
      assert(ok, string.format("document %d differs at %s:\n%s", i, tostring(where), text:sub(1, 400)))
    end
  end)
end)

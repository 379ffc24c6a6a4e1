-- Decode throughput of acdc.decode beside lua-cjson (C) and dkjson (pure Lua), on
-- three corpora: driver command replies, one large array of small objects, and
-- string-heavy documents. Run from the repository root by bench/run:
--   LUA_CPATH="build-bench/lua/?.so;;" lua5.2 bench/json_bench.lua
-- Prints one FIGURE line per corpus and baseline; higher MB/s is better.
local acdc = require "acdc"
local cjson = require "cjson"
local dkjson = require "dkjson"

math.randomseed(7)
local random = math.random

local function pick(list) return list[random(#list)] end

local function hex(n)
  local t = {}
  for i = 1, n do t[i] = string.format("%x", random(0, 15)) end
  return table.concat(t)
end

local images = {
  [[C:\\Windows\\System32\\svchost.exe]], [[C:\\Program Files\\Halvex\\agent.exe]],
  [[C:\\Windows\\explorer.exe]], [[C:\\Users\\build\\AppData\\Local\\Temp\\setup.exe]],
  [[C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe]],
}

-- The shapes the driver answers commands with: a bare true for "beworker", status
-- and counter objects, filter lists.
local function reply()
  local kind = random(4)
  if kind == 1 then return "true" end
  if kind == 2 then
    return string.format(
      '{"status":0,"version":"3.%d.%d","workers":[%d,%d,%d],"mode":{"lockdown":%s,"maintenance":%s},"loaded":true}',
      random(0, 9), random(0, 99), random(100, 9999), random(100, 9999), random(100, 9999),
      pick({ "true", "false" }), pick({ "true", "false" }))
  end
  if kind == 3 then
    local t = {}
    for i, name in ipairs({ "events", "replies", "timeouts", "dropped", "commands", "bytes" }) do
      t[i] = string.format('"%s":%d', name, random(0, 2 ^ 31))
    end
    return '{"counters":{' .. table.concat(t, ",") .. '},"uptime":' .. random(1, 1e6) / 7 .. "}"
  end
  local t = {}
  for i = 1, random(3, 12) do
    t[i] = string.format('{"path":"%s","mask":%d,"flags":%d,"id":"%s"}', pick(images), random(0, 65535),
      random(0, 7), hex(16))
  end
  return '{"filters":[' .. table.concat(t, ",") .. '],"generation":' .. random(1, 1000) .. "}"
end

local function objects(n)
  local t = {}
  for i = 1, n do
    t[i] = string.format('{"pid":%d,"ppid":%d,"image":"%s","verdict":%d,"cached":%s,"score":%.3f,"hash":"%s"}',
      random(4, 65535), random(4, 65535), pick(images), random(0, 5), pick({ "true", "false" }),
      random() * 100, hex(32))
  end
  return "[" .. table.concat(t, ",\n") .. "]"
end

local words = { "the", "policy", "blocked", "an", "execution", "of", "setup", "from", "temp", "caf\195\169",
  "\226\130\172", "trusted", "installer", "service", "drift", "cache" }
local escapes = { [[\n]], [[\t]], [[\"]], [[\\]], [[\/]] }

local function text(n)
  local t = {}
  for i = 1, n do t[i] = random(40) == 1 and pick(escapes) or pick(words) .. " " end
  return table.concat(t)
end

local function strings(n)
  local t = {}
  for i = 1, n do
    t[i] = string.format('{"title":"%s","body":"%s","note":"%s"}', text(random(2, 8)), text(random(100, 800)),
      text(random(5, 40)))
  end
  return "[" .. table.concat(t, ",") .. "]"
end

local replies = {}
for i = 1, 400 do replies[i] = reply() end

local corpora = {
  { name = "replies", docs = replies },
  { name = "objects", docs = { objects(20000) } },
  { name = "strings", docs = { strings(300) } },
}

local function bytes(docs)
  local n = 0
  for _, d in ipairs(docs) do n = n + #d end
  return n
end

-- One round: decodes the corpus over and over for at least a quarter second, after a
-- full collection so that no decoder pays for another's garbage.
local function rate(decode, docs)
  local size = bytes(docs)
  collectgarbage()
  local runs, start, elapsed = 0, os.clock(), 0
  repeat
    for i = 1, #docs do decode(docs[i]) end
    runs = runs + 1
    elapsed = os.clock() - start
  until elapsed >= 0.25
  return runs * size / elapsed / 1e6
end

local decoders = {
  { name = "acdc", decode = acdc.decode },
  { name = "cjson", decode = cjson.decode, goal = " (goal >= 1.0x)" },
  { name = "dkjson", decode = dkjson.decode, goal = "" },
}

-- The rounds of the three decoders alternate and each keeps its best, so that a busy
-- moment on a shared machine does not land on one decoder only.
for _, corpus in ipairs(corpora) do
  for _, d in ipairs(corpus.docs) do assert(acdc.decode(d) ~= nil, "acdc cannot decode the corpus " .. corpus.name) end
  local best = {}
  for _ = 1, 3 do
    for _, d in ipairs(decoders) do best[d.name] = math.max(best[d.name] or 0, rate(d.decode, corpus.docs)) end
  end
  for i = 2, #decoders do
    local base = decoders[i]
    print(string.format("FIGURE json_decode_%s_vs_%s\t%.1f MB/s\t%.1f MB/s\t%.2fx\thigher is better%s", corpus.name,
      base.name, best.acdc, best[base.name], best.acdc / best[base.name], base.goal))
  end
end

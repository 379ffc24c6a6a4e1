-- The agent's run report, as text for people and as JSON for tools.
--
-- Both renderings take the same table, so the figures cannot drift apart:
--   source      {kind = "generated", seed, events} or {kind = "replay", file, lines, records, malformed}
--   events      events dispatched
--   dispatch_errors  calls to AbstractEvent that raised
--   by_type     event name -> count;  by_op  CSV op -> count
--   results     dispatch result ("0", "1", "11", ...) -> count
--   replies     reply name or "none" -> count: the replies the library chose
--   verdicts    reply name -> count: the reply each event got, the library's or,
--               for result 0, the policy's
--   decided_natively  {events, share}: events with a reply chosen by the library
--   cache       {lookups, hits, hit_rate, stored, removed}: the execution cache over
--               the run, and the verdicts the policy stored and removed
--   files       {drive_c, files, folders, found, conflicts}: what was made under
--               drive C, and the files found there already (only with --drive-c)
--   counters    counter name -> difference over the run
--   timing      cpu_seconds, source_cpu_seconds, files_cpu_seconds, dispatch_cpu_seconds, wall_seconds,
--               wall_clock (its source), events_per_cpu_second,
--               events_per_dispatch_cpu_second, events_per_wall_second (nil when
--               the time is 0)

local format, concat, sort = string.format, table.concat, table.sort

local report = {}

-- JSON ---------------------------------------------------------------------------

local ESCAPES = { ['"'] = '\\"', ["\\"] = "\\\\", ["\b"] = "\\b", ["\f"] = "\\f",
  ["\n"] = "\\n", ["\r"] = "\\r", ["\t"] = "\\t" }

local function escape_char(c)
  return ESCAPES[c] or format("\\u%04x", c:byte())
end

-- JSON text must be UTF-8, but file names and paths from a CSV file are bytes:
-- a byte that does not start a well-formed sequence becomes U+FFFD.
local function valid_utf8(s)
  if not s:find("[\128-\255]") then return s end
  local out, i, n = {}, 1, #s
  while i <= n do
    local c = s:byte(i)
    local len = c < 0x80 and 1 or c >= 0xC2 and c <= 0xDF and 2 or c >= 0xE0 and c <= 0xEF and 3
      or c >= 0xF0 and c <= 0xF4 and 4 or 0
    local ok = len > 0 and i + len - 1 <= n
    if ok and len > 1 then
      local c2 = s:byte(i + 1)
      -- The second byte's range excludes overlong forms, surrogates and code
      -- points past U+10FFFF.
      local lo = (c == 0xE0 and 0xA0) or (c == 0xF0 and 0x90) or 0x80
      local hi = (c == 0xED and 0x9F) or (c == 0xF4 and 0x8F) or 0xBF
      ok = c2 >= lo and c2 <= hi
      for k = i + 2, i + len - 1 do
        local ck = s:byte(k)
        ok = ok and ck >= 0x80 and ck <= 0xBF
      end
    end
    if ok then
      out[#out + 1] = s:sub(i, i + len - 1)
      i = i + len
    else
      out[#out + 1] = "\239\191\189"
      i = i + 1
    end
  end
  return concat(out)
end

local function encode_string(s)
  return '"' .. valid_utf8(s):gsub('[%c"\\]', escape_char) .. '"'
end

local function encode_number(x)
  if x ~= x or x == math.huge or x == -math.huge then return "null" end
  if x == math.floor(x) and math.abs(x) < 2 ^ 53 then return format("%d", x) end
  return format("%.9g", x)
end

-- A table with keys 1..n (n > 0) and nothing else is an array; any other table is
-- an object with its keys sorted, so that equal reports give equal text.
local function is_array(t)
  local n = #t
  if n == 0 then return false end
  local count = 0
  for _ in pairs(t) do count = count + 1 end
  return count == n
end

local encode

local function encode_table(t, indent, seen)
  if seen[t] then error("cannot encode a table that contains itself", 0) end
  seen[t] = true
  local inner = indent .. "  "
  local parts = {}
  if is_array(t) then
    for i = 1, #t do parts[i] = inner .. encode(t[i], inner, seen) end
    seen[t] = nil
    return "[\n" .. concat(parts, ",\n") .. "\n" .. indent .. "]"
  end
  local keys = {}
  for k in pairs(t) do keys[#keys + 1] = { tostring(k), k } end
  sort(keys, function(a, b) return a[1] < b[1] end)
  for i, k in ipairs(keys) do
    parts[i] = inner .. encode_string(k[1]) .. ": " .. encode(t[k[2]], inner, seen)
  end
  seen[t] = nil
  if #parts == 0 then return "{}" end
  return "{\n" .. concat(parts, ",\n") .. "\n" .. indent .. "}"
end

function encode(v, indent, seen)
  local kind = type(v)
  if kind == "string" then return encode_string(v) end
  if kind == "number" then return encode_number(v) end
  if kind == "boolean" then return tostring(v) end
  if kind == "nil" then return "null" end
  if kind == "table" then return encode_table(v, indent, seen) end
  error("cannot encode a " .. kind .. " as JSON", 0)
end

-- Any Lua value made of tables, strings, numbers and booleans -> JSON text.
function report.json_encode(v)
  return encode(v, "", {})
end

function report.json(r)
  return report.json_encode(r) .. "\n"
end

-- Text ---------------------------------------------------------------------------

local function thousands(n)
  local sign, digits = format("%d", n):match("^(-?)(%d+)$")
  local head = (#digits - 1) % 3 + 1
  return sign .. digits:sub(1, head) .. digits:sub(head + 1):gsub("%d%d%d", ",%0")
end

-- Entries of a count table, largest first, ties by name.
local function by_count(t)
  local list = {}
  for k, v in pairs(t) do list[#list + 1] = { k, v } end
  sort(list, function(a, b)
    if a[2] ~= b[2] then return a[2] > b[2] end
    return tostring(a[1]) < tostring(b[1])
  end)
  return list
end

local function count_lines(out, title, list, total)
  out[#out + 1] = title
  for _, e in ipairs(list) do
    local share = total > 0 and format("%6.1f%%", 100 * e[2] / total) or ""
    out[#out + 1] = format("  %-28s %12s %s", e[1], thousands(e[2]), share)
  end
end

local RESULT_MEANING = { ["0"] = "Lua decides", ["1"] = "replied natively, Lua told",
  ["11"] = "replied natively, finished" }

local function rate(per_second)
  if not per_second then return "-" end
  return thousands(math.floor(per_second + 0.5)) .. " events/s"
end

function report.text(r)
  local out = {}
  local src = r.source
  if src.kind == "generated" then
    out[1] = format("source: generated workload, seed %d, %s events", src.seed, thousands(src.events))
  else
    out[1] = format("source: replay of %s: %s records on %s lines, %s malformed lines skipped",
      src.file, thousands(src.records), thousands(src.lines), thousands(src.malformed))
  end
  out[#out + 1] = format("events dispatched: %s%s", thousands(r.events),
    r.dispatch_errors > 0 and format(" (%s calls raised an error)", thousands(r.dispatch_errors)) or "")
  out[#out + 1] = ""
  count_lines(out, "events by type", by_count(r.by_type), r.events)
  out[#out + 1] = ""
  count_lines(out, "input rows by op", by_count(r.by_op), r.events)
  out[#out + 1] = ""

  out[#out + 1] = "dispatch results"
  local results = {}
  for k in pairs(r.results) do results[#results + 1] = k end
  sort(results, function(a, b) return tonumber(a) < tonumber(b) end)
  for _, k in ipairs(results) do
    out[#out + 1] = format("  %-3s %-26s %12s", k, RESULT_MEANING[k] or "", thousands(r.results[k]))
  end
  out[#out + 1] = ""
  count_lines(out, "replies chosen by the library", by_count(r.replies), r.events)
  out[#out + 1] = ""
  out[#out + 1] = format("decided natively: %s of %s events (%.2f%%)", thousands(r.decided_natively.events),
    thousands(r.events), 100 * r.decided_natively.share)
  out[#out + 1] = ""
  count_lines(out, "verdicts (the reply each event got, from the library or the policy)", by_count(r.verdicts),
    r.events)
  out[#out + 1] = ""
  local c = r.cache
  out[#out + 1] = format("execution cache: %s lookups, %.1f%% hits; the policy stored %s verdicts and removed %s",
    thousands(c.lookups), 100 * c.hit_rate, thousands(c.stored), thousands(c.removed))
  if r.files then
    out[#out + 1] = format("files under drive C (%s): %s files and %s folders made, %s files there already%s",
      r.files.drive_c, thousands(r.files.files), thousands(r.files.folders), thousands(r.files.found),
      r.files.conflicts > 0 and format(", %s paths that could not be made", thousands(r.files.conflicts)) or "")
  end
  out[#out + 1] = ""

  local names, total = {}, 0
  for name, delta in pairs(r.counters) do
    total = total + 1
    if delta ~= 0 then names[#names + 1] = name end
  end
  sort(names)
  out[#out + 1] = format("EventAbstractionStats, difference over the run (%d of %d counters changed; "
    .. "the JSON report has all)", #names, total)
  for _, name in ipairs(names) do
    out[#out + 1] = format("  %-28s %12s", name, thousands(r.counters[name]))
  end
  out[#out + 1] = ""

  local t = r.timing
  out[#out + 1] = "rate (CPU time from os.clock, this process only)"
  out[#out + 1] = format("  dispatch  %8.3f s  %s  (building event tables and calling AbstractEvent)",
    t.dispatch_cpu_seconds, rate(t.events_per_dispatch_cpu_second))
  if r.files then
    out[#out + 1] = format("  files     %8.3f s  (making the files under drive C, and the folders' shell calls)",
      t.files_cpu_seconds)
  end
  out[#out + 1] = format("  overall   %8.3f s  %s  (with %s)", t.cpu_seconds, rate(t.events_per_cpu_second),
    src.kind == "generated" and "generating the workload" or "reading and checking the CSV file")
  out[#out + 1] = format("  wall      %8.3f s  %s  (wall clock from %s)", t.wall_seconds,
    rate(t.events_per_wall_second), t.wall_clock)
  return concat(out, "\n") .. "\n"
end

return report

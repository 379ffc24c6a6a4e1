-- Reference agent: feeds Windows endpoint activity to acdc.AbstractEvent and
-- reports what the library decided.
--
--   lua5.2 examples/agent.lua [--events N] [--seed N] [--replay FILE] [--drive-c DIR]
--                             [--json FILE] [--save FILE]
--
-- The activity is a synthetic workload (workload.lua) or a recording in the
-- workload CSV format (csv.lua). Each row becomes one event:
--
--   CSV op      event                     fields set besides type
--   ----------  ------------------------  ---------------------------------------------
--   exec        EVENT_EXEC_PRE (18)       rlpath = path (new image), procName = image (parent)
--   load        EVENT_CREATE_PRE (10)     rlpath = path, procName = image; an image load
--                                         opens the module for execution
--   create      EVENT_CREATE_POST (11)    dirty = 1, rlpath = path, procName = image
--   stream      EVENT_CREATE_POST (11)    dirty = 1, rlpath = path, procName = image
--   open_write  EVENT_CLEANUP_PRE (12)    dirty = 1, rlpath = path, procName = image; the last
--                                         handle of a written file closes
--   exit        EVENT_CLEANUP_PRE (12)    dirty = 0, rlpath = image, procName = image; the
--                                         image's last handle closes with its process
--   delete      EVENT_UNLINK_POST (45)    rlpath = path, procName = image
--   settime     EVENT_SETINFO_PRE (14)    rlpath = path, procName = image
--   setsec      EVENT_SETSECURITY_PRE (16) rlpath = path, procName = image
--   rename      EVENT_RENAME_POST (35)    rlpath = new_path, procName = image
--
-- Any other op, a wrong field count, bad quoting, a time_ms, pid or ppid that is
-- not a decimal number, a rename without new_path, or a path longer than the
-- library accepts makes the row malformed: it is reported on stderr with its line
-- number and skipped. An empty image or path leaves that field out.
--
-- With --drive-c DIR, the folder behind the library's drive C, the agent first
-- creates the files its events name there (drive_c.lua), so that the library finds
-- what it looks up; they stay for later runs. Its policy (policy.lua) decides what
-- the library hands to Lua: executions and script opens get a verdict, stored with
-- AddToCache; a path that is created, written, renamed or deleted loses its verdict.

-- The modules live beside this script and the library in <repo>/build/lua, wherever
-- the agent is started from; both go before the default paths, so that a module of
-- the same name installed elsewhere cannot stand in for them.
local script_dir = debug.getinfo(1, "S").source:match("^@(.*)[/\\]") or "."
package.path = script_dir .. "/?.lua;" .. package.path
package.cpath = script_dir .. "/../build/lua/?.so;" .. package.cpath

local csv = require "csv"
local drive = require "drive_c"
local policy = require "policy"
local report = require "report"
local workload = require "workload"

local format = string.format

local USAGE = [[
usage: lua5.2 examples/agent.lua [options]

Feeds Windows endpoint activity to acdc.AbstractEvent and reports events by
type, dispatch results, replies, the library's counters and the event rate.

  --events N     number of events to generate (default %d); with --replay,
                 stop after N rows
  --seed N       seed of the generated workload (default 1); equal seeds give
                 equal workloads
  --replay FILE  replay a CSV file (header time_ms,op,pid,ppid,image,path,
                 new_path,cmdline) as fast as possible instead of generating
  --drive-c DIR  the folder behind the library's drive C: the files the events
                 name are made there (and kept for later runs)
  --json FILE    also write the report to FILE as JSON
  --save FILE    also write the generated workload to FILE as CSV, for --replay
  -h, --help     show this help

Malformed CSV rows are reported on stderr with their line number and skipped.
Progress goes to stderr when stderr is a terminal.
]]

-- Calibrated to a few seconds of CPU time per run on a developer machine.
local DEFAULT_EVENTS = 500000

-- The library refuses longer paths.
local MAX_PATH_BYTES = 4095

-- Events are generated or read in batches and then dispatched, so that the two
-- kinds of work can be timed apart with few clock reads.
local BATCH = 4096

local function fail(status, message)
  io.stderr:write("agent: ", message, "\n")
  os.exit(status)
end

-- Options --------------------------------------------------------------------------

local function whole_number(text, name, min)
  local n = tonumber(text)
  if not text:find("^%d+$") or not n or n < min or n >= 2 ^ 53 then
    fail(2, format("%s wants a whole number of at least %d, got '%s'", name, min, text))
  end
  return n
end

local function parse_args(argv)
  local opts = { events = nil, seed = 1 }
  local takes_value = { ["--events"] = true, ["--seed"] = true, ["--replay"] = true,
    ["--json"] = true, ["--save"] = true, ["--drive-c"] = true }
  local i = 1
  while i <= #argv do
    local name, value = argv[i], nil
    local eq = name:find("=", 1, true)
    if eq and name:sub(1, 2) == "--" then
      name, value = name:sub(1, eq - 1), name:sub(eq + 1)
    end
    if name == "-h" or name == "--help" then
      io.stdout:write(format(USAGE, DEFAULT_EVENTS))
      os.exit(0)
    elseif not takes_value[name] then
      fail(2, format("unknown option '%s' (try --help)", argv[i]))
    end
    if not value then
      i = i + 1
      value = argv[i]
      if not value then fail(2, name .. " needs a value") end
    end
    if name == "--events" then opts.events = whole_number(value, name, 1)
    elseif name == "--seed" then opts.seed = whole_number(value, name, 0)
    elseif name == "--drive-c" then opts.drive_c = value
    else opts[name:sub(3)] = value end
    i = i + 1
  end
  if opts.replay and opts.save then fail(2, "--save writes a generated workload; it does not go with --replay") end
  return opts
end

-- Mapping --------------------------------------------------------------------------

local COLUMNS = { "time_ms", "op", "pid", "ppid", "image", "path", "new_path", "cmdline" }
local HEADER = table.concat(COLUMNS, ",")

-- CSV op -> event name in acdc.event, dirty flag, and the column that becomes rlpath.
local MAPPING = {
  exec = { "exec_pre", nil, 6 },
  load = { "create_pre", nil, 6 },
  create = { "create_post", 1, 6 },
  stream = { "create_post", 1, 6 },
  open_write = { "cleanup_pre", 1, 6 },
  exit = { "cleanup_pre", 0, 5 },
  delete = { "unlink_post", nil, 6 },
  settime = { "setinfo_pre", nil, 6 },
  setsec = { "setsecurity_pre", nil, 6 },
  rename = { "rename_post", nil, 7 },
}

-- op -> {type, dirty, rlpath column}, with the type numbers the module defines.
local function resolve_mapping(acdc)
  local ops = {}
  for op, m in pairs(MAPPING) do
    local t = acdc.event[m[1]]
    if type(t) ~= "number" then fail(1, format("module acdc defines no event '%s'", m[1])) end
    ops[op] = { type = t, dirty = m[2], column = m[3] }
  end
  return ops
end

local function shown(value)
  value = value:gsub("%c", "?")
  if #value > 40 then value = value:sub(1, 37) .. "..." end
  return "'" .. value .. "'"
end

-- A CSV row -> mapping, or nil and why the row is malformed.
local function check_row(ops, f)
  if #f ~= 8 then return nil, format("expected 8 fields, found %d", #f) end
  if not f[1]:find("^%d+$") then return nil, "time_ms is not a whole number: " .. shown(f[1]) end
  if not f[3]:find("^%d*$") then return nil, "pid is not a whole number: " .. shown(f[3]) end
  if not f[4]:find("^%d*$") then return nil, "ppid is not a whole number: " .. shown(f[4]) end
  local m = ops[f[2]]
  if not m then return nil, "unknown op " .. shown(f[2]) end
  if m.column == 7 and f[7] == "" then return nil, "rename without new_path" end
  for _, column in ipairs { 5, m.column } do
    if #f[column] > MAX_PATH_BYTES then
      return nil, format("%s longer than %d bytes", COLUMNS[column], MAX_PATH_BYTES)
    end
  end
  return m
end

-- Sources ----------------------------------------------------------------------------
-- A source fills a batch: parallel arrays of mapping, rlpath, procName, op and
-- input line (the event's number for a generated workload), and returns how many
-- events it put there (0 at the end). `src` describes the source in the report.

local function replay_source(ops, file, limit, progress, src)
  local reader = csv.reader(file)
  src.lines, src.records, src.malformed = 0, 0, 0
  local function malformed(line, why)
    src.malformed = src.malformed + 1
    progress:note(format("line %d: malformed, skipped: %s", line, why))
  end
  return function(b)
    local n = 0
    while n < BATCH and src.records < limit do
      local line, fields, err = reader:next()
      if not line then break end
      src.lines = reader:lines_read()
      if not fields then
        src.records = src.records + 1
        malformed(line, err)
      elseif line > 1 or table.concat(fields, ",") ~= HEADER then
        src.records = src.records + 1
        local m, why = check_row(ops, fields)
        if m then
          n = n + 1
          b.map[n], b.rlpath[n], b.procName[n] = m, fields[m.column], fields[5]
          b.op[n], b.line[n] = fields[2], line
          b.oldpath[n] = m.column == 7 and fields[6] or ""
        else
          malformed(line, why)
        end
      end
    end
    return n
  end
end

local function generated_source(ops, seed, count, save)
  local gen = workload.new(seed)
  local left = count
  return function(b)
    local n = 0
    while n < BATCH and left > 0 do
      local time_ms, op, pid, ppid, image, path, new_path, cmdline = gen:next()
      local m = ops[op]
      n = n + 1
      left = left - 1
      b.map[n], b.procName[n], b.op[n], b.line[n] = m, image, op, count - left
      b.rlpath[n] = m.column == 6 and path or m.column == 5 and image or new_path
      b.oldpath[n] = m.column == 7 and path or ""
      if save then
        save:write(csv.format_record { time_ms, op, pid, ppid, image, path, new_path, cmdline })
      end
    end
    return n
  end
end

local function open_or_fail(path)
  local file, err = io.open(path, "wb")
  if not file then fail(1, err) end
  return file
end

-- -> source, its description for the report, and the file the workload is saved to.
local function open_source(opts, ops, progress)
  if opts.replay then
    local file, err = io.open(opts.replay, "rb")
    if not file then fail(1, err) end
    local src = { kind = "replay", file = opts.replay }
    return replay_source(ops, file, opts.events or math.huge, progress, src), src
  end
  local events = opts.events or DEFAULT_EVENTS
  local save = opts.save and open_or_fail(opts.save)
  if save then save:write(HEADER, "\r\n") end
  local src = { kind = "generated", seed = opts.seed, events = events }
  return generated_source(ops, opts.seed, events, save), src, save
end

-- Clocks and progress ------------------------------------------------------------------

-- os.time counts whole seconds; GNU date gives the wall clock to the nanosecond
-- for the cost of one process at each end of the run.
local function wall_clock()
  local p = io.popen("date +%s.%N 2>/dev/null")
  local text = p and p:read("*l")
  if p then p:close() end
  local t = text and text:find("^%d+%.%d+$") and tonumber(text)
  if t then return t, "date +%s.%N" end
  return os.time(), "os.time, 1 s resolution"
end

-- Lua has no isatty; the shell's test(1) asks on the descriptor it inherits from
-- us. It runs once, at start.
local function stderr_is_terminal()
  local ok = os.execute("test -t 2")
  return ok == true or ok == 0
end

-- A progress line on stderr, rewritten in place, for terminals only; notes such
-- as malformed lines go on lines of their own, in any case.
local Progress = {}
Progress.__index = Progress

function Progress.new(enabled)
  return setmetatable({ enabled = enabled, shown = false, last = os.clock() }, Progress)
end

function Progress:update(now, text)
  if not self.enabled or now - self.last < 0.25 then return end
  self.last, self.shown = now, true
  io.stderr:write("\r", text)
end

function Progress:clear()
  if self.shown then io.stderr:write("\r\27[K") end
  self.shown = false
end

function Progress:note(message)
  self:clear()
  io.stderr:write(message, "\n")
end

-- The run -----------------------------------------------------------------------------

local function count(t, key)
  t[key] = (t[key] or 0) + 1
end

-- Builds each event table and hands it to the library; what the library leaves to
-- Lua goes to the policy, and every change to a path goes to it too. A call that
-- raises is reported and counted, never fatal: the report must show what happened.
local function dispatch(b, n, tally, abstract_event, pol, progress, unit)
  local map, rlpath, procName = b.map, b.rlpath, b.procName
  for i = 1, n do
    local m = map[i]
    local ev = { type = m.type, dirty = m.dirty }
    local path, image = rlpath[i], procName[i]
    if path ~= "" then ev.rlpath = path end
    if image ~= "" then ev.procName = image end
    local ok, result, reply = pcall(abstract_event, ev)
    if ok then
      tally.events = tally.events + 1
      count(tally.types, m.type)
      count(tally.results, tostring(result))
      count(tally.replies, reply or "none")
      count(tally.ops, b.op[i])
      -- The verdict the driver gets: the library's reply, or the policy's when the
      -- library left the event to Lua.
      if result == 0 then reply = pol:decide(m.type, ev.rlpath) end
      count(tally.verdicts, reply)
      pol:observe(m.type, m.dirty, ev.rlpath, b.oldpath[i])
    else
      tally.errors = tally.errors + 1
      progress:note(format("%s %d: AbstractEvent raised: %s", unit, b.line[i], tostring(result)))
    end
  end
end

-- Alternates filling a batch, making its files under drive C (when there is one)
-- and dispatching it, timing the three apart.
local function run(source, src, abstract_event, pol, files, progress)
  local tally = { events = 0, errors = 0, types = {}, results = {}, replies = {}, ops = {}, verdicts = {} }
  local batch = { map = {}, rlpath = {}, procName = {}, op = {}, line = {}, oldpath = {} }
  local unit = src.kind == "replay" and "line" or "event"
  local timing = { files_cpu_seconds = 0 }
  local wall_start
  wall_start, timing.wall_clock = wall_clock()
  local cpu_start = os.clock()
  local source_cpu, dispatch_cpu = 0, 0
  while true do
    local t0 = os.clock()
    local n = source(batch)
    local t1 = os.clock()
    source_cpu = source_cpu + (t1 - t0)
    if n == 0 then break end
    if files then
      for i = 1, n do files:want(batch.rlpath[i]) end
      files:flush()
      local t = os.clock()
      timing.files_cpu_seconds = timing.files_cpu_seconds + (t - t1)
      t1 = t
    end
    dispatch(batch, n, tally, abstract_event, pol, progress, unit)
    local t2 = os.clock()
    dispatch_cpu = dispatch_cpu + (t2 - t1)
    local done = tally.events + tally.errors
    progress:update(t2, src.kind == "replay" and format("line %d, %d events", src.lines, done)
      or format("%d / %d events (%d%%)", done, src.events, math.floor(100 * done / src.events)))
  end
  timing.cpu_seconds = os.clock() - cpu_start
  timing.wall_seconds = wall_clock() - wall_start
  timing.source_cpu_seconds, timing.dispatch_cpu_seconds = source_cpu, dispatch_cpu
  progress:clear()
  return tally, timing
end

-- Report --------------------------------------------------------------------------------

local function name_of(names, key)
  local name = names[key]
  return type(name) == "string" and name or tostring(key)
end

local function counter_snapshot(acdc)
  local out = {}
  for name, value in pairs(acdc.EventAbstractionStats()) do
    if type(value) == "number" then out[name] = value end
  end
  return out
end

local HIT_COUNTERS = { "hit_approved", "hit_unrecognized", "hit_block" }

-- The execution cache over the run: lookups, the share that hit, and what the
-- policy stored and removed.
local function cache_report(before, after, pol)
  local d = {}
  for k, v in pairs(after) do d[k] = v - before[k] end
  local hits = 0
  for _, k in ipairs(HIT_COUNTERS) do hits = hits + d[k] end
  local lookups = hits + d.miss
  return { lookups = lookups, hits = hits, hit_rate = lookups > 0 and hits / lookups or 0,
    stored = pol.stored, removed = pol.removed }
end

-- Names from the module's tables; dispatch results 0, 1, 11 and replies 1 to 4
-- always appear, so that a zero shows as a zero.
local function build_report(acdc, src, tally, timing, before, after)
  local r = { source = src, events = tally.events, dispatch_errors = tally.errors, by_op = tally.ops,
    by_type = {}, results = { ["0"] = 0, ["1"] = 0, ["11"] = 0 }, replies = { none = 0 }, verdicts = {},
    counters = {}, timing = timing }
  for t, c in pairs(tally.types) do r.by_type[name_of(acdc.event, t)] = c end
  for result, c in pairs(tally.results) do r.results[result] = c end
  for code = 1, 4 do r.replies[name_of(acdc.reply, code)] = 0 end
  for code, c in pairs(tally.replies) do
    local name = code == "none" and "none" or name_of(acdc.reply, code)
    r.replies[name] = r.replies[name] + c
  end
  for code = 1, 4 do r.verdicts[name_of(acdc.reply, code)] = 0 end
  for code, c in pairs(tally.verdicts) do
    local name = name_of(acdc.reply, code)
    r.verdicts[name] = (r.verdicts[name] or 0) + c
  end
  -- A reply chosen natively: results 1 and 11.
  local native = r.results["1"] + r.results["11"]
  r.decided_natively = { events = native, share = tally.events > 0 and native / tally.events or 0 }
  for name, value in pairs(after) do r.counters[name] = value - (before[name] or 0) end
  local function per_second(seconds)
    return seconds > 0 and tally.events / seconds or nil
  end
  timing.events_per_cpu_second = per_second(timing.cpu_seconds)
  timing.events_per_dispatch_cpu_second = per_second(timing.dispatch_cpu_seconds)
  timing.events_per_wall_second = per_second(timing.wall_seconds)
  return r
end

-- Main ----------------------------------------------------------------------------------

local function main(argv)
  local opts = parse_args(argv)
  local loaded, acdc = pcall(require, "acdc")
  if not loaded then
    fail(1, "cannot load module acdc (build it with: cmake -S . -B build && cmake --build build)\n" .. acdc)
  end
  local ops = resolve_mapping(acdc)
  -- Opened first, so that a bad path fails before a long run rather than after it.
  local json = opts.json and open_or_fail(opts.json)
  local files
  if opts.drive_c then
    local err
    files, err = drive.new(opts.drive_c)
    if not files then fail(1, "--drive-c: " .. err) end
  end
  local progress = Progress.new(stderr_is_terminal())
  local source, src, save = open_source(opts, ops, progress)
  local pol = policy.new(acdc)

  local before, cache_before = counter_snapshot(acdc), acdc.CacheStats()
  local tally, timing = run(source, src, acdc.AbstractEvent, pol, files, progress)
  local after, cache_after = counter_snapshot(acdc), acdc.CacheStats()
  if save then save:close() end

  local r = build_report(acdc, src, tally, timing, before, after)
  r.cache = cache_report(cache_before, cache_after, pol)
  if files then
    r.files = files:stats()
    r.files.drive_c = opts.drive_c
  end
  io.stdout:write(report.text(r))
  if json then
    json:write(report.json(r))
    json:close()
  end
end

main(arg)

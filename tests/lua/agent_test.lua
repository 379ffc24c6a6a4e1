-- The reference agent: its CSV reader, workload generator, JSON report, and
-- whole runs of examples/agent.lua against the built module.

package.path = "examples/?.lua;" .. package.path

local csv = require "csv"
local report = require "report"
local workload = require "workload"

local function read_file(path)
  local f = assert(io.open(path, "rb"))
  local text = f:read("*a")
  f:close()
  return text
end

-- A temporary file, holding `text` when given; every one is removed after the tests.
local temps = {}
local function tmpfile(text)
  temps[#temps + 1] = os.tmpname()
  if text then
    local f = assert(io.open(temps[#temps], "wb"))
    f:write(text)
    f:close()
  end
  return temps[#temps]
end
teardown(function() for _, path in ipairs(temps) do os.remove(path) end end)

local function records(src)
  local out = {}
  for line, fields, err in csv.records(src) do
    out[#out + 1] = fields and { line, fields } or { line, err = err }
  end
  return out
end

describe("csv reader", function()
  local cases = {
    { "quoted commas, doubled quotes and empty fields, quoted or not",
      'a,"x,y","say ""hi"""\r\n,"",\r\n""""\r\n',
      { { 1, { "a", "x,y", 'say "hi"' } }, { 2, { "", "", "" } }, { 3, { '"' } } } },
    { "a line break inside quotes stays in the field and moves the line count",
      '"one\r\ntwo",3\r\n"a\nb\r\nc",4\r\nnext,5\r\n',
      { { 1, { "one\r\ntwo", "3" } }, { 3, { "a\nb\r\nc", "4" } }, { 6, { "next", "5" } } } },
    { "LF line ends, and none after the last record", "a\nb\r\nc,d",
      { { 1, { "a" } }, { 2, { "b" } }, { 3, { "c", "d" } } } },
    { "empty input", "", {} },
  }
  for _, case in ipairs(cases) do
    it("reads " .. case[1], function()
      assert.same(case[3], records(case[2]))
    end)
  end

  it("reports a malformed record at the line it starts on and reads on, from a string or a file", function()
    local text = 'ok,1\r\nbad"quote,2\r\n"closed"x,3\r\nstray\rcr,4\r\n"a\r\nb"c,5\r\n"open,6\r\nafter,7'
    local want = {
      { 1, { "ok", "1" } },
      { 2, err = "quote inside unquoted field" },
      { 3, err = "unexpected character after closing quote" },
      { 4, err = "carriage return outside quotes" },
      { 5, err = "unexpected character after closing quote" },
      { 7, err = "unterminated quoted field" },
      { 8, { "after", "7" } },
    }
    assert.same(want, records(text))
    local f = assert(io.open(tmpfile(text), "rb"))
    assert.same(want, records(f))
    f:close()
  end)

  it("gives up a quoted field after MAX_RECORD_LINES lines and rereads them", function()
    local saved = csv.MAX_RECORD_LINES
    csv.MAX_RECORD_LINES = 3
    local ok, got = pcall(records, '"a\r\nb\r\nc\r\nd,"e\r\nf"\r\n')
    csv.MAX_RECORD_LINES = saved
    assert.is_true(ok, got)
    assert.same({
      { 1, err = "unterminated quoted field" },
      { 2, { "b" } }, { 3, { "c" } }, { 4, { "d", "e\r\nf" } },
    }, got)
  end)

  it("formats records that read back unchanged", function()
    local rows = {
      { "plain", "with,comma", 'with "quotes"', "crlf\r\ninside", "lf\ninside", "", 42 },
      { "", "", "" },
    }
    local text = ""
    for _, row in ipairs(rows) do text = text .. csv.format_record(row) end
    assert.equal('plain,"with,comma","with ""quotes""","crlf\r\ninside","lf\ninside",,42\r\n,,\r\n', text)
    rows[1][7] = "42"
    assert.same({ { 1, rows[1] }, { 4, rows[2] } }, records(text))
  end)
end)

describe("workload generator", function()
  -- That a seed gives the same rows is checked in recorded_mix_test.cpp.
  -- Statistics of 100,000 rows, against the model's sources (SOURCES.md).
  local N = 100000
  local stats
  setup(function()
    stats = { ops = {}, exec_images = {}, lengths = {}, windows = 0, repeats = 0, malformed = {}, ext = {} }
    local g, seen, last_time = workload.new(1), {}, 0
    for _ = 1, N do
      local time_ms, op, pid, ppid, image, path, new_path = g:next()
      stats.ops[op] = (stats.ops[op] or 0) + 1
      -- Only exits lack a path, only execs name a parent, only renames a new path.
      if time_ms < last_time or (op == "exit") ~= (path == "") or image == "" or (op == "exec") ~= (ppid ~= "")
          or (op == "rename") ~= (new_path ~= "") then
        stats.malformed[#stats.malformed + 1] = table.concat({ time_ms, op, pid, ppid, image, path, new_path }, ",")
      end
      last_time = time_ms
      if path ~= "" then
        stats.lengths[#stats.lengths + 1] = #path
        if path:find("^C:\\Windows\\") then stats.windows = stats.windows + 1 end
      end
      local name = path:match("[^\\]+$")
      if op == "exec" then
        stats.exec_images[name] = (stats.exec_images[name] or 0) + 1
      elseif op == "load" then
        local key = time_ms .. "|" .. pid .. "|" .. path
        if seen[key] then stats.repeats = stats.repeats + 1 end
        seen[key] = true
      elseif op == "create" then
        local ext = (name:match("%.([^.]+)$") or ""):lower()
        stats.ext[ext] = (stats.ext[ext] or 0) + 1
      end
    end
    table.sort(stats.lengths)
  end)

  local function within(x, lo, hi, what) assert.is_true(x > lo and x < hi, what .. ": " .. x) end

  it("emits well-formed rows in time order", function()
    assert.same({}, stats.malformed)
    assert.is_true(stats.lengths[#stats.lengths] < 4096)
  end)

  it("follows the measured mix of operations, with every operation present", function()
    for _, op in ipairs { "load", "create", "delete", "exec", "exit", "settime", "stream",
        "open_write", "rename", "setsec" } do
      assert.is_true((stats.ops[op] or 0) > 0, op)
    end
    local share = {}
    for op, n in pairs(stats.ops) do share[op] = n / N end
    for op, range in pairs { load = { 0.80, 0.88 }, create = { 0.08, 0.12 }, delete = { 0.015, 0.025 },
        exec = { 0.01, 0.02 }, exit = { 0.008, share.exec + 1e-9 } } do
      within(share[op], range[1], range[2], op)
    end
  end)

  it("starts script hosts at the measured share, cmd.exe first", function()
    local execs, hosts, most, most_name = 0, 0, 0, nil
    local HOSTS = { ["cmd.exe"] = true, ["powershell.exe"] = true, ["cscript.exe"] = true,
      ["rundll32.exe"] = true, ["msiexec.exe"] = true }
    for name, n in pairs(stats.exec_images) do
      execs, hosts = execs + n, hosts + (HOSTS[name] and n or 0)
      if HOSTS[name] and n > most then most, most_name = n, name end
    end
    within(hosts / execs, 0.09, 0.17, "script hosts")
    assert.equal("cmd.exe", most_name)
    assert.is_true(stats.exec_images["conhost.exe"] > stats.exec_images["cmd.exe"])
  end)

  it("matches the measured paths: lengths, folders, created extensions, load repeats", function()
    local L = stats.lengths
    within(L[math.floor(#L * 0.5)], 29, 39, "median length")
    within(L[math.floor(#L * 0.99)], 159, 211, "99th percentile length")
    within(stats.windows / #L, 0.85, 0.92, "under C:\\Windows")
    within(stats.ext[""] / stats.ops.create, 0.45, 0.58, "created without extension")
    within(stats.ext.tmp / stats.ops.create, 0.18, 0.28, "created .tmp")
    within(stats.repeats / stats.ops.load, 0.15, 0.30, "load repeats")
  end)
end)

describe("JSON encoder", function()
  local cases = {
    { "escapes quotes, backslashes and control characters",
      'q"b\\n\nr\rt\tz\0d\127', '"q\\"b\\\\n\\nr\\rt\\tz\\u0000d\\u007f"' },
    { "keeps UTF-8 and replaces bytes that are not", "\195\169\255x\237\160\128",
      '"\195\169\239\191\189x\239\191\189\239\191\189\239\191\189"' },
    { "writes whole numbers without a fraction, and infinities as null", { 1234567890123, 0.5, math.huge },
      "[\n  1234567890123,\n  0.5,\n  null\n]" },
    { "sorts object keys", { b = 1, a = { 1, 2 }, ["11"] = true },
      '{\n  "11": true,\n  "a": [\n    1,\n    2\n  ],\n  "b": 1\n}' },
    { "writes an empty table as an object", {}, "{}" },
  }
  for _, case in ipairs(cases) do
    it(case[1], function()
      assert.equal(case[3], report.json_encode(case[2]))
    end)
  end

  it("refuses a table that contains itself", function()
    local t = {}
    t.self = t
    assert.has_error(function() report.json_encode(t) end, "cannot encode a table that contains itself")
  end)
end)

-- Whole runs --------------------------------------------------------------------------

-- The agent loads the module from <repo>/build by itself; the tests hand it the
-- module of the build under test instead (LUA_CPATH), which for the sanitizer
-- build lives in another folder.
local module_path = package.searchpath("acdc", package.cpath)
local preload = module_path
  and string.format([[-e "package.preload.acdc = package.loadlib('%s', 'luaopen_acdc')" ]], module_path) or ""

local function run(args)
  local err_path = os.tmpname()
  local p = io.popen("lua5.2 " .. preload .. "examples/agent.lua " .. args .. " 2>" .. err_path)
  local out = p:read("*a")
  local _, _, status = p:close()
  local err = read_file(err_path)
  os.remove(err_path)
  return status, out, err
end

-- The report's JSON, through dkjson where it is installed, else the module's decoder.
local function decode_report(text)
  local ok, dkjson = pcall(require, "dkjson")
  return assert((ok and dkjson or require "acdc").decode(text))
end

-- The sum of a table's values, and how many there are.
local function sum(t)
  local n, entries = 0, 0
  for _, v in pairs(t) do n, entries = n + v, entries + 1 end
  return n, entries
end

-- The suite runs after the build: a missing module is a failure, not a skip.
local with_module = module_path and it or function(name) it(name, function() error("module acdc is not built") end) end

describe("agent.lua", function()
  it("prints its usage for --help, and refuses bad options with a status and a message", function()
    local status, out = run("--help")
    assert.equal(0, status)
    assert.truthy(out:find("--replay FILE", 1, true))
    assert.truthy(out:find("default 500000", 1, true))
    for _, case in ipairs {
      { "--events 0", "--events wants a whole number of at least 1, got '0'" },
      { "--seed x", "--seed wants a whole number of at least 0, got 'x'" },
      { "--bogus", "unknown option '--bogus' (try --help)" },
      { "--json", "--json needs a value" },
      { "--replay a.csv --save b.csv", "--save writes a generated workload; it does not go with --replay" },
      { "--events 10 --drive-c /nonexistent/acdc-drive-c", "--drive-c: no folder /nonexistent/acdc-drive-c", 1 },
    } do
      assert.same({ case[3] or 2, "", "agent: " .. case[2] .. "\n" }, { run(case[1]) }, case[1])
    end
  end)

  with_module("replays a CSV file, skipping malformed lines with their line numbers", function()
    local json = tmpfile()
    local path = tmpfile(table.concat({
      "time_ms,op,pid,ppid,image,path,new_path,cmdline",
      '0,exec,100,4,C:\\Windows\\explorer.exe,C:\\Windows\\System32\\cmd.exe,,"cmd.exe /c ""echo a,b""\r\nsecond line"',
      "1,load,100,,C:\\Windows\\System32\\cmd.exe,C:\\Windows\\System32\\ntdll.dll,,",
      "2,teleport,100,,C:\\Windows\\System32\\cmd.exe,C:\\x,,",
      "3,create,100,,C:\\Windows\\System32\\cmd.exe,C:\\Temp\\a.tmp,,",
      "4,stream,100,,C:\\Windows\\System32\\cmd.exe,C:\\Temp\\a.tmp,",
      "x5,delete,100,,C:\\Windows\\System32\\cmd.exe,C:\\Temp\\a.tmp,,",
      "6,open_write,100,,C:\\Windows\\System32\\cmd.exe,C:\\Temp\\a.tmp,,",
      '7,settime,1"0,,C:\\Windows\\System32\\cmd.exe,C:\\Temp\\a.tmp,,',
      "8,rename,100,,C:\\Windows\\System32\\cmd.exe,C:\\Temp\\a.tmp,C:\\Temp\\a.txt,",
      "9,rename,100,,C:\\Windows\\System32\\cmd.exe,C:\\Temp\\a.tmp,,",
      "10,setsec,abc,,C:\\Windows\\System32\\cmd.exe,C:\\Temp\\a.txt,,",
      "11,delete,,,C:\\Windows\\System32\\cmd.exe,C:\\Temp\\a.txt,,",
      "12,exit,100,,C:\\Windows\\System32\\cmd.exe,,,",
      "13,settime,100,,C:\\Windows\\System32\\cmd.exe,C:\\" .. string.rep("a", 4095) .. ",,",
      '14,create,100,,C:\\Windows\\System32\\cmd.exe,"C:\\Temp\\two\r\nlines",',
      "15,exit,100,,C:\\Windows\\System32\\cmd.exe,,,",
    }, "\r\n"))
    local status, out, err = run("--replay " .. path .. " --json " .. json)
    assert.equal(0, status)
    assert.equal(table.concat({
      "line 5: malformed, skipped: unknown op 'teleport'",
      "line 7: malformed, skipped: expected 8 fields, found 7",
      "line 8: malformed, skipped: time_ms is not a whole number: 'x5'",
      "line 10: malformed, skipped: quote inside unquoted field",
      "line 12: malformed, skipped: rename without new_path",
      "line 13: malformed, skipped: pid is not a whole number: 'abc'",
      "line 16: malformed, skipped: path longer than 4095 bytes",
      "line 17: malformed, skipped: expected 8 fields, found 7",
    }, "\n") .. "\n", err)
    local r = decode_report(read_file(json))
    assert.same({ 8, 8 }, { r.events, r.counters.total_events })
    assert.same({ exec_pre = 1, create_pre = 1, create_post = 1, cleanup_pre = 3, rename_post = 1,
      unlink_post = 1 }, r.by_type)
    assert.same({ exec = 1, load = 1, create = 1, open_write = 1, rename = 1, delete = 1, exit = 2 }, r.by_op)
    assert.same({ 19, 16, 8 }, { r.source.lines, r.source.records, r.source.malformed })
    assert.truthy(out:find("8 malformed lines skipped", 1, true))
  end)

  with_module("reports figures that add up for a generated run, and the same for its saved workload", function()
    local json, saved, replayed = tmpfile(), tmpfile(), tmpfile()
    local drive_c = assert(os.getenv("ACDC_DRIVE_C"), "ACDC_DRIVE_C is not set")
    local status, out, err = run("--events 3000 --seed 5 --drive-c " .. drive_c .. " --save " .. saved .. " --json " .. json)
    assert.same({ 0, "" }, { status, err }) -- not a terminal: no progress
    local r = decode_report(read_file(json))
    assert.same({ 3000, 0, 3000 }, { r.events, r.dispatch_errors, r.counters.total_events })
    for _, figures in ipairs { r.by_type, r.by_op, r.results, r.replies, r.verdicts } do
      assert.equal(3000, sum(figures))
    end
    assert.equal(77, select(2, sum(r.counters)))
    assert.is_true(r.by_type.create_pre > r.by_type.create_post)
    assert.equal(r.by_op.load, r.by_type.create_pre)
    assert.equal(r.by_op.create + r.by_op.stream, r.by_type.create_post)
    assert.equal(r.by_op.exit + r.by_op.open_write, r.by_type.cleanup_pre)
    assert.is_true(r.timing.cpu_seconds >= r.timing.dispatch_cpu_seconds)
    assert.truthy(out:find("events dispatched: 3,000\n", 1, true))
    -- Every event got one verdict; those the library chose are its replies.
    assert.equal(r.results["1"] + r.results["11"], r.decided_natively.events)
    assert.equal(r.decided_natively.events, 3000 - r.replies.none)
    -- The policy stores a verdict only for what the library left to it.
    assert.is_true(r.cache.stored > 0 and r.cache.stored <= r.results["0"])
    assert.is_true(r.cache.hits > 0)
    assert.near(r.cache.hits / r.cache.lookups, r.cache.hit_rate, 1e-8)
    assert.is_true(r.files.conflicts == 0 and r.files.files + r.files.found > 0)

    status, _, err = run("--replay " .. saved .. " --drive-c " .. drive_c .. " --json " .. replayed)
    assert.same({ 0, "" }, { status, err })
    replayed = decode_report(read_file(replayed))
    assert.same({ 3000, 0 }, { replayed.events, replayed.source.malformed })
    for _, key in ipairs { "by_type", "by_op", "results", "replies" } do
      assert.same(r[key], replayed[key], key)
    end
  end)

  with_module("makes the files its events name under drive C, one spelling per path, and keeps verdicts", function()
    local drive_c = assert(os.getenv("ACDC_DRIVE_C"), "ACDC_DRIVE_C is not set")
    local top = string.format("AgentT%d%04d", os.time(), math.random(0, 9999))
    local C = "C:\\" .. top
    local json = tmpfile()
    local function row(t, op, p) return string.format("%d,%s,100,,C:\\Windows\\explorer.exe,%s,,", t, op, p) end
    local path = tmpfile(table.concat({
      "time_ms,op,pid,ppid,image,path,new_path,cmdline",
      row(1, "exec", C .. "\\Apps\\Tool.exe"),              -- not cached: the policy stores "unrecognized"
      row(2, "exec", C:lower() .. "\\APPS\\tool.EXE"),      -- another spelling: cached, allowed natively
      row(3, "exec", C .. "\\Temp\\evil.exe"),              -- the policy stores a block
      row(4, "exec", C .. "\\temp\\EVIL.exe"),              -- blocked natively
      row(5, "open_write", C .. "\\Apps\\Tool.exe"),        -- written: its verdict goes
      row(6, "exec", C .. "\\Apps\\Tool.exe"),              -- decided by the policy again
      row(7, "delete", C .. "\\Temp\\evil.exe"),            -- deleted: its verdict goes
      row(8, "exec", C .. "\\Temp\\evil.exe"),
    }, "\r\n"))
    local status, out, err = run("--replay " .. path .. " --drive-c " .. drive_c .. " --json " .. json)
    os.execute("rm -rf '" .. drive_c .. "/" .. top .. "'")
    assert.same({ 0, "" }, { status, err })
    local r = decode_report(read_file(json))
    assert.same({ ["0"] = 4, ["1"] = 3, ["11"] = 1 }, r.results)
    assert.same({ allow = 3, block = 3, ignore = 2, error = 0 }, r.verdicts)
    assert.same({ events = 4, share = 0.5 }, r.decided_natively)
    assert.near(1 / 3, r.cache.hit_rate, 1e-8)
    r.cache.hit_rate = nil
    assert.same({ lookups = 6, hits = 2, stored = 4, removed = 2 }, r.cache)
    assert.same({ files = 2, folders = 3, found = 0, conflicts = 0, drive_c = drive_c }, r.files)
    assert.truthy(out:find("decided natively: 4 of 8 events (50.00%)", 1, true))
    assert.truthy(out:find("execution cache: 6 lookups, 33.3% hits; the policy stored 4 verdicts and removed 2", 1,
      true))
  end)
end)

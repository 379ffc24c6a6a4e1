-- The driver simulator (acdc-sim) end to end: a workload through the driver and a
-- Lua host, against the in-process replay of the same rows; exactly-once replies;
-- message ids above 2^32; the hold time; the placeholder processes. Exactly-once
-- under many outstanding messages is checked in channel_stress_test.cpp, and the
-- agent's generated CSV through the simulator's reader in recorded_mix_test.cpp.

package.path = "examples/?.lua;" .. package.path

local acdc = require "acdc"
local csv = require "csv"

local SIM = assert(os.getenv("ACDC_SIM"), "ACDC_SIM names the simulator program")
local DRIVE_C = assert(os.getenv("ACDC_DRIVE_C"), "ACDC_DRIVE_C names the build's drive C")
local WORKLOAD = "tests/sim/workload.csv"
local HEADER = "time_ms,op,pid,ppid,image,path,new_path,cmdline\r\n"

local function sh_quote(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

-- A fresh path that does not exist yet; every one is removed after the file's tests.
local temps = {}
local function tmp_path(suffix, text)
  local path = os.tmpname()
  os.remove(path)
  path = path .. suffix
  temps[#temps + 1] = path
  if text then
    local f = assert(io.open(path, "wb"))
    f:write(text)
    f:close()
  end
  return path
end
teardown(function() for _, p in ipairs(temps) do os.remove(p) end end)

local function read_file(path)
  local f = assert(io.open(path, "rb"))
  local text = f:read("*a")
  f:close()
  return text
end

-- The records of a CSV file with a header, as tables keyed by the header's names.
local function read_csv(path)
  local out, header = {}, nil
  for line, fields, err in csv.records(read_file(path)) do
    assert(fields, ("%s:%d: %s"):format(path, line, tostring(err)))
    if not header then
      header = fields
    else
      local r = {}
      for i, name in ipairs(header) do r[name] = fields[i] end
      out[#out + 1] = r
    end
  end
  return out
end

-- Runs the simulator with `host` (a shell command line, by default the agent loop
-- writing the events it saw to `events`) and its records written to a file. The
-- simulator is instrumented on its own in a sanitizer build, so only the host keeps
-- LD_PRELOAD. Returns the exit status, what it printed and the records.
local function run_sim(args, host, events)
  local preload = os.getenv("LD_PRELOAD")
  local host_env = preload and ("env LD_PRELOAD=" .. sh_quote(preload) .. " ") or ""
  host = host or ("lua5.2 sim/agent_loop.lua --events %s --deadline-ms 60000"):format(sh_quote(events or "/dev/null"))
  local out, rec = tmp_path(".out"), tmp_path(".records.csv")
  local cmd = ("env -u LD_PRELOAD %s --drive-c %s --records %s %s -- sh -c %s >%s 2>&1"):format(sh_quote(SIM),
    sh_quote(DRIVE_C), rec, args, sh_quote(host_env .. host), sh_quote(out))
  local _, how, status = os.execute(cmd)
  return how == "exit" and status or 128 + status, read_file(out), read_csv(rec)
end

local function expect_output(output, ...)
  for _, text in ipairs { ... } do assert.truthy(output:find(text, 1, true), output) end
end

-- The op table of the reference agent: event name, dirty, and the column that is named.
local OPS = {
  exec = { "exec_pre", nil, "path" }, load = { "create_pre", nil, "path" },
  create = { "create_post", 1, "path" }, stream = { "create_post", 1, "path" },
  open_write = { "cleanup_pre", 1, "path" }, exit = { "cleanup_pre", 0, "image" },
  delete = { "unlink_post", nil, "path" }, settime = { "setinfo_pre", nil, "path" },
  setsec = { "setsecurity_pre", nil, "path" }, rename = { "rename_post", nil, "new_path" },
}

-- The rows of a workload file as the agent replays them in-process, each with the
-- reply the driver would get from AbstractEvent and a host that allows whatever
-- reaches Lua, and whether it reached Lua.
local function replay(path)
  local rows = {}
  for line, f in csv.records(read_file(path)) do
    if line > 1 then
      local op = OPS[f[2]]
      local row = { line = line, type = acdc.event[op[1]], dirty = op[2] or 0, image = f[5],
        name = ({ path = f[6], image = f[5], new_path = f[7] })[op[3]], oldname = op[3] == "new_path" and f[6] or "" }
      local ev = { type = row.type, dirty = op[2] }
      if row.name ~= "" then ev.rlpath = row.name end
      if row.image ~= "" then ev.procName = row.image end
      local result, code = acdc.AbstractEvent(ev)
      row.to_lua = result ~= 11
      row.reply = result == 0 and acdc.REPLY_ALLOW or code
      rows[#rows + 1] = row
    end
  end
  return rows
end

-- Gone, or a zombie not yet reaped by its new parent.
local function alive(pid)
  local f = io.open("/proc/" .. pid .. "/stat")
  if not f then return false end
  local state = f:read("*l"):match("^%d+ %b() (%a)")
  f:close()
  return state ~= "Z"
end

describe("acdc-sim with the Lua host", function()
  local records, events, status, output, rows, placeholders

  setup(function()
    local ev, list = tmp_path(".events.csv"), tmp_path(".placeholders")
    status, output, records = run_sim("--placeholders " .. list .. " " .. WORKLOAD, nil, ev)
    events, rows, placeholders = read_csv(ev), replay(WORKLOAD), read_file(list)
  end)

  it("sends one message per row, as the agent maps it, and each gets exactly one reply", function()
    assert.are.equal(0, status, output)
    assert.are.equal(#rows, #records)
    for i, r in ipairs(records) do
      local row = rows[i]
      local what = ("line %d"):format(row.line)
      assert.are.same({ row.line, row.type, row.name, row.oldname, row.dirty, row.image },
        { tonumber(r.line), tonumber(r.type), r.name, r.oldname, tonumber(r.dirty), r.image }, what)
      assert.are.same({ i, i, "1", "0", r.message_id, tostring(i) },
        { tonumber(r.message_id), tonumber(r.id), r.replies, r.timed_out, r.reply_message_id, r.reply_id }, what)
      assert.is_true(tonumber(r.fd) >= 3, what)
    end
    expect_output(output, "messages: 49 sent, 0 not sent; 49 exactly once, 0 without reply, 0 with several " ..
      "replies; 0 late replies, 0 unknown ids, 0 mismatched ids, 0 malformed replies\nexactly-once violations: 0\n",
      "commands: 1 beworker, 0 program, 0 getfilefilter, 0 setfilefilter, 0 other; 1 workers")
  end)

  it("hands Lua the events as sent", function()
    local by_id = {}
    for _, r in ipairs(records) do by_id[r.message_id] = r end
    for _, e in ipairs(events) do
      local r = assert(by_id[e.MessageId], e.MessageId)
      assert.are.same({ r.id, r.type, r.dirty, r.name, r.oldname }, { e.id, e.type, e.dirty, e.name, e.oldname })
      assert.are.equal(r.reply_code, e.reply)
    end
  end)

  it("decides as the in-process replay wherever the pid and the image's case play no part", function()
    local compared, lua_events = 0, {}
    for _, e in ipairs(events) do lua_events[tonumber(e.id)] = true end
    for i, r in ipairs(records) do
      -- The library finds the placeholder's image behind the pid; only where that is
      -- the row's own text does the replay see the same process.
      if r.acting == r.image then
        compared = compared + 1
        local row = rows[i]
        assert.are.same({ line = row.line, reply = row.reply, to_lua = row.to_lua },
          { line = row.line, reply = tonumber(r.reply_code), to_lua = lua_events[i] == true })
      end
    end
    -- Left out: three rows of System, one of "<unknown process>" and three of an image
    -- spelled "C:\windows\system32\..." after "C:\Windows\System32\..." was placed.
    assert.are.equal(#rows - 7, compared)
  end)

  -- That they hold only the standard descriptors and die with a parent that is killed
  -- is checked natively (sim_processes_test.cpp).
  it("lists its placeholders and leaves none behind", function()
    local pids, deadline, left = {}, os.time() + 3, nil
    for pid in placeholders:gmatch("(%d+)\t[^\n]*\n") do pids[#pids + 1] = pid end
    assert.are.equal(11, #pids)
    repeat
      left = {}
      for _, pid in ipairs(pids) do if alive(pid) then left[#left + 1] = pid end end
    until #left == 0 or os.time() > deadline
    for _, pid in ipairs(left) do os.execute("kill -KILL " .. pid) end
    assert.are.same({}, left)
  end)
end)

describe("acdc-sim", function()
  it("skips a malformed row, naming its line, and gives natively decided replies all 64 bits of the id", function()
    local lines = { HEADER, "0,mmap,8,,C:\\Windows\\System32\\svchost.exe,C:\\x.dll,,\r\n" }
    local images = { "svchost.exe", "conhost.exe", "taskhostw.exe", "dllhost.exe" }
    for i = 1, 20 do
      lines[#lines + 1] = ("%d,exit,%d,,C:\\Windows\\System32\\%s,,,\r\n"):format(i, 4000 + i, images[i % 4 + 1])
    end
    local path, ev = tmp_path(".csv", table.concat(lines)), tmp_path(".events.csv")
    local base = 5 * 2 ^ 32 + 0xFFFFFFF0 -- the low half wraps within the run
    local status, output, records = run_sim(("--message-id-base %d %s"):format(base, path), nil, ev)
    assert.are.equal(0, status, output)
    expect_output(output, "acdc-sim: " .. path .. ":2: malformed, skipped: unknown op 'mmap'\n",
      "workload: " .. path .. ": 21 rows, 1 malformed, 20 messages planned\n",
      "messages: 20 sent, 0 not sent; 20 exactly once")
    assert.are.equal(0, #read_csv(ev))
    assert.are.equal(20, #records)
    for i, r in ipairs(records) do
      local id = ("%d"):format(base + i - 1)
      assert.are.same({ id, id, "1" }, { r.message_id, r.reply_message_id, r.replies })
    end
    assert.are.equal("25769803776", records[17].message_id) -- 6 * 2^32: the low half is 0
  end)

  it("counts a message its host never answers as timed out after the hold time", function()
    -- The host connects and then leaves the messages alone until the port closes.
    local host = "lua5.2 -e 'local acdc = require \"acdc\"; assert(acdc.load()); os.execute(\"sleep 1\")'"
    local t0 = os.time()
    local status, output, records = run_sim("--hold-ms 300 --events 5 " .. WORKLOAD, host)
    assert.are.equal(1, status, output)
    expect_output(output, "messages: 5 sent, 0 not sent; 0 exactly once, 5 without reply, 0 with several replies",
      "exactly-once violations: 5\n", "result: FAILED")
    assert.are.equal(5, #records)
    for _, r in ipairs(records) do
      assert.are.same({ "0", "1", "-1", "" }, { r.replies, r.timed_out, r.latency_ns, r.reply_code })
    end
    assert.is_true(os.time() - t0 < 10)
  end)
end)

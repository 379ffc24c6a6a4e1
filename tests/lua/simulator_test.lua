-- The driver simulator (acdc-sim) end to end: a workload through the driver and a
-- Lua host, against the in-process replay of the same rows; exactly-once replies;
-- message ids above 2^32; the hold time; the placeholder processes.

package.path = "examples/?.lua;" .. package.path

local acdc = require "acdc"
local csv = require "csv"
local workload = require "workload"

local SIM = assert(os.getenv("ACDC_SIM"), "ACDC_SIM names the simulator program")
local DRIVE_C = assert(os.getenv("ACDC_DRIVE_C"), "ACDC_DRIVE_C names the build's drive C")
local WORKLOAD = "tests/sim/workload.csv"
local LOOP = "sim/agent_loop.lua"

local function sh_quote(s) return "'" .. s:gsub("'", "'\\''") .. "'" end

local function tmp_path(suffix)
  local path = os.tmpname()
  os.remove(path)
  return path .. suffix
end

local function read_file(path)
  local f = assert(io.open(path, "rb"))
  local text = f:read("*a")
  f:close()
  return text
end

local function write_file(path, text)
  local f = assert(io.open(path, "wb"))
  f:write(text)
  f:close()
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

-- Runs the simulator with `host` (a shell command line) as its host. The simulator is
-- instrumented on its own in a sanitizer build, so only the host keeps LD_PRELOAD.
-- Returns the exit status and what it printed.
local function run_sim(args, host)
  local preload = os.getenv("LD_PRELOAD")
  local host_env = preload and ("env LD_PRELOAD=" .. sh_quote(preload) .. " ") or ""
  local out = tmp_path(".out")
  local cmd = ("env -u LD_PRELOAD %s --drive-c %s %s -- sh -c %s >%s 2>&1"):format(sh_quote(SIM),
    sh_quote(DRIVE_C), args, sh_quote(host_env .. host), sh_quote(out))
  local ok, how, status = os.execute(cmd)
  local text = read_file(out)
  os.remove(out)
  return how == "exit" and status or 128 + status, text
end

local function loop_host(events_path)
  return ("lua5.2 %s --events %s --deadline-ms 60000"):format(LOOP, sh_quote(events_path))
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

describe("acdc-sim with the Lua host", function()
  local records, events, status, output, rows

  setup(function()
    local rec, ev = tmp_path(".records.csv"), tmp_path(".events.csv")
    status, output = run_sim("--records " .. rec .. " " .. WORKLOAD, loop_host(ev))
    records, events = read_csv(rec), read_csv(ev)
    os.remove(rec)
    os.remove(ev)
    rows = replay(WORKLOAD)
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
    assert.truthy(output:find("messages: 49 sent, 0 not sent; 49 exactly once, 0 without reply, 0 with several " ..
      "replies; 0 late replies, 0 unknown ids, 0 mismatched ids, 0 malformed replies\nexactly-once violations: 0\n",
      1, true), output)
    assert.truthy(output:find("commands: 1 beworker, 0 program, 0 getfilefilter, 0 setfilefilter, 0 other; 1 workers",
      1, true), output)
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
end)

describe("acdc-sim on a workload of the reference agent", function()
  it("gets exactly one reply to each of 3000 messages, 8 outstanding at a time", function()
    -- What the agent's --save writes: its generator's rows through its CSV writer.
    local generated, rec = tmp_path(".csv"), tmp_path(".records.csv")
    local gen, lines = workload.new(17), { "time_ms,op,pid,ppid,image,path,new_path,cmdline\r\n" }
    for i = 1, 3000 do lines[i + 1] = csv.format_record { gen:next() } end
    write_file(generated, table.concat(lines))
    local status, output = run_sim("--outstanding 8 --records " .. rec .. " " .. generated, loop_host("/dev/null"))
    local records = read_csv(rec)
    os.remove(generated)
    os.remove(rec)
    assert.are.equal(0, status, output)
    assert.are.equal(3000, #records)
    for i, r in ipairs(records) do
      assert.are.same({ i, "1", tostring(i), tostring(i) }, { tonumber(r.message_id), r.replies, r.reply_message_id, r.reply_id })
    end
  end)
end)

describe("acdc-sim message ids above 2^32", function()
  it("gets natively decided replies that carry all 64 bits of the id", function()
    local lines = { "time_ms,op,pid,ppid,image,path,new_path,cmdline" }
    local images = { "svchost.exe", "conhost.exe", "taskhostw.exe", "dllhost.exe" }
    for i = 1, 20 do
      lines[#lines + 1] = ("%d,exit,%d,,C:\\Windows\\System32\\%s,,,"):format(i, 4000 + i, images[i % 4 + 1])
    end
    local workload, rec, ev = tmp_path(".csv"), tmp_path(".records.csv"), tmp_path(".events.csv")
    write_file(workload, table.concat(lines, "\r\n") .. "\r\n")
    local base = 5 * 2 ^ 32 + 0xFFFFFFF0 -- the low half wraps within the run
    local status, output = run_sim(("--message-id-base %d --records %s %s"):format(base, rec, workload), loop_host(ev))
    local records, events = read_csv(rec), read_csv(ev)
    os.remove(workload)
    os.remove(rec)
    os.remove(ev)
    assert.are.equal(0, status, output)
    assert.are.equal(0, #events)
    assert.are.equal(20, #records)
    for i, r in ipairs(records) do
      local id = ("%d"):format(base + i - 1)
      assert.are.same({ id, id, "1" }, { r.message_id, r.reply_message_id, r.replies })
    end
    assert.are.equal("25769803776", records[17].message_id) -- 6 * 2^32: the low half is 0
  end)
end)

describe("acdc-sim workload files", function()
  it("skips a malformed row, naming its line, and sends the others", function()
    local workload = tmp_path(".csv")
    write_file(workload, "time_ms,op,pid,ppid,image,path,new_path,cmdline\r\n" ..
      "0,exit,8,,C:\\Windows\\System32\\svchost.exe,,,\r\n" ..
      "1,mmap,8,,C:\\Windows\\System32\\svchost.exe,C:\\x.dll,,\r\n" ..
      "2,exit,9,,C:\\Windows\\System32\\svchost.exe,,,\r\n")
    local status, output = run_sim(workload, loop_host("/dev/null"))
    os.remove(workload)
    assert.are.equal(0, status, output)
    assert.truthy(output:find("acdc-sim: " .. workload .. ":3: malformed, skipped: unknown op 'mmap'\n", 1, true), output)
    assert.truthy(output:find("workload: " .. workload .. ": 3 rows, 1 malformed, 2 messages planned\n", 1, true), output)
    assert.truthy(output:find("messages: 2 sent, 0 not sent; 2 exactly once", 1, true), output)
  end)
end)

describe("acdc-sim hold time", function()
  it("counts a message its host never answers as timed out after the hold time", function()
    local rec = tmp_path(".records.csv")
    -- The host connects and then leaves the messages alone until the port closes.
    local host = "lua5.2 -e 'local acdc = require \"acdc\"; assert(acdc.load()); os.execute(\"sleep 1\")'"
    local t0 = os.time()
    local status, output = run_sim("--hold-ms 300 --events 5 --records " .. rec .. " " .. WORKLOAD, host)
    local records = read_csv(rec)
    os.remove(rec)
    assert.are.equal(1, status, output)
    assert.truthy(output:find("messages: 5 sent, 0 not sent; 0 exactly once, 5 without reply, 0 with several replies",
      1, true), output)
    assert.truthy(output:find("exactly-once violations: 5\n", 1, true), output)
    assert.truthy(output:find("result: FAILED", 1, true), output)
    for _, r in ipairs(records) do
      assert.are.same({ "0", "1", "-1", "" }, { r.replies, r.timed_out, r.latency_ns, r.reply_code })
    end
    assert.are.equal(5, #records)
    assert.is_true(os.time() - t0 < 10)
  end)
end)

describe("acdc-sim placeholders", function()
  it("stand at their images, hold only the standard descriptors and die with the simulator", function()
    local list, seen = tmp_path(".placeholders"), tmp_path(".seen")
    -- The host checks each placeholder through the library, then kills the simulator.
    local check = ([[
      local acdc = require "acdc"
      local out = assert(io.open(%q, "wb"))
      for line in io.lines(%q) do
        local pid, image = line:match("^(%%d+)\t(.*)$")
        local fds = {}
        for fd in io.popen("ls /proc/" .. pid .. "/fd"):lines() do fds[#fds + 1] = fd end
        table.sort(fds)
        out:write(pid, "\t", tostring(acdc.GetProcNameFromPid(tonumber(pid)) == image), "\t", table.concat(fds, " "), "\n")
      end
      out:close()
      -- The simulator is the nearest ancestor of that name (a shell may stand between).
      local pid = "self"
      repeat
        pid = io.open("/proc/" .. pid .. "/stat"):read("*l"):match("^%%d+ %%b() %%a (%%d+)")
      until pid == "1" or io.open("/proc/" .. pid .. "/comm"):read("*l") == "acdc-sim"
      os.execute("kill -KILL " .. pid)
    ]]):format(seen, list)
    local script = tmp_path(".lua")
    write_file(script, check)
    local status, output = run_sim("--placeholders " .. list .. " " .. WORKLOAD, "lua5.2 " .. script)
    assert.are.equal(128 + 9, status, output)
    local pids = {}
    for line in io.lines(seen) do
      local pid, same, fds = line:match("^(%d+)\t(%a+)\t(.*)$")
      assert.are.same({ "true", "0 1 2" }, { same, fds }, line)
      pids[#pids + 1] = pid
    end
    assert.are.equal(11, #pids)
    -- Gone, or a zombie not yet reaped by its new parent.
    local function alive(pid)
      local f = io.open("/proc/" .. pid .. "/stat")
      if not f then return false end
      local state = f:read("*l"):match("^%d+ %b() (%a)")
      f:close()
      return state ~= "Z"
    end
    local deadline = os.time() + 3
    local left
    repeat
      left = 0
      for _, pid in ipairs(pids) do if alive(pid) then left = left + 1 end end
    until left == 0 or os.time() > deadline
    -- Placeholders that outlived the simulator would outlive the test run too.
    for _, pid in ipairs(pids) do if alive(pid) then os.execute("kill -KILL " .. pid) end end
    assert.are.equal(0, left)
    for _, p in ipairs { list, seen, script } do os.remove(p) end
  end)
end)
